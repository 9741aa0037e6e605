#include <cstring>

#include "capture/dns.h"
#include "capture/tls.h"
#include "geo_writers.h"
#include "gtest/gtest.h"

TEST(DnsTest, LearnsAnswersOverUdpAndTcp) {
  DnsNameCache cache;
  auto learn = [&](uint8_t protocol, uint16_t port, const Bytes& msg,
                   const std::vector<std::pair<uint8_t, Bytes>>* v6 = nullptr) {
    Bytes p = WithPayload(protocol, "10.0.0.1", "10.0.0.5", port, 40000, msg);
    if (v6) p = AsIPv6(p, "2001:db8::53", "2001:db8::5", *v6);
    return LearnDnsAnswers(p.data(), int32_t(p.size()), cache);
  };
  // Two A records for the same address: one entry with the first name.
  EXPECT_EQ(learn(17, 53, DnsResponse("www.example.org", {Addr("93.184.216.34"), Addr("93.184.216.34")})), 1);
  ASSERT_EQ(cache.size(), 1u);
  EXPECT_STREQ(cache.Name(cache.FindIPv4(Addr("93.184.216.34"))), "www.example.org");
  // A later answer with another name for the address changes nothing.
  learn(17, 53, DnsResponse("other.example", {Addr("93.184.216.34")}));
  EXPECT_STREQ(cache.Name(cache.FindIPv4(Addr("93.184.216.34"))), "www.example.org");

  // Over TCP the message follows a two-byte length.
  const Bytes tcpMsg = DnsResponse("tcp.example", {Addr("1.2.3.4")});
  EXPECT_EQ(learn(6, 53, Bytes{uint8_t(tcpMsg.size() >> 8), uint8_t(tcpMsg.size())} + tcpMsg), 1);
  EXPECT_STREQ(cache.Name(cache.FindIPv4(Addr("1.2.3.4"))), "tcp.example");

  // Every record of an answer is learned, past any fixed count; a damaged
  // answer (here a name over 255 bytes on the wire after them) teaches none.
  std::vector<uint32_t> many;
  for (uint32_t i = 1; i <= 200; i++) many.push_back(Addr("94.0.0.0") + (i << 24) + (i >> 8 << 16));
  Bytes manyMsg = DnsResponse("many.example", many);
  EXPECT_EQ(learn(17, 53, manyMsg), 200);
  EXPECT_STREQ(cache.Name(cache.FindIPv4(many.back())), "many.example");
  many = {Addr("95.0.0.1")};
  manyMsg = DnsResponse("damaged.example", many);
  manyMsg[7] = 2;
  for (int i = 0; i < 5; i++) manyMsg = manyMsg + Bytes{63} + Bytes(63, 'x');
  EXPECT_EQ(learn(17, 53, manyMsg + Bytes{0, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4}), 0);
  EXPECT_EQ(cache.FindIPv4(Addr("95.0.0.1")), -1);

  // Not port 53: ignored.
  EXPECT_EQ(learn(17, 5353, DnsResponse("mdns.example", {Addr("5.5.5.5")})), 0);
  EXPECT_EQ(cache.FindIPv4(Addr("5.5.5.5")), -1);
  EXPECT_EQ(cache.Name(int(cache.size())), nullptr);

  // Over IPv6, behind extension headers: an AAAA answer names its address.
  Bytes aaaa = DnsResponse("v6.example", {});
  aaaa[7] = 1;
  aaaa = aaaa + Bytes{0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16} + Bytes(15, 0x20) + Bytes{0x80};
  const std::vector<std::pair<uint8_t, Bytes>> hop = {{0, Bytes{0, 0, 1, 4, 0, 0, 0, 0}}},
                                              later = {{44, Bytes{0, 0, 0, 8, 0, 0, 0, 1}}},
                                              loop(20, {60, Bytes(8, 0)});
  EXPECT_EQ(learn(17, 53, aaaa, &hop), 1);
  uint8_t v6[16];
  memset(v6, 0x20, 15);
  v6[15] = 0x80;
  EXPECT_STREQ(cache.Name(cache.FindIPv6(v6)), "v6.example");
  const Bytes tcp6 = DnsResponse("tcp6.example", {Addr("1.2.3.5")});
  EXPECT_EQ(learn(6, 53, Bytes{0, uint8_t(tcp6.size())} + tcp6, &hop), 1);
  // Not the first fragment, or a chain too long: nothing.
  EXPECT_EQ(learn(17, 53, DnsResponse("frag.example", {Addr("1.2.3.6")}), &later), 0);
  EXPECT_EQ(learn(17, 53, DnsResponse("loop.example", {Addr("1.2.3.7")}), &loop), 0);
}

