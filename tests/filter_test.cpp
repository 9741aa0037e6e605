#include <string>

#include "filter/filter.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {
uint32_t H(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }
bool Pass(const char* text, uint16_t proto, uint16_t lp, uint16_t rp, uint32_t la, uint32_t ra) {
  FilterRuleList l;
  ParseFilter(text, l);
  return MatchFilter(l, proto, lp, rp, la, ra);
}
const uint32_t A = H(10, 0, 0, 1), B = H(192, 168, 0, 50);
// Each rule of `text` as "action direction protocol ports addresses;".
std::string Rules(const std::string& text) {
  FilterRuleList l;
  ParseFilter(text.c_str(), l);
  std::string s;
  char b[80];
  for (const FilterRule& r : l) {
    snprintf(b, sizeof b, "%d %d %d %d-%d %08x-%08x; ", r.action, r.direction, r.protocol, r.portLow, r.portHigh,
             r.addressLow, r.addressHigh);
    s += b;
  }
  return s;
}
}  // namespace

TEST(FilterTest, ParsesTheLanguage) {
  EXPECT_EQ(Rules(" ,;\r\n\t"), "");
  EXPECT_EQ(Rules("include:remote:tcp:80\r\ninclude:both:udp:53-139 exclude:both:tcpudp:192.168.0.1-192.168.0.100"),
            "1 2 6 80-80 00000000-00000000; 1 3 17 53-139 00000000-00000000; 2 3 -2 65535-65535 c0a80001-c0a80064; ");
  // Keywords in any order and case; an empty field is skipped; the fourth
  // field is the range ("80" as a third is a keyword); junk tokens with fewer fields add nothing.
  EXPECT_EQ(Rules("junk TCP:Include:Both:8080 include::tcp:80 include:tcp:80"),
            "1 3 6 8080-8080 00000000-00000000; 1 2 6 65535-65535 00000000-00000000; "
            "1 2 6 65535-65535 00000000-00000000; ");
  EXPECT_EQ(Rules("include:remote:tcp:80-90-100 include:remote:udp:70000 include:local:all:abc"),
            "1 2 6 80-100 00000000-00000000; 1 2 17 4464-4464 00000000-00000000; 1 1 -1 0-0 00000000-00000000; ");
  // An invalid address is all ones; "1.2" is inet_addr's a.b form.
  EXPECT_EQ(Rules("include:remote:all:10.0.0.300 include:remote:all:1.2-10.0.0.9"),
            "1 2 -1 65535-65535 ffffffff-ffffffff; 1 2 -1 65535-65535 01000002-0a000009; ");
  // A 300-character token is cut to 254 before its fields are split.
  EXPECT_EQ(Rules("include:remote:tcp:" + std::string(300 - 19, '9')), "1 2 6 65535-65535 00000000-00000000; ");
  EXPECT_EQ(Rules("include:remote:tcp:99999999999-65537"), "1 2 6 65535-1 00000000-00000000; ");
}

