#include "capture/conversation.h"
#include "capture/conversation_table.h"
#include "gtest/gtest.h"
#include "test_support.h"

// Sizes and directions of TCP and ICMP are the table's tests, other protocols the engine's.
TEST(DecodeTest, SidesAndProtocols) {
  const uint32_t local = Addr("10.0.0.5");
  const uint8_t a[6] = {0xa, 0xa, 0xa, 0xa, 0xa, 0xa}, b[6] = {0xb, 0xb, 0xb, 0xb, 0xb, 0xb};
  Bytes in = Ipv4Packet(17, "10.0.0.9", "10.0.0.5", 53, 3000, 10);
  DecodedPacket u, s, l;
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
}

TEST(DecodeTest, NeverReadsPastTheCapturedBytes) {
  Bytes p = Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, 2, 100);
  DecodedPacket r;
  // Cut after its headers (a snapshot length) it counts whole; inside them
  // it is refused.
  ASSERT_TRUE(DecodePacket(p.data(), 28, r, 0, true, nullptr, nullptr));
  EXPECT_EQ(r.totalSize, int32_t(p.size()));
  EXPECT_FALSE(DecodePacket(p.data(), 27, r, 0, true, nullptr, nullptr));
  // Headers past the total length would count negative data; a total
  // length of 0 (segmenting left to the adapter) is the captured length.
  Bytes t = Ipv4Packet(6, "1.1.1.1", "2.2.2.2", 1, 2, 5);
  for (uint8_t offset : {0xF0, 0x40}) {  // past the total length; shorter than the fixed header
    t[32] = offset;
    DecodedPacket bad;
    EXPECT_FALSE(DecodePacket(t.data(), int32_t(t.size()), bad, 0, true, nullptr, nullptr));
    EXPECT_EQ(bad.skip, kSkipTruncated);
  }
  t[32] = 0x50;
  t[2] = t[3] = 0;
  ASSERT_TRUE(DecodePacket(t.data(), int32_t(t.size()), r, 0, true, nullptr, nullptr));
  EXPECT_EQ(r.totalSize, 45);

  // Transport headers cut short do not decode; every prefix is safe.
  for (uint8_t proto : {6, 17}) {
    const Bytes whole = Ipv4Packet(proto, "1.1.1.1", "2.2.2.2", 1, 2, 0);
    for (size_t n = 0; n < whole.size(); n++) {
      Bytes cut(whole.begin(), whole.begin() + long(n));  // exact-size heap copy for ASan
      DecodedPacket c;
      EXPECT_FALSE(DecodePacket(cut.data(), int32_t(n), c, 0, true, nullptr, nullptr)) << int(proto) << " " << n;
    }
  }
}

namespace {
// An IPv6 packet from 2001:db8::<src> to 2001:db8::<dst>: `headers` is the
// chain after the fixed header, `next` the first header's number.
Bytes V6(uint8_t next, const Bytes& headers, uint8_t src = 1, uint8_t dst = 2, int payloadLength = -1) {
  Bytes p(40 + headers.size(), 0);
  std::copy(headers.begin(), headers.end(), p.begin() + 40);
  p[0] = 0x60;
  const size_t len = payloadLength < 0 ? headers.size() : size_t(payloadLength);
  p[4] = uint8_t(len >> 8);
  p[5] = uint8_t(len);
  p[6] = next;
  for (int k : {8, 24}) p[k] = 0x20, p[k + 1] = 0x01, p[k + 2] = 0x0d, p[k + 3] = 0xb8;
  p[23] = src;
  p[39] = dst;
  return p;
}
Bytes Ext(uint8_t next, size_t units = 0) {  // hop-by-hop, routing, destination options
  Bytes h((units + 1) * 8, 0);
  h[0] = next;
  h[1] = uint8_t(units);
  if (units == 0) h[2] = 1;  // PadN of 4 filling the rest
  return h;
}
Bytes Frag(uint8_t next, uint16_t offset, bool more, uint32_t id) {
  return {next, 0, uint8_t(offset >> 5), uint8_t((offset << 3) | more), uint8_t(id >> 24), uint8_t(id >> 16),
          uint8_t(id >> 8), uint8_t(id)};
}
Bytes Udp(uint16_t sport, uint16_t dport, size_t data) {
  Bytes u(8 + data, 'u');
  u[0] = uint8_t(sport >> 8), u[1] = uint8_t(sport), u[2] = uint8_t(dport >> 8), u[3] = uint8_t(dport);
  return u;
}
bool Decode6(const Bytes& p, DecodedPacket& r, const LocalSide* side = nullptr) {
  const Bytes copy(p);  // exact size for ASan
  return DecodePacket(copy.data(), int32_t(copy.size()), r, side, nullptr, nullptr);
}
}  // namespace

