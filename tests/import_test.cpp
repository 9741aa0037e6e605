#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "capture/frame.h"
#include "gtest/gtest.h"
#include "packetfile/capture_writer.h"
#include "geo_writers.h"
#include "app/import.h"

TEST(ImportTest, PcapPcapngAndOwnFileGiveTheSameConversations) {
  FakePlatform platform;
  const std::vector<Bytes> session = Session();
  const uint64_t base = 1700000000;

  // The own-format file at the local times the import will compute.
  PacketFile own;
  own.SetName(TempPath("own.pkp").c_str());
  own.headerAddress = 0;
  ASSERT_TRUE(own.CreateForWriting());
  std::vector<Frame> frames;
  PcapngWriter ng(false);
  ng.Section(false).Interface(1).Unknown(0xBAD).Interface(101, 9);
  for (size_t i = 0; i < session.size(); i++) {
    const uint64_t us = i * 250000;  // a quarter second apart
    FileTime local = kFileTimeUnixEpoch + (base * 1000000 + us) * 10 + platform.zoneOffset;
    Bytes eth = Ethernet(session[i]);
    own.AppendPacket(session[i].data(), uint32_t(session[i].size()), eth.data(), eth.data() + 6, local);
    frames.push_back({eth, base, uint32_t(us)});
    if (i % 2) ng.Enhanced(0, eth, base * 1000000 + us);
    else ng.Enhanced(1, session[i], (base * 1000000 + us) * 1000);  // raw IPv4, nanoseconds
  }
  own.CloseWriting();
  // Ethernet source MACs are kept; the raw-IP frames of the pcapng have none,
  // so compare with MAC-less exports.
  WriteFileBytes(TempPath("a.pcap"), PcapFile(frames));
  WriteFileBytes(TempPath("b.pcap"), PcapFile(frames, 1, true));
  for (Frame& f : frames) f.fraction *= 1000;
  WriteFileBytes(TempPath("c.pcap"), PcapFile(frames, 1, false, true));
  WriteFileBytes(TempPath("d.pcapng"), ng.bytes);

  std::string expected = ReportRows(TempPath("own.pkp"));
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 4);
  // DNS answers are learned while a foreign file is read, as in an import
  // (names in every export: hostile_cli_test.py's export_cases).
  EXPECT_EQ(expected, ReportRows(TempPath("own.pkp"), true));
  EXPECT_NE(expected.find("00:00:00.250"), std::string::npos);
  for (const char* pcap : {"a.pcap", "b.pcap", "c.pcap"}) EXPECT_EQ(ReportRows(TempPath(pcap)), expected) << pcap;
  auto noMacs = [](std::string s) {
    for (size_t p; (p = s.find("00-11-22-33-44-55")) != std::string::npos;) s.erase(p, 17);
    for (size_t p; (p = s.find("66-77-88-99-aa-bb")) != std::string::npos;) s.erase(p, 17);
    return s;
  };
  EXPECT_EQ(noMacs(ReportRows(TempPath("d.pcapng"))), noMacs(expected));
  // Saved as pcap and pcapng the same rows return: convert_test.py.
}

#ifndef _WIN32
// Packets on both sides of both clock changes of several zones keep their
// instants: written as pcap and pcapng from local times, and read from a
// Network Monitor file whose start is local (written by the peer tool's
// converter in the same zone).
TEST(ImportTest, ClockChangesKeepEveryInstant) {
  const bool hadZone = getenv("TZ");
  const std::string saved = hadZone ? getenv("TZ") : "";
  const bool editcap = system("command -v editcap >/dev/null") == 0;
  Platform& p = GetPlatform();
  const Bytes ip = Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 4);
  for (const char* zone : {"America/New_York", "Europe/Berlin", "Australia/Sydney", "Pacific/Chatham"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    constexpr FileTime kMinute = 600000000;
    auto offset = [&](FileTime utc) { return int64_t(p.UtcToLocalFileTime(utc)) - int64_t(utc); };
    std::vector<FileTime> utc;  // 2024: 30 and 90 minutes either side of each change
    for (FileTime t = kFileTimeUnixEpoch + 17040672000000000ULL; utc.size() < 8; t += 15 * kMinute)
      if (offset(t) != offset(t + 15 * kMinute))
        for (int m : {-90, -30, 30, 90})  // a local time the change repeats: its first reading only
          if (m != 30 || offset(t) < offset(t + 15 * kMinute)) utc.push_back(t + 15 * kMinute + m * kMinute);
    PacketFile own;
    own.SetName(TempPath("dst.pkp").c_str());
    ASSERT_TRUE(own.CreateForWriting());
    std::vector<Frame> pcap;
    for (FileTime u : utc) {
      own.AppendPacket(ip.data(), uint32_t(ip.size()), nullptr, nullptr, p.UtcToLocalFileTime(u));
      pcap.push_back({Ethernet(ip), (u - kFileTimeUnixEpoch) / 10000000});
    }
    own.CloseWriting();
    WriteFileBytes(TempPath("dst.pcap"), PcapFile(pcap));
    ASSERT_TRUE(WriteCaptureFile(own, TempPath("dst.pcapng").c_str(), CaptureFormat::PcapNg).ok);
    ASSERT_TRUE(WriteCaptureFile(own, TempPath("dst.cap").c_str(), CaptureFormat::Pcap).ok);
    const std::string netmon = "editcap -F netmon2 " + TempPath("dst.pcap") + " " + TempPath("dst.nm");
    ASSERT_TRUE(!editcap || system(netmon.c_str()) == 0);
    for (const char* name : {"dst.pcapng", "dst.cap", editcap ? "dst.nm" : "dst.cap"}) {
      Collector c;
      ImportCaptureFile(TempPath(name).c_str(), c);
      ASSERT_EQ(c.times.size(), utc.size()) << name;
      for (size_t i = 0; i < utc.size(); i++) EXPECT_EQ(c.times[i], p.UtcToLocalFileTime(utc[i])) << name << i;
    }
  }
  hadZone ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}
