#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/byte_cursor.h"
#include "gtest/gtest.h"
#include "app/import.h"
#include "test_support.h"

TEST(NetMonTest, VersionsAndMediaGiveThePcapRows) {
  FakePlatform platform;
  const std::vector<Bytes> session = Session();
  // 2023-11-14 22:13:20.5 as a Unix time.
  const uint64_t base = 1700000000;
  std::vector<Frame> pcap;
  std::vector<NmFrame> nm;
  for (size_t i = 0; i < session.size(); i++) {
    const uint64_t us = 500000 + i * 250000;
    pcap.push_back({Ethernet(session[i]), base + us / 1000000, uint32_t(us % 1000000)});
    nm.push_back({Ethernet(session[i]), i * 250000, 1, 0});
  }
  WriteFileBytes(TempPath("nm.pcap"), PcapFile(pcap));
  const std::string expected = ReportRows(TempPath("nm.pcap"));
  ASSERT_FALSE(expected.empty());

  // The peer tool, where installed, reads the files we write as we do: the
  // same instants and bytes as the pcap, so writer and reader share no error.
  const bool tshark = system("command -v tshark >/dev/null 2>&1") == 0;
  auto frames = [](const std::string& f) {
    return CommandOutput("TZ=UTC-1 tshark -r " + f + " -T fields -e frame.time_epoch -e frame.len -e ip.id 2>/dev/null");
  };
  const std::string frameList = tshark ? frames(TempPath("nm.pcap")) : std::string(session.size(), '\n');
  ASSERT_EQ(size_t(std::count(frameList.begin(), frameList.end(), '\n')), session.size()) << frameList;
  // The header's start time is the capturing machine's local time.
  for (auto [major, minor] : {std::pair{2, 0}, {2, 1}, {2, 2}, {1, 1}, {2, 3}}) {
    // Version 2.3 keeps a UTC stamp per frame.
    for (size_t i = 0; i < nm.size(); i++)
      nm[i].utc = minor == 3 ? kFileTimeUnixEpoch + (base * 1000000 + 500000 + i * 250000) * 10 : 0;
    WriteFileBytes(TempPath("nm.cap"), NetMonFile(uint8_t(major), uint8_t(minor), 1, nm));
    EXPECT_EQ(ReportRows(TempPath("nm.cap")), expected) << major << "." << minor;
    EXPECT_EQ(tshark ? frames(TempPath("nm.cap")) : frameList, frameList) << major << "." << minor;
  }
  // So do the files the peer tool's converter writes, its start in the fake zone's local time.
  const bool editcap = system("command -v editcap >/dev/null 2>&1") == 0;
  for (const char* fmt : {"netmon2", "netmon1"}) {
    if (!editcap) break;
    const std::string out = TempPath(std::string("ed_") + fmt + ".cap");
    const std::string cmd = "TZ=UTC-1 editcap -F " + std::string(fmt) + " " + TempPath("nm.pcap") + " " + out;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(ReportRows(out), expected) << fmt;
  }

  // Per-frame media: monitor-mode 802.11, a runt, an oversized frame, a
  // protected frame and a frame of another medium.
  Bytes ip = Ipv4Packet(6, "10.1.0.1", "10.1.0.2", 1, 2, 9000);
  std::vector<NmFrame> mixed = {{MonitorFrame(ip), 0, 6, 0},
                                {Bytes(10, 0), 1, 1, 0},
                                {Ethernet(ip), 2, 1, 0},
                                {MonitorFrame(ip, 0x40), 3, 6, 0},
                                {Ethernet(ip), 4, 9, 0}};
  WriteFileBytes(TempPath("mixed.cap"), NetMonFile(2, 2, 1, mixed));
  Collector c;
  ImportResult r = ImportCaptureFile(TempPath("mixed.cap").c_str(), c);
  EXPECT_FALSE(r.damaged) << r.error;
  ASSERT_EQ(c.packets, std::vector<Bytes>(2, ip));
  EXPECT_EQ(c.dst[0], (Bytes{0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5}));
}