TEST(DecodeTest, IPv6ChainsJumboAndHostileHeaders) {
  // Hop-by-hop, destination options and routing before UDP: chain.pcap in ipv6_tshark_test.py.
  const Bytes chain = V6(0, Ext(60) + Ext(43) + Ext(17, 1) + Udp(5000, 53, 10));
  // Mobility, HIP and Shim6 headers have the same length field.
  DecodedPacket m;
  ASSERT_TRUE(Decode6(V6(135, Ext(139) + Ext(140, 2) + Ext(17) + Udp(7, 9, 4)), m));
  EXPECT_EQ(m.headerLength, 40 + 8 + 24 + 8 + 8);
  EXPECT_EQ(m.protocol, kProtoUdp);
  // The adapter's address as destination makes the packet incoming.
  LocalSide side;
  side.v6.push_back(IpAddress::V6(chain.data() + 24));
  DecodedPacket i;
  ASSERT_TRUE(Decode6(V6(58, Bytes(16, 0x80)), i, &side));
  EXPECT_EQ(i.outgoing, 0);
  EXPECT_EQ(i.local6[15], 2);
  side.ipv6 = false;
  DecodedPacket off;
  EXPECT_FALSE(Decode6(chain, off, &side));
  EXPECT_EQ(off.skip, kSkipIPv6Off);

  // A jumbogram's length comes from its hop-by-hop option; a zero length
  // without one, or with one below 65536, is damage.
  Bytes hbh = Ext(17);
  hbh[2] = 0xC2, hbh[3] = 4;
  const uint32_t jumboLength = 70000;
  for (int k = 0; k < 4; k++) hbh[4 + k] = uint8_t(jumboLength >> (24 - 8 * k));
  DecodedPacket j;
  ASSERT_TRUE(Decode6(V6(0, hbh + Udp(1, 2, jumboLength - 16), 1, 2, 0), j));
  EXPECT_EQ(j.totalSize, int32_t(jumboLength + 40));
  hbh[5] = 0;
  DecodedPacket small, none, cut;
  EXPECT_FALSE(Decode6(V6(0, hbh + Udp(1, 2, 100), 1, 2, 0), small));
  EXPECT_FALSE(Decode6(V6(0, Ext(17) + Udp(1, 2, 100), 1, 2, 0), none));
  hbh[5] = 1;  // a jumbo length far past the captured bytes
  EXPECT_FALSE(Decode6(V6(0, hbh + Udp(1, 2, 100), 1, 2, 0), cut));
  EXPECT_EQ(cut.skip, kSkipTruncated);

  // Hostile chains: too many headers, hop-by-hop not first, a header past
  // the end, headers past the payload length; every prefix is refused safely.
  Bytes many;
  for (int k = 0; k < 20; k++) many = many + Ext(60);
  Bytes overrun = Ext(17);
  overrun[1] = 255;
  DecodedPacket loop, late, over, shortPayload;
  EXPECT_FALSE(Decode6(V6(60, many + Udp(1, 2, 4)), loop));
  EXPECT_EQ(loop.skip, kSkipBadExtensionChain);
  EXPECT_FALSE(Decode6(V6(60, Ext(0) + Ext(17) + Udp(1, 2, 4)), late));
  EXPECT_EQ(late.skip, kSkipBadExtensionChain);
  EXPECT_FALSE(Decode6(V6(60, overrun + Udp(1, 2, 4)), over));
  EXPECT_EQ(over.skip, kSkipTruncated);
  EXPECT_FALSE(Decode6(V6(60, Ext(17) + Udp(1, 2, 40), 1, 2, 12), shortPayload));
  EXPECT_EQ(shortPayload.skip, kSkipTruncated);
  // Cut inside its headers it is refused; cut after them (a snapshot
  // length), it counts whole.
  for (size_t n = 0; n < chain.size() - 10; n++) {
    DecodedPacket c;
    EXPECT_FALSE(Decode6(Bytes(chain.begin(), chain.begin() + long(n)), c)) << n;
  }
  DecodedPacket snap;
  ASSERT_TRUE(Decode6(Bytes(chain.begin(), chain.end() - 10), snap));
  EXPECT_EQ(snap.totalSize, int32_t(chain.size()));
}

