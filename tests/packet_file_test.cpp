#include <cstring>

#include "base/byte_cursor.h"
#include "geo_writers.h"
#include "gtest/gtest.h"
#include "packetfile/packet_file.h"

namespace {

Bytes Record(uint16_t headerLen, uint32_t len, uint8_t fill) {
  Bytes r = {uint8_t(headerLen), uint8_t(headerLen >> 8)};
  Bytes h(headerLen, 0);
  if (headerLen >= 4) memcpy(h.data(), &len, 4);
  if (headerLen >= 12) h[4] = 0x42;  // time, low byte
  r.insert(r.end(), h.begin(), h.end());
  r.insert(r.end(), len, fill);
  return r;
}

Bytes Header(const char* magic, uint16_t payloadLen) {
  Bytes h(magic, magic + 8);
  h.push_back(uint8_t(payloadLen));
  h.push_back(uint8_t(payloadLen >> 8));
  for (uint16_t i = 0; i < payloadLen; i++) h.push_back(uint8_t(10 + i));
  return h;
}

std::vector<uint32_t> ReadAll(const std::string& path, PacketFile& f, Bytes* firstPacket = nullptr) {
  f.ResetFile(false);
  f.SetName(path.c_str());
  std::vector<uint32_t> lens;
  if (!f.OpenForReading()) return lens;
  Bytes buf(kPacketBufferSize);
  PacketHeader h;
  while (f.ReadNextPacket(buf.data(), h)) {
    if (lens.empty() && firstPacket) firstPacket->assign(buf.begin(), buf.begin() + h.length);
    lens.push_back(h.length);
  }
  f.CloseReading();
  return lens;
}

}  // namespace

TEST(PacketFileTest, LayoutTemporaryFilesOldVersionsAndDamage) {
  FakePlatform platform;
  PacketFile f;
  f.ResetFile(true);
  f.headerAddress = Addr("10.0.0.5");
  ASSERT_TRUE(f.CreateForWriting());
  std::string name = f.name();
  EXPECT_EQ(ReadFileBytes(name).size(), 14u);  // a capture without packets

  const Bytes pkt(60, 0x5A);
  const uint8_t dst[6] = {1, 2, 3, 4, 5, 6}, src[6] = {7, 8, 9, 10, 11, 12};
  ASSERT_TRUE(f.AppendPacket(pkt.data(), 60, dst, src));
  f.CloseWriting();
  // Header, then a record: header length, packet length, local time, source and destination MACs.
  Bytes want = {'P', 'K', 'R', 'L', 'F', '2', '0', '0', 4, 0, 10, 0, 0, 5, 24, 0, 60, 0, 0, 0};
  for (int i = 0; i < 8; i++) want.push_back(uint8_t(platform.now >> (8 * i)));
  EXPECT_EQ(ReadFileBytes(name), want + Bytes(src, src + 6) + Bytes(dst, dst + 6) + pkt);
  EXPECT_EQ(f.lastPacketTime, platform.now);

  // Packets up to a full snapshot are stored and read back; empty ones refused.
  Bytes big(20000, 2), max(kMaxPacketLength, 3);
  f.ResetFile(true);
  EXPECT_TRUE(ReadFileBytes(name).empty());  // deleted
  ASSERT_TRUE(f.CreateForWriting());
  name = f.name();
  EXPECT_TRUE(f.AppendPacket(big.data(), 20000, nullptr, nullptr));
  EXPECT_TRUE(f.AppendPacket(max.data(), kMaxPacketLength, nullptr, nullptr));
  EXPECT_FALSE(f.AppendPacket(max.data(), 0, nullptr, nullptr));
  EXPECT_TRUE(f.AppendPacket(pkt.data(), 60, nullptr, nullptr));
  f.CloseWriting();
  PacketFile r;
  EXPECT_EQ(ReadAll(name, r), std::vector<uint32_t>({20000, kMaxPacketLength, 60}));
  EXPECT_EQ(r.damage(), nullptr);
  f.ResetFile(false);
  EXPECT_TRUE(ReadFileBytes(name).empty());  // deleted
  EXPECT_STREQ(f.name(), "");

  // PKRLF100, a 6-byte header payload, a record with a 30-byte header.
  const std::string path = TempPath("tolerance.pkp");
  const Bytes r1 = Record(24, 40, 0x11);
  WriteFileBytes(path, Header("PKRLF100", 6) + r1 + Record(30, 50, 0x22));
  Bytes first;
  EXPECT_EQ(ReadAll(path, f, &first), std::vector<uint32_t>({40, 50}));
  EXPECT_EQ(f.headerAddress, Addr("10.11.12.13"));
  EXPECT_EQ(first, Bytes(40, 0x11));

  // Header lengths 0 and 300, an oversized packet and a truncated record
  // each end the reading after the good records, and say so.
  Bytes truncated = Record(24, 80, 0x33);
  truncated.resize(60);
  for (Bytes bad : {Bytes{0, 0}, Bytes{0x2C, 0x01}, Record(24, kMaxPacketLength + 1, 0), truncated}) {
    WriteFileBytes(path, Header("PKRLF200", 4) + r1 + bad + (bad == truncated ? Bytes() : r1));
    EXPECT_EQ(ReadAll(path, f), std::vector<uint32_t>({40}));
    EXPECT_NE(f.damage(), nullptr);
    EXPECT_EQ(f.recordOffset(), 14u + r1.size());
  }

  WriteFileBytes(path, Bytes({'P', 'K', 'R', 'L', 'F', '3', '0', '0', 4, 0, 1, 2, 3, 4}));
  f.SetName(path.c_str());
  EXPECT_FALSE(f.OpenForReading());

  // A loaded (not temporary) file survives a reset.
  f.ResetFile(false);
  f.SetName(path.c_str());
  f.ResetFile(true);
  EXPECT_FALSE(ReadFileBytes(path).empty());
}

