#include "capture/conversation.h"
#include "gtest/gtest.h"
#include "test_support.h"

// Sizes and directions of TCP and ICMP are the table's tests; here the MAC
// sides, the mode without a direction, loopback and other protocols.
TEST(DecodeTest, SidesAndProtocols) {
  const uint32_t local = Addr("10.0.0.5");
  const uint8_t a[6] = {0xa, 0xa, 0xa, 0xa, 0xa, 0xa}, b[6] = {0xb, 0xb, 0xb, 0xb, 0xb, 0xb};
  Bytes in = Ipv4Packet(17, "10.0.0.9", "10.0.0.5", 53, 3000, 10);
  DecodedPacket u, s, l, g;
  ASSERT_TRUE(DecodePacket(in.data(), int32_t(in.size()), u, local, true, b, a));
  EXPECT_EQ(u.outgoing, 0);
  EXPECT_EQ(u.localPort, 3000);
  EXPECT_EQ(u.remoteAddress, Addr("10.0.0.9"));
  EXPECT_EQ(u.localMac[0], 0xb);
  EXPECT_EQ(u.remoteMac[0], 0xa);
  // Without the direction decision the source is local.
  ASSERT_TRUE(DecodePacket(in.data(), int32_t(in.size()), s, local, false, b, a));
  EXPECT_EQ(s.localPort, 53);
  EXPECT_EQ(s.localMac[0], 0xa);
  // Loopback: 127.0.0.1 to itself is incoming.
  Bytes lo = Ipv4Packet(6, "127.0.0.1", "127.0.0.1", 5000, 6000, 1, 0x01020304);
  ASSERT_TRUE(DecodePacket(lo.data(), int32_t(lo.size()), l, Addr("127.0.0.1"), true, nullptr, nullptr));
  EXPECT_EQ(l.localPort, 6000);
  EXPECT_EQ(l.tcpSequence, 0x01020304u);
  Bytes gre = Ipv4Packet(47, "10.0.0.9", "10.0.0.5", 0, 0, 32);
  EXPECT_FALSE(DecodePacket(gre.data(), int32_t(gre.size()), g, local, true, nullptr, nullptr));
}

TEST(DecodeTest, NeverReadsPastTheCapturedBytes) {
  Bytes p = Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, 2, 100);
  DecodedPacket r;
  // Up to 16 missing bytes are tolerated, 17 are not.
  EXPECT_TRUE(DecodePacket(p.data(), int32_t(p.size() - 16), r, 0, true, nullptr, nullptr));
  EXPECT_FALSE(DecodePacket(p.data(), int32_t(p.size() - 17), r, 0, true, nullptr, nullptr));

  // Transport headers cut short do not decode; every prefix is safe.
  for (uint8_t proto : {6, 17}) {
    const Bytes whole = Ipv4Packet(proto, "1.1.1.1", "2.2.2.2", 1, 2, 0);
    for (size_t n = 0; n < whole.size(); n++) {
      Bytes cut(whole.begin(), whole.begin() + long(n));  // exact-size heap copy for ASan
      DecodedPacket c;
      EXPECT_FALSE(DecodePacket(cut.data(), int32_t(n), c, 0, true, nullptr, nullptr)) << int(proto) << " " << n;
    }
  }
  Bytes v6(40, 0);
  v6[0] = 0x60;
  EXPECT_FALSE(DecodePacket(v6.data(), 40, r, 0, true, nullptr, nullptr));
}
