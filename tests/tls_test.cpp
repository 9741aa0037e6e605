// Server names of TLS ClientHellos teach host names as DNS answers do.
#include "capture/tls.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

std::string Be16(size_t v) { return {char(v >> 8), char(v)}; }

// A ClientHello naming `host`, with `padding` bytes of a padding extension,
// in one record (or in records of at most `recordMax` handshake bytes).
std::string ClientHello(const std::string& host, size_t padding = 0, size_t recordMax = 16384) {
  std::string sni = Be16(host.size() + 3) + '\0' + Be16(host.size()) + host;
  std::string ext = Be16(0) + Be16(sni.size()) + sni;
  if (padding) ext += Be16(21) + Be16(padding) + std::string(padding, '\0');
  std::string body = "\x03\x03" + std::string(32, 'r') + '\0' + Be16(2) + "\x13\x01" + '\x01' + '\0' +
                     Be16(ext.size()) + ext;
  std::string hs = std::string("\x01\0", 2) + Be16(body.size()) + body;
  std::string out;
  for (size_t pos = 0; pos < hs.size(); pos += recordMax) {
    const std::string part = hs.substr(pos, recordMax);
    out += std::string("\x16\x03\x01", 3) + Be16(part.size()) + part;
  }
  return out;
}

TlsHello Parse(const std::string& s, std::string* name = nullptr) {
  char n[kDnsNameMax + 1];
  const TlsHello r = ParseClientHelloName(reinterpret_cast<const uint8_t*>(s.data()), s.size(), n);
  if (name) *name = n;
  return r;
}

}  // namespace

TEST(DnsTls, ServerNamesOfHellosHostileOnesIncluded) {
  std::string name;
  EXPECT_EQ(Parse(ClientHello("www.example.org"), &name), TlsHello::Name);
  EXPECT_EQ(name, "www.example.org");
  // A handshake split over records, and names that try to hide or overflow.
  EXPECT_EQ(Parse(ClientHello("split.example", 600, 100), &name), TlsHello::Name);
  EXPECT_EQ(name, "split.example");
  // Bytes of another record after the hello in the same segment.
  EXPECT_EQ(Parse(ClientHello("early.example") + std::string("\x17\x03\x03\x00\x01x", 6), &name), TlsHello::Name);
  EXPECT_EQ(name, "early.example");
  EXPECT_EQ(Parse(ClientHello(std::string("a\0b\r\n.example", 13)), &name), TlsHello::Name);
  EXPECT_EQ(name, "a?b??.example");
  EXPECT_EQ(Parse(ClientHello(std::string(300, 'x')), &name), TlsHello::Name);
  EXPECT_EQ(name.size(), kDnsNameMax);
  // Every cut of a hello asks for more; none reads past what it was given.
  const std::string hello = ClientHello("cut.example", 40);
  for (size_t n = 6; n < hello.size(); n++) EXPECT_EQ(Parse(hello.substr(0, n)), TlsHello::NeedMore) << n;
  // Lengths that lie, other records, no name at all.
  std::string lying = hello;
  lying[lying.size() - 60] = '\x7f';  // the server name list claims more than its extension
  EXPECT_NE(Parse(lying), TlsHello::NeedMore);
  EXPECT_EQ(Parse("\x17\x03\x03\x00\x05hello"), TlsHello::NotHello);
  EXPECT_EQ(Parse(std::string("\x16\x03\x01\xff\xff\x01", 6)), TlsHello::NotHello);
  EXPECT_EQ(Parse(ClientHello("").substr(0, 5) + ClientHello("").substr(5)), TlsHello::NoName);
}

TEST(DnsTls, HellosOverSeveralSegmentsNameTheirConversation) {
  CaptureRig r;
  ConversationTable& table = r.table;
  auto send = [&](const Bytes& p) { r.Send(p); };

  // One segment, on a port that is not 443: the row opens with the name.
  send(Tcp("10.0.0.5", "93.184.216.34", 50000, 8443, 1000, ClientHello("one.example")));
  ASSERT_EQ(table.count(), 1u);
  EXPECT_STREQ(table.RemoteHost(table.at(0)), "one.example");

  // Three segments, a repeated one and a stranger's in between: the row
  // its first segment opened gets the name when the last one arrives.
  const std::string big = ClientHello("three.example", 3000);
  const uint32_t seq = 7000;
  send(Tcp("10.0.0.5", "198.51.100.7", 50001, 443, seq, big.substr(0, 1400)));
  ASSERT_EQ(table.count(), 2u);
  EXPECT_STREQ(table.RemoteHost(table.at(1)), "");
  send(Tcp("10.0.0.5", "198.51.100.7", 50001, 443, seq, big.substr(0, 1400)));
  send(Tcp("10.0.0.9", "198.51.100.7", 50001, 443, seq + 1400, std::string(1400, 'z')));
  send(Tcp("10.0.0.5", "198.51.100.7", 50001, 443, seq + 1400, big.substr(1400, 1400)));
  EXPECT_STREQ(table.RemoteHost(table.at(1)), "");
  send(Tcp("10.0.0.5", "198.51.100.7", 50001, 443, seq + 2800, big.substr(2800)));
  EXPECT_STREQ(table.RemoteHost(table.at(1)), "three.example");
  EXPECT_EQ(table.namesChanged, 1);

  // More hellos pending than are followed: the oldest give way, the
  // others still finish.
  const std::string many = ClientHello("many.example", 3000);
  const int flows = kTlsPendingFlows + 2;
  for (int i = 0; i < flows; i++)
    send(Tcp("10.0.0.5", "198.51.100.8", uint16_t(51000 + i), 443, 1, many.substr(0, 1400)));
  const size_t first = table.count() - flows;
  send(Tcp("10.0.0.5", "198.51.100.8", 51000, 443, 1401, many.substr(1400)));
  EXPECT_STREQ(table.RemoteHost(table.at(first)), "");
  send(Tcp("10.0.0.5", "198.51.100.8", 51002, 443, 1401, many.substr(1400)));
  EXPECT_STREQ(table.RemoteHost(table.at(first)), "many.example");

  // Over IPv6, behind a hop-by-hop header, the same.
  auto send6 = [&](uint32_t at, const std::string& data, const char* server = "2001:db8::443") {
    send(AsIPv6(Tcp("10.0.0.5", "10.0.0.6", 50003, 443, at, data), "2001:db8::5", server,
                {{0, Bytes{0, 0, 1, 4, 0, 0, 0, 0}}}));
  };
  send6(seq, big.substr(0, 1400));
  const Conversation& six = table.at(table.count() - 1);
  EXPECT_STREQ(table.RemoteHost(six), "");
  send6(seq + 1400, big.substr(1400));
  EXPECT_STREQ(table.RemoteHost(six), "three.example");
  // With IPv6 capture off, IPv6 packets teach nothing.
  r.options.CaptureIPv6 = 0;
  const size_t names = r.cache.size();
  send6(1, ClientHello("off6.example"), "2001:db8::444");
  EXPECT_EQ(r.cache.size(), names);

  // With learning from the wire off, nothing is learned.
  r.options.UseDnsQueriesForHostNames = 0;
  send(Tcp("10.0.0.5", "203.0.113.9", 50002, 443, 1, ClientHello("off.example")));
  EXPECT_STREQ(table.RemoteHost(table.at(table.count() - 1)), "");
}
