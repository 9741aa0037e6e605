// Hostile captures and failing disks (issue 14): every case with input the
// test makes itself.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "capture/columns.h"
#include "gtest/gtest.h"
#include "app/import.h"
#include "packetfile/packet_file.h"
#include "stream/http.h"
#include "stream/stream_export.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"
#include "test_support.h"

// Point 2: zero-filled gaps stay within the captured bytes plus kMaxZeroFill
// (prepends and appends mixed: StreamTest.PlacementBySequenceNumber and
// hostile_cli_test's reversed stream).
TEST(HostileTest, ZeroFilledGapsAreBounded) {
  StreamBlock f;
  uint32_t seq = 1000;
  for (int k = 0; k < 2000; k++, seq += 65536) Place(f, seq, "y");  // each 65 535 bytes past the end
  EXPECT_LE(f.zeroFilled, f.captured + kMaxZeroFill);
  EXPECT_LE(f.bytes.length(), 2 * f.captured + kMaxZeroFill);
  EXPECT_GT(f.bytes.length(), kMaxZeroFill - 65536);  // the gaps up to the bound were kept
  // Data that arrives right at the end is still placed after the bound is reached.
  const size_t len = f.bytes.length();
  Place(f, f.baseSequence + uint32_t(len), "tail");
  EXPECT_EQ(f.bytes.length(), len + 4);
  EXPECT_EQ(std::string(f.bytes.c_str() + len), "tail");

  StreamBlock back;  // segments each 32 000 bytes before the start
  for (uint32_t k = 0; k < 4000; k++) Place(back, 0x40000000u - k * 32000, "x");
  EXPECT_LE(back.zeroFilled, back.captured + kMaxZeroFill);
  EXPECT_LE(back.bytes.length(), 2 * back.captured + kMaxZeroFill);

  // A reset block starts its account afresh.
  back.Reset();
  EXPECT_EQ(back.captured + back.zeroFilled + back.bytes.length(), 0u);
}

// Point 2: a block written to a file is rendered in parts, never whole.
TEST(HostileTest, FileRenderingGoesOutInParts) {
  FakePlatform platform;
  Options o;
  o.DisplayMode = 3;
  StreamBlock b;
  std::string data;
  for (int i = 0; i < 1 << 20; i++) data += char(i * 7);
  b.bytes.Set(data.data(), data.size());
  b.direction = 1;
  Pieces file, pane;
  FormatBlock(b, FormatterSettings{o, true, false}, file);
  EXPECT_LE(file.largest, kFormatPartSize + 200);
  EXPECT_GT(file.parts, 50u);
  FormatBlock(b, FormatterSettings{o, true, true}, pane);  // the pane: one piece, as before
  EXPECT_TRUE(file.text == pane.text);
  EXPECT_TRUE(file.text.substr(0, file.text.size() - 2) ==
              HexDump(reinterpret_cast<const uint8_t*>(data.data()), data.size(), FormatterSettings{o, true, false}));
  o.DisplayMode = 2;
  Pieces text, whole;
  FormatBlock(b, FormatterSettings{o, true, false}, text);
  FormatBlock(b, FormatterSettings{o, true, true}, whole);
  EXPECT_LE(text.largest, kFormatPartSize);
  EXPECT_TRUE(text.text == whole.text);
}

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

// Point 3: a full disk is reported with the system's reason. The disk is
// /dev/full behind a link of our own: whatever deletes the packet file
// deletes only the link.
TEST(HostileTest, FullDiskWritesAreReported) {
  FakePlatform platform;
  const std::string full = TempPath("full");
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  PacketFile pf;
  pf.ResetFile(false);
  pf.SetName(full.c_str());
  EXPECT_FALSE(pf.CreateForWriting());
  EXPECT_EQ(pf.writeError(), strerror(ENOSPC));
  const Bytes p = Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 10);
  EXPECT_FALSE(pf.AppendPacket(p.data(), uint32_t(p.size()), nullptr, nullptr));

  // The stream export: false, with the reason.
  Options o;
  std::string error;
  PacketFile empty;
  EXPECT_FALSE(WriteStreamFile(full, kStreamHtml, {}, empty, ColumnContext{o}, {}, false, &error));
  EXPECT_EQ(error, strerror(ENOSPC));

  // An import's batches fail on the thread that writes them, after the
  // header went well: the import still hears of it and keeps nothing.
  const std::string cap = TempPath("big.pcap");
  WriteFileBytes(cap, PcapFile(std::vector<Frame>(6000, Frame{Ethernet(Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 1000))})));
  rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 3 << 20;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  PacketFile temp;
  ConversationTable table(o, &temp);
  const LoadOutcome out = LoadCaptureWithPackets(cap.c_str(), table, temp, o);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_TRUE(out.writeFailed);
  EXPECT_NE(out.message.find(strerror(EFBIG)), std::string::npos) << out.message;
  EXPECT_EQ(table.count(), 0u);
  temp.ResetFile(false);
}
#endif

