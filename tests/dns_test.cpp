#include <cstring>

#include "capture/dns.h"
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

  // Not port 53: ignored.
  EXPECT_EQ(learn(17, 5353, DnsResponse("mdns.example", {Addr("5.5.5.5")})), 0);
  EXPECT_EQ(cache.FindIPv4(Addr("5.5.5.5")), -1);
  EXPECT_EQ(cache.Name(99), nullptr);

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
  // A NUL or control byte in a label neither cuts the name nor passes.
  Bytes odd = DnsResponse(std::string("ab\0c\r\n\td\x7f\x80.example", 18), {Addr("7.7.7.8")});
  ASSERT_EQ(ParseDnsAddressRecords(odd.data(), odd.size(), recs, 8), 1);
  EXPECT_STREQ(recs[0].name, "ab?c???d?\x80.example");
}
