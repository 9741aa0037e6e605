#include "capture/conversation.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {
Conversation Decoded(const Bytes& p, uint32_t local, bool direction, const uint8_t* dst = nullptr,
                     const uint8_t* src = nullptr) {
  Conversation c;
  EXPECT_TRUE(DecodePacket(p.data(), int32_t(p.size()), c, local, direction, dst, src));
  return c;
}
}  // namespace

TEST(DecodeTest, DirectionPortsAndLengths) {
  const uint32_t local = Addr("10.0.0.5");
  const uint8_t a[6] = {0xa, 0xa, 0xa, 0xa, 0xa, 0xa}, b[6] = {0xb, 0xb, 0xb, 0xb, 0xb, 0xb};
  const Conversation r = Decoded(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 60, 0x01020304), local, true, b, a);
  EXPECT_EQ(r.outgoing, 1);
  EXPECT_EQ(r.localAddress, local);
  EXPECT_EQ(r.localPort, 1025);
  EXPECT_EQ(r.remotePort, 80);
  EXPECT_EQ(r.headerLength, 40);
  EXPECT_EQ(r.totalSize, 100);
  EXPECT_EQ(r.tcpSequence, 0x01020304u);
  EXPECT_EQ(r.localMac[0], 0xa);
  EXPECT_EQ(r.remoteMac[0], 0xb);

  const Bytes in = Ipv4Packet(17, "10.0.0.9", "10.0.0.5", 53, 3000, 10);
  const Conversation u = Decoded(in, local, true, b, a);
  EXPECT_EQ(u.outgoing, 0);
  EXPECT_EQ(u.localPort, 3000);
  EXPECT_EQ(u.remoteAddress, Addr("10.0.0.9"));
  EXPECT_EQ(u.localMac[0], 0xb);
  EXPECT_EQ(Decoded(in, local, false).localPort, 53);  // without the direction decision the source is local
  // Loopback: 127.0.0.1 to itself is incoming.
  EXPECT_EQ(Decoded(Ipv4Packet(6, "127.0.0.1", "127.0.0.1", 5000, 6000, 1), Addr("127.0.0.1"), true).localPort, 6000);

  const Conversation i = Decoded(Ipv4Packet(1, "10.0.0.9", "10.0.0.5", 0, 0, 32), local, true);
  EXPECT_EQ(i.headerLength, 28);
  EXPECT_EQ(i.localPort + i.remotePort, 0);

  Bytes gre = Ipv4Packet(47, "10.0.0.9", "10.0.0.5", 0, 0, 32);
  Conversation g;
  EXPECT_FALSE(DecodePacket(gre.data(), int32_t(gre.size()), g, local, true, nullptr, nullptr));
}

TEST(DecodeTest, NeverReadsPastTheCapturedBytes) {
  Bytes p = Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, 2, 100);
  Conversation r;
  // Up to 16 missing bytes are tolerated, 17 are not.
  EXPECT_TRUE(DecodePacket(p.data(), int32_t(p.size() - 16), r, 0, true, nullptr, nullptr));
  EXPECT_FALSE(DecodePacket(p.data(), int32_t(p.size() - 17), r, 0, true, nullptr, nullptr));

  // Transport headers cut short do not decode; every prefix is safe.
  for (uint8_t proto : {6, 17}) {
    const Bytes whole = Ipv4Packet(proto, "1.1.1.1", "2.2.2.2", 1, 2, 0);
    for (size_t n = 0; n < whole.size(); n++) {
      Bytes cut(whole.begin(), whole.begin() + long(n));  // exact-size heap copy for ASan
      Conversation c;
      EXPECT_FALSE(DecodePacket(cut.data(), int32_t(n), c, 0, true, nullptr, nullptr)) << int(proto) << " " << n;
    }
  }
  Bytes v6(40, 0);
  v6[0] = 0x60;
  EXPECT_FALSE(DecodePacket(v6.data(), 40, r, 0, true, nullptr, nullptr));
}