TEST(PacketFileTest, HeaderKeepsTheAdapterIPv6Addresses) {
  FakePlatform platform;
  PacketFile f;
  f.ResetFile(true);
  f.headerAddress = Addr("10.0.0.5");
  f.headerAddresses6.push_back(IpAddress::V4(Addr("10.0.0.6")));  // not IPv6: left out
  uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8};
  for (a6[15] = 0; a6[15] < 20; a6[15]++) f.headerAddresses6.push_back(IpAddress::V6(a6));
  ASSERT_TRUE(f.CreateForWriting());
  const std::string name = f.name();
  ASSERT_TRUE(f.AppendPacket(a6, 16, nullptr, nullptr));
  f.CloseWriting();
  // The IPv4 address first, then as many as the format's 255 bytes hold.
  const Bytes b = ReadFileBytes(name);
  ASSERT_EQ(b.size(), 10 + 4 + 16 * kMaxHeaderIPv6 + kRecordOverhead + 16);
  EXPECT_EQ(LoadLe16(&b[8]), 4 + 16 * kMaxHeaderIPv6);
  EXPECT_EQ(Bytes(b.begin() + 10, b.begin() + 30), Bytes({10, 0, 0, 5, 0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // A load puts them back on the local side; an import that follows has none.
  Options o;
  PacketFile loaded;
  ConversationTable table(o, &loaded);
  ASSERT_TRUE(LoadCaptureWithPackets(name.c_str(), table, loaded, o).ok);
  ASSERT_EQ(table.local.v6.size(), kMaxHeaderIPv6);
  EXPECT_TRUE(table.local.v6.back() == f.headerAddresses6[kMaxHeaderIPv6]);
  WriteFileBytes(TempPath("h.pcap"), PcapFile({{Ethernet(Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 1, 2, 9))}}));
  ASSERT_TRUE(LoadCaptureWithPackets(TempPath("h.pcap").c_str(), table, loaded, o).ok);
  EXPECT_TRUE(table.local.v6.empty() && loaded.headerAddresses6.empty());
  loaded.ResetFile(false);

  // Hostile payloads: a cut address at the end is no address, nor is
  // anything of a payload shorter than the IPv4 address.
  const std::string path = TempPath("v6.pkp");
  for (uint16_t len : {4 + 16 + 15, 2}) {
    WriteFileBytes(path, Header("PKRLF200", len) + Record(24, 40, 0x11));
    EXPECT_EQ(ReadAll(path, f), std::vector<uint32_t>({40}));
    ASSERT_EQ(f.headerAddresses6.size(), len > 4 ? 1u : 0u);
    EXPECT_TRUE(len < 4 || f.headerAddresses6[0].bytes[0] == 14);
  }
  f.ResetFile(false);
}
