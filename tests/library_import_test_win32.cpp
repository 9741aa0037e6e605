// Imports through the packet capture library: a stand-in that reads classic
// pcap itself (tests/standins) against the core reader, and Wine's own
// library, which must never be asked for a file.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/module_win32.h"
#include "capture/pcap_library_win32.h"
#include "export/summary_export.h"
#include "app/library_import_win32.h"
#include "test_support.h"

namespace {

std::string BesideTests(const char* name) {
  char exe[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string dir(exe);
  return dir.substr(0, dir.find_last_of('\\') + 1) + name;
}

struct Loaded {
  LoadOutcome out;
  size_t packets = 0;
  std::string rows;
};

Loaded Load(const std::string& path, LibraryImporter library, ReadProgress* progress = nullptr) {
  Options o;
  PacketFile file;
  ConversationTable table(o, &file);
  Loaded l;
  l.out = LoadCaptureWithPackets(path.c_str(), table, file, o, progress, library);
  ColumnContext ctx{o};
  for (size_t i = 0; i < table.count(); i++) {
    l.packets += size_t(table.at(i).packets);
    AppendSummaryRow(l.rows, table.at(i), kFormatTabDelimited, DefaultExportColumns(), ctx);
  }
  file.ResetFile(false);
  return l;
}

std::vector<Frame> Frames(int count) {
  std::vector<Frame> frames;
  for (int i = 0; i < count; i++) {
    const bool tcp = i % 3 != 2;
    Frame f{Ethernet(Ipv4Packet(tcp ? 6 : 17, i % 2 ? "10.0.0.9" : "10.0.0.5", i % 2 ? "10.0.0.5" : "10.0.0.9",
                                uint16_t(i % 2 ? 80 : 1025 + i / 50), uint16_t(i % 2 ? 1025 + i / 50 : 80), 100 + i % 7))};
    f.seconds += uint64_t(i / 10);
    f.fraction = uint32_t(i * 997 % 1000000);
    frames.push_back(f);
  }
  frames[3].data = Ethernet(frames[3].data, 0x0806);  // not IPv4: skipped by both
  return frames;
}

struct StopAtOnce : ReadProgress {
  bool Continue(uint64_t) override { return false; }
};

}  // namespace

TEST(LibraryImport, StandInGivesTheCoreReadersTable) {
  FakePlatform platform;
  HMODULE m = LoadLibraryA(BesideTests("wpcap\\wpcap.dll").c_str());
  ASSERT_TRUE(m);
  ASSERT_TRUE(BindPacketCaptureLibrary(m));
  ASSERT_TRUE(CaptureLibrary().pcap_open_offline);

  const std::string pcap = TempPath("whole.pcap"), cut = TempPath("cut.pcap"), ng = TempPath("big.pcap");
  const Bytes whole = PcapFile(Frames(9000));
  WriteFileBytes(pcap, whole);
  const Loaded core = Load(pcap, nullptr), lib = Load(pcap, ImportThroughCaptureLibrary);
  EXPECT_TRUE(lib.out.ok && !lib.out.damaged && !lib.out.cancelled) << lib.out.message;
  EXPECT_EQ(lib.packets, 8999u);
  EXPECT_EQ(lib.rows, core.rows);

  // Damage inside the last record: the library's own words, the same rows as the core reader's.
  WriteFileBytes(cut, Bytes(whole.begin(), whole.end() - 40));
  const Loaded cutCore = Load(cut, nullptr), cutLib = Load(cut, ImportThroughCaptureLibrary);
  EXPECT_TRUE(cutLib.out.ok && cutLib.out.damaged);
  EXPECT_NE(cutLib.out.message.find("truncated dump file; tried to read"), std::string::npos) << cutLib.out.message;
  EXPECT_EQ(cutLib.packets, 8998u);
  EXPECT_EQ(cutLib.rows, cutCore.rows);

  // Stopped after the first slice: what was read is kept.
  StopAtOnce stop;
  const Loaded stopped = Load(pcap, ImportThroughCaptureLibrary, &stop);
  EXPECT_TRUE(stopped.out.ok && stopped.out.cancelled);
  EXPECT_GT(stopped.packets, 0u);
  EXPECT_LT(stopped.packets, lib.packets);

  // A file the library cannot open (big-endian) is read by the core reader, never left empty.
  WriteFileBytes(ng, PcapFile(Frames(20), 1, true));
  const Loaded ngLib = Load(ng, ImportThroughCaptureLibrary);
  EXPECT_TRUE(ngLib.out.ok);
  EXPECT_EQ(ngLib.packets, 19u);
  EXPECT_EQ(ngLib.rows, Load(ng, nullptr).rows);
}

TEST(LibraryImport, WineOwnLibraryIsNeverAskedForAFile) {
  HMODULE m = LoadLibraryA("wpcap.dll");  // none beside the tests: the system's
  if (!m || !IsWineBuiltin(m)) GTEST_SKIP() << "no Wine built-in wpcap.dll here";
  ASSERT_TRUE(BindPacketCaptureLibrary(m));
  EXPECT_TRUE(CaptureLibrary().pcap_dispatch);  // still there for live capture
  EXPECT_FALSE(CaptureLibrary().pcap_open_offline);
  FakePlatform platform;
  const std::string pcap = TempPath("wine.pcap");
  WriteFileBytes(pcap, PcapFile(Frames(30)));
  const Loaded lib = Load(pcap, ImportThroughCaptureLibrary);  // would end the process if it called the stub
  EXPECT_TRUE(lib.out.ok);
  EXPECT_EQ(lib.rows, Load(pcap, nullptr).rows);
}