TEST(NetMonTest, DamageKeepsEarlierFrames) {
  FakePlatform platform;
  std::vector<NmFrame> nm;
  for (int i = 0; i < 3; i++) nm.push_back({Ethernet(Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, uint16_t(i), 8))});
  const Bytes good = NetMonFile(2, 1, 1, nm);
  auto import = [](Bytes file, size_t* delivered) {
    Collector c;
    ImportResult r = ImportBytes(file, c);
    *delivered = c.packets.size();
    return r;
  };
  size_t n = 0;
  ImportResult r = import(good, &n);
  EXPECT_EQ(n, 3u);
  EXPECT_FALSE(r.damaged);
  // A frame table cut short keeps the frames of its whole entries.
  r = import(Bytes(good.begin(), good.end() - 2), &n);
  EXPECT_EQ(n, 2u);
  EXPECT_TRUE(r.damaged);

  const uint32_t table = LoadLe32(good.data() + 24);
  Bytes bad = good;
  StoreLe32(&bad[table + 8], 0xFFFFFF00);  // the third frame lies past the end
  r = import(bad, &n);
  EXPECT_EQ(n, 2u);
  EXPECT_TRUE(r.damaged);
  EXPECT_NE(r.error.find("frame 2"), std::string::npos) << r.error;

  bad = good;
  StoreLe32(&bad[LoadLe32(good.data() + table + 4) + 12], 0x7FFFFFFF);  // second frame's length
  r = import(bad, &n);
  EXPECT_EQ(n, 1u);
  EXPECT_NE(r.error.find("limit"), std::string::npos) << r.error;

  // Frames that share bytes: the table names the last frame again, or a
  // frame hidden in another's payload.
  const Bytes inner = NetMonFile(2, 0, 1, {{Ethernet(Ipv4Packet(17, "9.9.9.9", "8.8.8.8", 1, 2, 4))}});
  const Bytes hidden(inner.begin() + 128, inner.end() - 4);  // its one frame record
  const Bytes outer = NetMonFile(2, 1, 1, {{Ethernet(WithPayload(17, "1.1.1.1", "2.2.2.2", 1, 2, hidden))}});
  const uint32_t first = LoadLe32(&outer[outer.size() - 4]);
  for (uint32_t again : {first, first + 16 + 14 + 28}) {
    bad = outer;
    bad.resize(bad.size() + 4);
    StoreLe32(&bad[bad.size() - 4], again);
    StoreLe32(&bad[28], 2 * 4);
    r = import(bad, &n);
    EXPECT_EQ(n, 1u);
    EXPECT_NE(r.error.find("overlapping frames (frame 1)"), std::string::npos) << r.error;
  }

  // Frames apart from each other (the table names every other one) are
  // remembered up to a bound, not one map node per frame however many.
  const Bytes many = NetMonFile(2, 0, 1, std::vector<NmFrame>(2 * kMaxNetMonSpans + 4, nm[0]));
  const uint32_t at = LoadLe32(&many[24]);
  bad = Bytes(many.begin(), many.begin() + at);
  for (uint32_t k = 0; k < kMaxNetMonSpans + 2; k++) {
    bad.resize(bad.size() + 4);
    StoreLe32(&bad[bad.size() - 4], LoadLe32(&many[at + 8 * k]));
  }
  StoreLe32(&bad[28], 4 * (kMaxNetMonSpans + 2));
  r = import(bad, &n);
  EXPECT_EQ(n, kMaxNetMonSpans);
  EXPECT_NE(r.error.find("scattered"), std::string::npos) << r.error;

  // A table longer than the file (its entries there still count), a cut
  // header, an unknown major version.
  const std::pair<void (*)(Bytes&), size_t> spoilers[] = {
      {+[](Bytes& b) { StoreLe32(&b[28], 4 * 1000000); }, 3}, {+[](Bytes& b) { b.resize(20); }, 0},
      {+[](Bytes& b) { b[5] = 3; }, 0}};
  for (const auto& [spoil, kept] : spoilers) {
    bad = good;
    spoil(bad);
    r = import(bad, &n);
    EXPECT_EQ(n, kept);
    EXPECT_TRUE(r.damaged);
    EXPECT_FALSE(r.error.empty());
  }
}