TEST(DnsTest, HostileMessages) {
  DnsAddressRecord recs[8];
  // A pointer loop.
  Bytes loop = {0, 0, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4};
  EXPECT_EQ(ParseDnsAddressRecords(loop.data(), loop.size(), recs, 8), -1);
  // Every truncation of a good message is damaged or complete, never a crash.
  Bytes good = DnsResponse("a.b.c", {Addr("9.9.9.9"), Addr("8.8.8.8")});
  EXPECT_EQ(ParseDnsAddressRecords(good.data(), good.size(), recs, 8), 2);
  for (size_t n = 0; n < good.size(); n++) {
    Bytes cut(good.begin(), good.begin() + long(n));
    EXPECT_EQ(ParseDnsAddressRecords(cut.data(), n, recs, 8), -1) << n;
  }
  // Names are cut to 127 bytes.
  std::string longName;
  for (int i = 0; i < 6; i++) longName += std::string(40, char('a' + i)) + ".";
  longName += "com";
  Bytes big = DnsResponse(longName, {Addr("7.7.7.7")});
  ASSERT_EQ(ParseDnsAddressRecords(big.data(), big.size(), recs, 8), 1);
  EXPECT_EQ(strlen(recs[0].name), kDnsNameMax);
  EXPECT_EQ(std::string(recs[0].name), longName.substr(0, kDnsNameMax));
  // A NUL or control byte in a label neither cuts the name nor passes, nor
  // a quote or a leading sign (a spreadsheet's field or formula).
  Bytes odd = DnsResponse(std::string("=b\0c\r\n\"d\x7f\x80.ex-ample", 19), {Addr("7.7.7.8")});
  ASSERT_EQ(ParseDnsAddressRecords(odd.data(), odd.size(), recs, 8), 1);
  EXPECT_STREQ(recs[0].name, "?b?c???d?\x80.ex-ample");
}

// Server names of TLS ClientHellos teach host names as DNS answers do.
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
std::string Named(const std::string& s) {
  std::string n;
  return Parse(s, &n) == TlsHello::Name ? n : "<no name>";
}

}  // namespace

TEST(DnsTls, ServerNamesOfHellosHostileOnesIncluded) {
  EXPECT_EQ(Named(ClientHello("www.example.org")), "www.example.org");
  // A handshake split over records, another record after the hello in the
  // same segment, and names that try to hide or overflow.
  EXPECT_EQ(Named(ClientHello("split.example", 600, 100)), "split.example");
  EXPECT_EQ(Named(ClientHello("early.example") + std::string("\x17\x03\x03\x00\x01x", 6)), "early.example");
  EXPECT_EQ(Named(ClientHello(std::string("@\0b\"\n.ex-ample", 14))), "??b??.ex-ample");
  EXPECT_EQ(Named(ClientHello(std::string(300, 'x'))).size(), kDnsNameMax);
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

  // Records of one byte, six bytes a segment: parsing waits until enough
  // may have come, and the name still comes with the last segment.
  const std::string tiny = ClientHello("tiny.example", 1500, 1);
  for (size_t at = 0; at < tiny.size(); at += 6) {
    send(Tcp("10.0.0.5", "198.51.100.9", 50004, 443, uint32_t(1 + at), tiny.substr(at, 6)));
    if (at + 6 < tiny.size()) {
      ASSERT_STREQ(table.RemoteHost(table.at(table.count() - 1)), "") << at;
    }
  }
  EXPECT_STREQ(table.RemoteHost(table.at(table.count() - 1)), "tiny.example");

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