TEST(FilterTest, MatchesByTheRules) {
  EXPECT_TRUE(Pass("", 6, 1, 2, A, B));
  EXPECT_FALSE(Pass("exclude:both:icmp", 1, 0, 0, A, B));
  EXPECT_TRUE(Pass("exclude:both:icmp", 17, 1, 2, A, B));
  const char* web = "include:remote:tcp:80 exclude:both:all:10.0.0.1";
  EXPECT_TRUE(Pass(web, 6, 5000, 80, H(10, 0, 0, 2), B));
  EXPECT_FALSE(Pass(web, 6, 5000, 80, A, B));
  EXPECT_FALSE(Pass(web, 6, 5000, 81, H(10, 0, 0, 2), B));
  EXPECT_TRUE(Pass("a:b:c", 17, 1, 2, A, B));
  EXPECT_TRUE(Pass("include:remote:tcp:65535", 6, 1, 2, A, B));
  EXPECT_TRUE(Pass("include:remote:all:0.0.0.0", 6, 1, 2, A, B));
  EXPECT_FALSE(Pass("include:remote:udp:139-53", 17, 100, 100, A, B));
  EXPECT_FALSE(Pass("include:both:tcp:0-10", 1, 0, 0, A, B));  // protocol first
  EXPECT_TRUE(Pass("include:both:all:0-10", 1, 0, 0, A, B));   // ICMP ports are 0
  EXPECT_TRUE(Pass("include:both:icmp", 1, 0, 0, A, B));
  EXPECT_TRUE(Pass("include:local:tcpudp", 17, 1, 2, A, B));
  EXPECT_FALSE(Pass("include:local:tcpudp", 1, 0, 0, A, B));
  // "both" checks ports and addresses on either side independently.
  EXPECT_TRUE(Pass("include:both:tcp:80-80", 6, 80, 9999, A, B));
  EXPECT_TRUE(Pass("include:both:all:192.168.0.1-192.168.0.100", 6, 1, 2, A, B));
  EXPECT_FALSE(Pass("include:local:all:192.168.0.1-192.168.0.100", 6, 1, 2, A, B));
}

TEST(FilterTest, IPv6InBrackets) {
  FilterRuleList l;
  ParseFilter("include:both:tcp:[2001:db8::1]-[2001:db8::ff] exclude:remote:all:[::1]", l);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(l[0].v6 && l[1].v6 && l[0].protocol == 6 && l[1].action == 2);
  EXPECT_EQ(IpAddress::V6(l[0].low6), V6("2001:db8::1"));
  EXPECT_EQ(IpAddress::V6(l[0].high6), V6("2001:db8::ff"));
  EXPECT_EQ(IpAddress::V6(l[1].low6), IpAddress::V6(l[1].high6));
  // Broken brackets name no address (all ones, as an invalid IPv4 address
  // does) and never read past the text.
  const std::string wide = "include:both:all:[" + std::string(400, ':') + "]";
  for (const char* t : {"include:both:all:[", "include:both:all:[[", "include:both:all:[::1", "include:both:all:[-]",
                        "include:both:all:[::1]x", "include:both:all:[1.2.3.4]", wide.c_str()}) {
    ParseFilter(t, l);
    ASSERT_EQ(l.size(), 1u) << t;
    EXPECT_TRUE(l[0].v6 && (l[0].low6[0] & l[0].high6[15]) == 0xFF) << t;
  }
  // Brackets count in the addresses' field alone; only its first part sets a low end.
  ParseFilter("include:[both:tcp:1 include:remote:tcp:80-[::1]", l);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(l[0].protocol == 6 && l[0].portLow == 1 && l[0].direction == 2 && !l[0].v6);
  EXPECT_EQ(IpAddress::V6(l[1].low6), V6("::"));
  EXPECT_EQ(IpAddress::V6(l[1].high6), V6("::1"));

  const IpAddress in = V6("2001:db8::80"), lo = V6("::1"), v4 = IpAddress::V4(0x0100000A);
  auto pass = [&](const char* text, uint16_t proto, const IpAddress& local, const IpAddress& remote) {
    ParseFilter(text, l);
    return MatchFilter(l, proto, 1000, 80, local, remote);
  };
  const char* range = "include:both:tcp:[2001:db8::1]-[2001:db8::ff]";
  EXPECT_TRUE(pass(range, 6, lo, in));
  EXPECT_FALSE(pass(range, 17, lo, in));
  EXPECT_FALSE(pass(range, 6, lo, V6("2001:db8::100")));
  EXPECT_FALSE(pass(range, 6, v4, v4));  // no IPv4 address lies in an IPv6 range
  EXPECT_FALSE(pass("exclude:remote:all:[::1]", 6, in, lo));
  EXPECT_TRUE(pass("exclude:remote:all:[::1]", 6, lo, in));
}