// Later fragments join their first one's conversation, even naming the
// destination options before UDP (fragments.pcap in ipv6_tshark_test.py);
// here repeats, and identifications that match on other addresses or after a clear.
TEST(DecodeTest, FragmentsPairWithTheirFirst) {
  FakePlatform platform;
  Options options;
  ConversationTable table{options, nullptr};
  auto feed = [&](const Bytes& p) { return Account(table, p, platform.now); };
  const Bytes first = V6(44, Frag(60, 0, true, 7) + Ext(17) + Udp(4000, 9000, 32));
  const Bytes later = V6(44, Frag(60, 6, true, 7) + Bytes(48, 'x'));
  Conversation* c = feed(first);
  ASSERT_NE(c, nullptr);
  // Overlapping and repeated fragments count as the packets they are.
  for (const Bytes& p : {later, first, V6(44, Frag(60, 1, false, 7) + Bytes(48, 'y'))}) EXPECT_EQ(feed(p), c);
  EXPECT_EQ(c->packets, 4u);
  EXPECT_EQ(c->totalSize, 2 * first.size() + 2 * later.size());
  EXPECT_EQ(c->dataSize, 2u * (first.size() - 64) + 2u * (later.size() - 48));
  EXPECT_EQ(feed(V6(44, Frag(17, 6, false, 7) + Bytes(16, 'z'), 3, 2)), nullptr);
  table.Clear();
  EXPECT_EQ(feed(later), nullptr);
  EXPECT_EQ(table.skipped[kSkipFragmentWithoutFirst], 1u);

  // IPv4 alike: a later fragment's first bytes are no ports.
  auto frag4 = [](Bytes p, uint16_t field, uint16_t id) {
    p[4] = uint8_t(id >> 8), p[5] = uint8_t(id), p[6] = uint8_t(field >> 8), p[7] = uint8_t(field);
    return p;
  };
  Conversation* c4 = feed(frag4(Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 5000, 53, 40), 0x2000, 9));
  ASSERT_NE(c4, nullptr);
  const Bytes rest = Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 0x1234, 0x5678, 40);
  EXPECT_EQ(feed(frag4(rest, 6, 9)), c4);
  EXPECT_EQ(c4->packets, 2u);
  EXPECT_EQ(c4->dataSize, 40u + 48u);
  EXPECT_EQ(feed(frag4(rest, 6, 10)), nullptr);
  EXPECT_EQ(table.count(), 1u);
  // An ICMP key has no ports: a later fragment counts without its first.
  EXPECT_NE(feed(frag4(Ipv4Packet(1, "10.0.0.1", "10.0.0.2", 0, 0, 40), 6, 11)), nullptr);
}
