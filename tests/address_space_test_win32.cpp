// The address space the heaviest work takes, measured the same way on both
// pointer sizes, so that a 64-bit run still catches what would leave a
// 32-bit process without room: 1 024 lookups stuck in a slow name server,
// a 200 000-conversation import shown in a list, then a live capture with
// its device buffer, all at once.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>

#include "app/report.h"
#include "capture/adapters_win32.h"
#include "capture/packet_sniffer_win32.h"
#include "capture/pcap_library_win32.h"
#include "enrich/resolver.h"
#include "test_support.h"

namespace {

// A 32-bit process has 2 GiB; the heaviest work must leave it at least 1 GiB.
constexpr uint64_t kAffordableBytes = uint64_t(1) << 30;

// Every reserved or committed byte of the process, wherever it lies, but
// for what was reserved and untouched at the start: the Wine loader holds
// most of a 32-bit process's space back that way and hands it out later.
struct AddressSpace {
  std::set<const void*> heldBack;
  template <typename F>
  static void Walk(F f) {
    const uint8_t* p = nullptr;
    MEMORY_BASIC_INFORMATION m;
    while (VirtualQuery(p, &m, sizeof m) == sizeof m) {
      if (m.State != MEM_FREE) f(m);
      const uint8_t* next = static_cast<const uint8_t*>(m.BaseAddress) + m.RegionSize;
      if (next <= p) break;
      p = next;
    }
  }
  AddressSpace() {
    std::map<const void*, bool> touched;
    Walk([&](const MEMORY_BASIC_INFORMATION& m) { touched[m.AllocationBase] |= m.State == MEM_COMMIT; });
    for (const auto& a : touched)
      if (!a.second) heldBack.insert(a.first);
  }
  uint64_t Taken() const {
    uint64_t total = 0;
    Walk([&](const MEMORY_BASIC_INFORMATION& m) {
      if (!heldBack.count(m.AllocationBase)) total += m.RegionSize;
    });
    return total;
  }
};

// A name server that answers nothing until released.
struct StuckLookup : HostLookup {
  bool Reverse(uint32_t, std::string*) override {
    calls++;
    WaitForSingleObject(released, INFINITE);
    return false;
  }
  bool WaitCalls(int n, int seconds) {
    for (int i = 0; i < seconds * 10 && calls < n; i++) Sleep(100);
    return calls >= n;
  }
  ~StuckLookup() { CloseHandle(released); }
  HANDLE released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> calls{0};
};

// A pcap of `count` TCP conversations of one data packet each, written in
// slices so that the test's own memory does not count against the program.
std::string ManyConversations(int count) {
  const std::string path = TempPath("many.pcap");
  FILE* out = fopen(path.c_str(), "wb");
  for (int first = 0; out && first < count; first += 1000) {
    std::vector<Frame> frames;
    for (int i = first; i < first + 1000 && i < count; i++) {
      char dst[20];
      snprintf(dst, sizeof dst, "10.%d.%d.%d", i >> 16 & 255, i >> 8 & 255, i & 255);
      frames.push_back(Frame{Ethernet(Ipv4Packet(6, "192.168.0.2", dst, uint16_t(1024 + i % 60000), 80, 20))});
      frames.back().seconds += uint64_t(i / 1000);
    }
    const Bytes b = PcapFile(frames);
    const size_t skip = first ? 24 : 0;  // one file header
    fwrite(b.data() + skip, 1, b.size() - skip, out);
  }
  if (out) fclose(out);
  return path;
}

// The live capture's measure, taken by a timer inside the capture loop.
CaptureMethods* g_methods = nullptr;
const AddressSpace* g_space = nullptr;
uint64_t g_reserved = 0;
void CALLBACK MeasureAndStop(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_reserved = g_space->Taken();
  g_methods->Stop();
}

}  // namespace

TEST(AddressSpace, HeaviestWorkLeavesAThirtyTwoBitProcessRoom) {
  const AddressSpace space;
  auto taken = [&](const char* step, uint64_t bytes) {
    printf("address space: %-44s %6llu MiB taken\n", step, (unsigned long long)(bytes >> 20));
    fflush(stdout);
    EXPECT_LE(bytes, kAffordableBytes) << step;
  };
  taken("at the start", space.Taken());

  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  auto stuck = std::make_shared<StuckLookup>();
  {
    HostResolver resolver(table, stuck);
    for (int i = 0; i < HostResolver::kSlots; i++) ASSERT_TRUE(resolver.StartLookup(htonl(0x0A000001 + i)));
    ASSERT_TRUE(stuck->WaitCalls(HostResolver::kMaxWorkers, 120)) << stuck->calls.load() << " workers started";
    ASSERT_EQ(resolver.BusySlots(), HostResolver::kSlots);
    taken("1024 lookups held", space.Taken());

    const std::string pcap = ManyConversations(200000);
    const LoadOutcome out = LoadCaptureWithPackets(pcap.c_str(), table, file, options);
    ASSERT_TRUE(out.ok) << out.message;
    ASSERT_EQ(table.count(), 200000u);
    taken("and 200000 conversations imported", space.Taken());

    // The rows in a list as the main window keeps them: the control holds none.
    InitCommonControls();
    HWND list = CreateWindowA(WC_LISTVIEWA, "", WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, 0, 800, 600, nullptr,
                              nullptr, nullptr, nullptr);
    ASSERT_TRUE(list);
    LVCOLUMNA col{};
    col.mask = LVCF_WIDTH;
    col.cx = 80;
    ListView_InsertColumn(list, 0, &col);
    ListView_SetItemCountEx(list, int(table.count()), 0);
    UpdateWindow(list);
    std::vector<uint32_t> rows(table.count());
    taken("and listed", space.Taken());

    // A live capture on the loopback adapter, where the library captures it (as root).
    AdapterList adapters;
    if (LoadPacketCaptureLibrary()) adapters.Enumerate(2);
    for (const CaptureAdapter& lo : adapters.adapters(2)) {
      if (lo.address != htonl(INADDR_LOOPBACK)) continue;
      options.captureActive = 1;
      CaptureEngine engine(options, table, file);
      CaptureMethods methods(engine);
      g_methods = &methods, g_space = &space;
      if (!methods.Start(lo)) break;
      SetTimer(nullptr, 0, 1500, MeasureAndStop);  // from inside the capture loop, which pumps it
      const DWORD t0 = GetTickCount();
      MSG m;
      while (GetTickCount() - t0 < 20000 && (engine.running || !g_reserved) && GetMessageA(&m, nullptr, 0, 0))
        DispatchMessageA(&m);
      ASSERT_NE(g_reserved, 0u);
      taken("and a live capture", g_reserved);
    }
    DestroyWindow(list);
    SetEvent(stuck->released);
  }
  file.ResetFile(false);
}