#endif

TEST(ImportTest, ProgressStopsAnImportKeepingWhatCameBefore) {
  FakePlatform platform;
  std::vector<Frame> frames(5000, Frame{Ethernet(Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 4))});
  const Bytes file = PcapFile(frames);
  struct StopAtOnce : ReadProgress {
    uint64_t seen = 0;
    bool Continue(uint64_t bytes) override {
      seen = bytes;
      return false;
    }
  } stop;
  Collector sink;
  ImportResult r = ImportBytes(file, sink, SIZE_MAX, &stop);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.damaged);
  EXPECT_EQ(sink.packets.size(), 4096u);
  EXPECT_GT(stop.seen, 4096u * 16);
  EXPECT_LT(stop.seen, file.size());
}

TEST(ImportTest, PcapngSectionsByteOrdersAndDamage) {
  FakePlatform platform;
  platform.zoneOffset = 0;
  Bytes p = Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, 2, 10);
  PcapngWriter w;
  std::vector<size_t> ends;  // a cut at a block's end is a clean end
  auto end = [&](PcapngWriter& x) { ends.push_back(x.bytes.size()); };
  end(w.Section(false));
  end(w.Interface(1));
  end(w.Enhanced(0, Ethernet(p), 1000000));
  end(w.Section(true));
  end(w.Interface(228));
  end(w.Interface(1));
  end(w.Enhanced(1, Ethernet(p), 2000000));
  end(w.Simple(p));
  w.Enhanced(0, p, 3000000);
  Collector c;
  ImportResult r = ImportBytes(w.bytes, c);
  EXPECT_TRUE(r.error.empty()) << r.error;
  ASSERT_EQ(c.packets, std::vector<Bytes>(4, p));
  EXPECT_EQ(c.times[0], kFileTimeUnixEpoch + 10000000);
  EXPECT_EQ(c.times[2], c.times[1]);  // a simple packet has no time: the one before
  EXPECT_EQ(c.macs[0], 3);
  EXPECT_EQ(c.macs[3], 0);

  // Every truncation keeps the packets before the damage and says so.
  for (size_t n = 29; n < w.bytes.size(); n += 3) {
    Collector k;
    ImportResult t = ImportBytes(w.bytes, k, n);
    EXPECT_EQ(t.damaged, std::find(ends.begin(), ends.end(), n) == ends.end()) << n;
    EXPECT_LE(k.packets.size(), 4u);
  }
  // A block length beyond the limit is damage, not an allocation.
  const size_t at = w.bytes.size();
  const Bytes huge = w.bytes + Bytes{6, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF};
  Collector h;
  ImportResult hr = ImportBytes(huge, h);
  EXPECT_EQ(h.packets.size(), 4u);
  EXPECT_NE(hr.error.find(std::to_string(at)), std::string::npos) << hr.error;
  // A captured length past the block's end is damage, even by a byte (a
  // 40-byte packet has no padding to hide it).
  const Bytes ip40 = Ipv4Packet(17, "1.1.1.1", "2.2.2.2", 1, 2, 12);
  for (uint32_t over : {1u, 3u, 4u}) {
    PcapngWriter o = w;
    const size_t block = o.bytes.size();
    o.Enhanced(0, ip40, 4000000);
    for (int i = 0; i < 4; i++) o.bytes[block + 20 + i] = uint8_t((ip40.size() + over) >> (24 - 8 * i));
    Collector k;
    EXPECT_NE(ImportBytes(o.bytes, k).error.find("packet longer than its block"), std::string::npos) << over;
    EXPECT_EQ(k.packets.size(), 4u);
  }
}