// Point 3: an extraction goes on after a failed body and says how many
// failed. Point 4: a name too long for the folder is shortened, extension and numbering kept.
TEST(HostileTest, ExtractionCountsFailuresAndShortensLongNames) {
  FakePlatform platform;
  auto extract = [](HttpExtractor& x, const std::string& path, int times) {
    const std::string req = "GET /" + path + " HTTP/1.1\r\n\r\n", resp = "HTTP/1.1 200 OK\r\n\r\nbody";
    for (int i = 0; i < times; i++)
      for (const std::string* s : {&req, &resp}) x.OnBlock(reinterpret_cast<const uint8_t*>(s->data()), s->size());
  };
  HttpExtractor x(TempPath("no-such-folder-14"));
  extract(x, "a.txt", 3);
  EXPECT_EQ(x.filesWritten(), 0);
  EXPECT_EQ(x.filesFailed(), 3);
  const std::string report = x.FailureReport();
  EXPECT_NE(report.find("a.txt: "), std::string::npos) << report;
  EXPECT_NE(report.find("a(2).txt: "), std::string::npos) << report;  // each one named
  EXPECT_NE(report.find("3 of 3 bodies could not be written"), std::string::npos) << report;

  std::string folder = TempPath("long-14-");
  folder += std::string(kMaxPath - folder.size() - 30, 'f');
  MakeDir(folder);
  HttpExtractor y(folder);
  const std::string name(60, 'n');
  extract(y, name + ".txt", 2);
  EXPECT_EQ(y.filesWritten(), 2) << y.FailureReport();
  const size_t room = kMaxPath - folder.size() - 1;
  EXPECT_EQ(ReadFileBytes(folder + "/" + name.substr(0, room - 4) + ".txt").size(), 4u);
  EXPECT_EQ(ReadFileBytes(folder + "/" + name.substr(0, room - 7) + "(1).txt").size(), 4u);
  // Cut to a device's name, it is no device's name.
  const std::string ext = "." + std::string(room - 4, 'e');
  extract(y, "NULzz" + ext, 1);
  EXPECT_EQ(ReadFileBytes(folder + "/_NU" + ext).size(), 4u);
  EXPECT_EQ(y.filesWritten(), 3) << y.FailureReport();
}

// Point 6: time stamps out of range saturate; nothing overflows.
TEST(HostileTest, TimeStampsOutOfRangeSaturate) {
  EXPECT_EQ(UnixToFileTime(920000000000ULL, 0, 0), kMaxFileTime);
  EXPECT_EQ(UnixToFileTime(~0ULL, 0, 9999999), kMaxFileTime);
  EXPECT_EQ(UnixToFileTime(1, INT64_MAX, 0), kMaxFileTime);
  EXPECT_EQ(UnixToFileTime(0, INT64_MIN, 0), 1u);
  EXPECT_EQ(UnixToFileTime(0, -1, 0), kFileTimeUnixEpoch - 10000000);
  EXPECT_EQ(UnixToFileTime(1700000000, 0, 25), kFileTimeUnixEpoch + 17000000000000000ULL + 25);
  EXPECT_EQ(UnixToFileTime(0, 0, 15000000), kFileTimeUnixEpoch + 15000000);  // a fraction above 1 s carries
}

// Point 7: what a capture without IPv4 packets held.
TEST(HostileTest, SkippedFramesAreExplained) {
  FakePlatform platform;
  const std::string cap = TempPath("noipv4-14.pcap");
  const Bytes ip = Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 4);
  WriteFileBytes(cap, PcapFile({{ip}}, 9999));
  EXPECT_EQ(LoadedCapture(cap).outcome.message,
            "no IP packet: 1 frame skipped (1 of an unsupported link type or frame kind)");
}

// Point 8: the Duration text from integer time stamps, exact at every millisecond.
TEST(HostileTest, DurationIsExactAtMilliseconds) {
  FakePlatform platform;
  Options o;
  ColumnContext ctx{o};
  Conversation c;
  c.firstTime = SystemTimeToFileTime({2024, 3, 0, 5, 10, 20, 30, 250});
  char buf[kColumnTextSize], want[64];
  int wrong = 0;
  for (uint64_t ms = 1; ms <= 100000; ms++) {
    c.lastTime = c.firstTime + ms * 10000;
    snprintf(want, sizeof want, "%02u:%02u:%02u.%03u", unsigned(ms / 3600000), unsigned(ms / 60000 % 60),
             unsigned(ms / 1000 % 60), unsigned(ms % 1000));
    if (strcmp(ColumnText(c, 15, buf, ctx), want) != 0 && wrong++ < 3) ADD_FAILURE() << buf << " for " << want;
  }
  EXPECT_EQ(wrong, 0);
  c.lastTime = c.firstTime + 9999;  // under a millisecond
  EXPECT_STREQ(ColumnText(c, 15, buf, ctx), "00:00:00.000");
  c.lastTime = c.firstTime - 1;  // backwards: zero
  EXPECT_STREQ(ColumnText(c, 15, buf, ctx), "00:00:00.000");
  c.lastTime = c.firstTime + 3600ULL * 100 * 10000000 + 10000;  // 100 h
  EXPECT_STREQ(ColumnText(c, 15, buf, ctx), "100:00:00.001");
}
