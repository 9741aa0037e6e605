// The address space the heaviest work takes, measured the same way on both
// pointer sizes, so that a 64-bit run still catches what would leave a
// 32-bit process without room: 1 024 lookups stuck in a slow name server,
// a 200 000-conversation import shown in a list, then a live capture with
// its device buffer, all at once.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
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

void Report(const char* step, uint64_t bytes) {
  printf("address space: %-44s %6llu MiB taken\n", step, (unsigned long long)(bytes >> 20));
  fflush(stdout);
}

// A name server that answers nothing until released.
struct StuckLookup : HostLookup {
  bool Reverse(uint32_t, std::string*) override {
    std::unique_lock<std::mutex> lock(m);
    calls++;
    called.notify_all();
    released.wait(lock, [&] { return open; });
    return false;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    released.notify_all();
  }
  bool WaitCalls(int n, int seconds) {
    std::unique_lock<std::mutex> lock(m);
    return called.wait_for(lock, std::chrono::seconds(seconds), [&] { return calls >= n; });
  }
  std::mutex m;
  std::condition_variable called, released;
  int calls = 0;
  bool open = false;
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

// The list as the main window shows it: rows the control does not keep,
// their texts asked for as they are drawn.
LRESULT CALLBACK ListParent(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY && reinterpret_cast<NMHDR*>(lp)->code == LVN_GETDISPINFOA) {
    auto* d = reinterpret_cast<NMLVDISPINFOA*>(lp);
    if (d->item.mask & LVIF_TEXT) snprintf(d->item.pszText, size_t(d->item.cchTextMax), "%d", d->item.iItem);
    return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

struct CaptureRun {
  CaptureMethods* methods;
  const AddressSpace* space;
  uint64_t reserved = 0;
};
CaptureRun* g_run = nullptr;

void CALLBACK MeasureAndStop(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_run->reserved = g_run->space->Taken();
  g_run->methods->Stop();
}

}  // namespace

TEST(AddressSpace, HeaviestWorkLeavesAThirtyTwoBitProcessRoom) {
  const AddressSpace space;
  const uint64_t start = space.Taken();
  Report("at the start", start);

  Options options;
  PacketFile file;
  ConversationTable table(options, &file);

  auto stuck = std::make_shared<StuckLookup>();
  {
    HostResolver resolver(table, stuck);
    for (int i = 0; i < HostResolver::kSlots; i++) ASSERT_TRUE(resolver.StartLookup(htonl(0x0A000001 + i)));
    ASSERT_TRUE(stuck->WaitCalls(HostResolver::kMaxWorkers, 120)) << stuck->calls << " workers started";
    ASSERT_EQ(resolver.BusySlots(), HostResolver::kSlots);
    const uint64_t held = space.Taken();
    Report("1024 lookups held", held);
    EXPECT_LE(held, kAffordableBytes);

    const std::string pcap = ManyConversations(200000);
    const LoadOutcome out = LoadCaptureWithPackets(pcap.c_str(), table, file, options);
    remove(pcap.c_str());
    ASSERT_TRUE(out.ok) << out.message;
    ASSERT_EQ(table.count(), 200000u);
    Report("and 200000 conversations imported", space.Taken());

    WNDCLASSA wc{};
    wc.lpfnWndProc = ListParent;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "AddressSpaceListParent";
    RegisterClassA(&wc);
    InitCommonControls();
    HWND parent = CreateWindowA(wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                                wc.hInstance, nullptr);
    HWND list = CreateWindowA(WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA, 0, 0, 800, 600, parent,
                              nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(list);
    for (int c = 0; c < 22; c++) {
      LVCOLUMNA col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH;
      col.cx = 80;
      col.pszText = const_cast<char*>("column");
      ListView_InsertColumn(list, c, &col);
    }
    ListView_SetItemCountEx(list, int(table.count()), 0);
    ShowWindow(parent, SW_SHOW);
    UpdateWindow(parent);
    const uint64_t imported = space.Taken();
    Report("and listed", imported);
    EXPECT_LE(imported, kAffordableBytes);

    // A live capture on the loopback adapter, where the library captures it.
    if (LoadPacketCaptureLibrary()) {
      AdapterList adapters;
      adapters.Enumerate(2);
      const CaptureAdapter* lo = nullptr;
      for (const CaptureAdapter& a : adapters.adapters(2))
        if (a.address == htonl(INADDR_LOOPBACK)) lo = &a;
      if (lo) {
        options.captureActive = 1;
        CaptureEngine engine(options, table, file);
        CaptureMethods methods(engine);
        CaptureRun run{&methods, &space};
        g_run = &run;
        if (methods.Start(*lo)) {
          // Measured from inside the capture loop, which pumps the timer.
          SetTimer(nullptr, 0, 1500, MeasureAndStop);
          const DWORD t0 = GetTickCount();
          MSG m;
          while (GetTickCount() - t0 < 20000 && (engine.running || !run.reserved)) {
            if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            else Sleep(5);
          }
          Report("and a live capture", run.reserved);
          EXPECT_NE(run.reserved, 0u);
          EXPECT_LE(run.reserved, kAffordableBytes);
        } else {
          printf("address space: the loopback adapter could not be opened (root is needed)\n");
        }
        g_run = nullptr;
      }
    }
    DestroyWindow(parent);
    stuck->Open();
  }
  file.ResetFile(false);
}