TEST(ImportTest, LinkTypes) {
  FakePlatform platform;
  Bytes ip = Ipv4Packet(6, "1.1.1.1", "2.2.2.2", 1, 2, 4);
  Collector c;
  FrameStats s;
  auto feed = [&](uint32_t lt, const Bytes& f) { HandleLinkFrame(c, lt, f.data(), uint32_t(f.size()), 1, &s); };
  feed(kLinkEthernet, Ethernet(ip, 0x0800, 1));  // 802.1Q
  feed(kLinkEthernet, Ethernet(ip, 0x0800, 2));  // 802.1ad + 802.1Q
  feed(kLinkNull, Bytes{2, 0, 0, 0} + ip);
  feed(kLinkLoop, Bytes{0, 0, 0, 2} + ip);
  feed(kLinkLinuxSll, Bytes{0, 4, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00} + ip);
  feed(kLinkLinuxSll2, Bytes{0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 1, 4, 6, 1, 2, 3, 4, 5, 6, 0, 0} + ip);
  feed(kLinkRaw, ip);
  const Bytes monitor = MonitorFrame(ip);
  Bytes wifi(monitor.begin() + 32, monitor.end());  // addresses D0.., 0, 50..
  for (int i = 0; i < 6; i++) wifi[10 + i] = uint8_t(0xA1 + i);  // address 2
  feed(kLinkIeee80211, wifi);
  feed(kLinkRadiotap, Bytes{0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0} + wifi);  // length 12, little-endian
  ASSERT_EQ(c.packets, std::vector<Bytes>(9, ip));
  EXPECT_EQ(c.macs[4], 1);  // cooked capture: the sender's address only
  // 802.11: the sender is address 3 by the capture driver's rules, the receiver address 2.
  for (size_t i : {7, 8})
    EXPECT_EQ(c.src[i] + c.dst[i], (Bytes{0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}));

  // IPv6 by every link (Ethernet, cooked, raw 229 and macOS's null family 30
  // are compared with tshark in ipv6_tshark_test.py): the null families of
  // BSD (24) and FreeBSD (28) in either byte order, version 6 on raw links.
  Bytes ip6(48, 0);
  ip6[0] = 0x60;
  ip6[5] = 8;
  ip6[6] = 17;
  Bytes wifi6 = Bytes(wifi.begin(), wifi.begin() + 32) + ip6;
  wifi6[30] = 0x86, wifi6[31] = 0xDD;
  Bytes monitor6 = MonitorFrame(ip6);
  monitor6[62] = 0x86, monitor6[63] = 0xDD;
  const std::vector<std::pair<uint32_t, Bytes>> v6 = {
      {kLinkEthernet, Ethernet(ip6, 0x86DD, 1)}, {kLinkNull, Bytes{24, 0, 0, 0} + ip6},
      {kLinkNull, Bytes{0, 0, 0, 28} + ip6}, {kLinkLoop, Bytes{0, 0, 0, 24} + ip6},
      {kLinkLinuxSll2, Bytes{0x86, 0xDD, 0, 0, 0, 0, 0, 1, 0, 1, 4, 6, 1, 2, 3, 4, 5, 6, 0, 0} + ip6},
      {kLinkRaw, ip6}, {kLinkIeee80211, wifi6}, {kLinkNetMon, Ethernet(ip6, 0x86DD)}, {kLinkNetMon, monitor6}};
  for (const auto& [link, frame] : v6) feed(link, frame);
  ASSERT_EQ(c.packets.size(), 9 + v6.size());
  EXPECT_EQ(c.packets.back(), ip6);
  EXPECT_EQ(c.packets[9], ip6);
  c.packets.resize(9);
  s.handed = 9;
  // Each raw link of one version refuses the other.
  feed(kLinkIPv4, ip6);
  feed(kLinkIPv6, ip);
  feed(kLinkNull, Bytes{23, 0, 0, 0} + ip6);
  EXPECT_EQ(s.notIPv4, 3u);

  // Not delivered: ARP, a 14-byte frame, QoS and protected 802.11 data.
  feed(kLinkEthernet, Ethernet(ip, 0x0806));
  Bytes headerOnly = Ethernet(ip);
  headerOnly.resize(14);
  feed(kLinkEthernet, headerOnly);
  wifi[0] = 0x88;
  feed(kLinkIeee80211, wifi);
  wifi[0] = 0x08;
  wifi[1] = 0x40;
  feed(kLinkIeee80211, wifi);
  feed(9999, ip);
  EXPECT_EQ(c.packets.size(), 9u);
  // One byte of IP after an Ethernet header is handed over with length 1.
  Bytes one = Ethernet(Bytes{0x45});
  feed(kLinkEthernet, one);
  EXPECT_EQ(c.packets.back().size(), 1u);
  EXPECT_EQ(s.handed, 10u);
  EXPECT_EQ(s.unsupported, 3u);

  // The capture library's headers: a sound one, the faulty 32-bit layout, and ones to drop.
  EXPECT_EQ(TrustedCaptureLength({1700000000, 5, 142, 142}, 65536), 142u);
  EXPECT_EQ(TrustedCaptureLength({1796627600, 142, 0x7FF2AF90, 0x7FF22AD0}, 65536), 142u);
  EXPECT_EQ(TrustedCaptureLength({1796627600, 999999, 0x7FF2AF90, 0}, 65536), 0u);
  EXPECT_EQ(TrustedCaptureLength({1796627600, 0, 0x7FF2AF90, 0}, 65536), 0u);
  EXPECT_EQ(TrustedCaptureLength({0, 0, 65537, 65537}, 65536), 0u);
}
