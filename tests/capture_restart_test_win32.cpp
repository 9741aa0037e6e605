// A restart handled inside the capture loop whose new start fails at opening
// the device: the loop ends without handing the library a null handle, and
// the program goes on. One that starts another method ends the loop too:
// the old device is read no more.
#include <windows.h>

#include <gtest/gtest.h>

#include "capture/conversation_table.h"
#include "capture/packet_sniffer_win32.h"
#include "capture/pcap_library_win32.h"
#include "packetfile/packet_file.h"

namespace {

int g_opens = 0, g_nullCloses = 0, g_closes = 0, g_dispatches = 0;
char g_device;  // its address stands for the one open handle
CaptureMethods* g_methods = nullptr;
CaptureAdapter g_adapter;

pcap_t* __cdecl Open(const char*, int, int, int, char*) { return ++g_opens == 1 ? &g_device : nullptr; }
void __cdecl Close(pcap_t* p) { (p ? g_closes : g_nullCloses)++; }
// The first read stands for Ctrl+R pressed during the capture.
int __cdecl Dispatch(pcap_t*, int, pcap_handler_t, unsigned char*) {
  if (++g_dispatches == 1) {
    g_methods->Stop();
    EXPECT_EQ(g_methods->Start(g_adapter), g_adapter.method == 1);
  }
  if (g_dispatches == 50) g_methods->Stop();  // a loop that reads on would never end
  return 0;
}
// Raw sockets that open, so the restart's method starts.
SOCKET WSAAPI FakeSocket(int, int, int) { return SOCKET(7); }
int WSAAPI Succeed(SOCKET, const sockaddr*, int) { return 0; }
int WSAAPI Select(SOCKET, HWND, u_int, long) { return 0; }
int WSAAPI Closed(SOCKET) { return 0; }

PacketCaptureLibrary FakeLibrary(pcap_t* (__cdecl* open)(const char*, int, int, int, char*),
                                 int (__cdecl* dispatch)(pcap_t*, int, pcap_handler_t, unsigned char*)) {
  PacketCaptureLibrary lib{};
  lib.module = GetModuleHandleA(nullptr);
  lib.pcap_open_live = open;
  lib.pcap_close = Close;
  lib.pcap_compile = [](pcap_t*, bpf_program_t*, const char*, int, uint32_t) { return 0; };
  lib.pcap_setfilter = [](pcap_t*, bpf_program_t*) { return 0; };
  lib.pcap_freecode = [](bpf_program_t*) {};
  lib.pcap_dispatch = dispatch;
  return lib;
}

}  // namespace

TEST(CaptureRestart, FailedRestartInsideTheLoop) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  const PacketCaptureLibrary saved = lib;
  lib = FakeLibrary(Open, Dispatch);

  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  CaptureEngine engine(options, table, file);
  for (int restartMethod : {2, 1}) {
    g_opens = g_nullCloses = g_closes = g_dispatches = 0;
    CaptureMethods methods(engine);
    methods.rawCalls.socket = FakeSocket;
    methods.rawCalls.bind = Succeed;
    methods.rawCalls.asyncSelect = Select;
    methods.rawCalls.closesocket = Closed;
    g_methods = &methods;
    g_adapter.method = 2;
    g_adapter.name = "test";
    ASSERT_TRUE(methods.hwnd() != nullptr);
    ASSERT_TRUE(methods.Start(g_adapter));
    g_adapter.method = restartMethod;
    // The loop runs from a posted message, as in the program.
    const DWORD start = GetTickCount();
    MSG m;
    while (GetTickCount() - start < 10000 && !(g_dispatches && !PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE)))
      if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    EXPECT_EQ(engine.running, restartMethod == 1);
    EXPECT_EQ(g_dispatches, 1) << restartMethod;
    EXPECT_EQ(g_opens, restartMethod == 2 ? 2 : 1);
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(g_nullCloses, 0);
    methods.Stop();
    g_methods = nullptr;
  }
  lib = saved;
}

namespace {
int g_reads = 0, g_readsWhileModal = -1;
int __cdecl CountingDispatch(pcap_t*, int, pcap_handler_t, unsigned char*) { return ++g_reads, 0; }
void CALLBACK EndTheMenu(HWND, UINT, UINT_PTR, DWORD) { EndMenu(); }
// A menu's message loop above the capture's, ended after 300 ms.
LRESULT CALLBACK ModalProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != WM_APP) return DefWindowProcA(hwnd, msg, wp, lp);
  const int before = g_reads;
  HMENU menu = CreatePopupMenu();
  AppendMenuA(menu, MF_STRING, 1, "Item");
  SetTimer(hwnd, 9, 300, EndTheMenu);
  SetForegroundWindow(hwnd);
  TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, hwnd, nullptr);
  KillTimer(hwnd, 9);
  DestroyMenu(menu);
  g_readsWhileModal = g_reads - before;
  g_methods->Stop();
  return 0;
}
}  // namespace

// Frames are read while a menu runs its message loop above the capture's.
TEST(CaptureRestart, ReadsUnderAModalLoop) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  const PacketCaptureLibrary saved = lib;
  lib = FakeLibrary([](const char*, int, int, int, char*) { return reinterpret_cast<pcap_t*>(&g_device); },
                    CountingDispatch);
  WNDCLASSA wc{};
  wc.lpfnWndProc = ModalProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "PakrillModalTest";
  RegisterClassA(&wc);
  HWND modal = CreateWindowA("PakrillModalTest", "", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
  ASSERT_TRUE(modal);

  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  CaptureEngine engine(options, table, file);
  CaptureMethods methods(engine);
  g_methods = &methods;
  g_adapter.method = 2;
  g_adapter.name = "test";
  ASSERT_TRUE(methods.Start(g_adapter));
  PostMessageA(modal, WM_APP, 0, 0);  // after the loop's own message
  const DWORD start = GetTickCount();
  MSG m;
  while (GetTickCount() - start < 10000 && g_readsWhileModal < 0)
    if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  EXPECT_GE(g_readsWhileModal, 10);  // every 10 ms for 300 ms, or nearly
  EXPECT_FALSE(engine.running);
  DestroyWindow(modal);
  g_methods = nullptr;
  lib = saved;
}
