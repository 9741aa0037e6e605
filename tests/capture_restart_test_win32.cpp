// A restart handled inside the capture loop whose new start fails at opening
// the device: the loop ends without handing the library a null handle, and
// the program goes on.
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
    EXPECT_FALSE(g_methods->Start(g_adapter));
  }
  return 0;
}

}  // namespace

TEST(CaptureRestart, FailedRestartInsideTheLoop) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  const PacketCaptureLibrary saved = lib;
  lib = PacketCaptureLibrary{};
  lib.module = GetModuleHandleA(nullptr);
  lib.pcap_open_live = Open;
  lib.pcap_close = Close;
  lib.pcap_compile = [](pcap_t*, bpf_program_t*, const char*, int, uint32_t) { return 0; };
  lib.pcap_setfilter = [](pcap_t*, bpf_program_t*) { return 0; };
  lib.pcap_freecode = [](bpf_program_t*) {};
  lib.pcap_dispatch = Dispatch;

  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  CaptureEngine engine(options, table, file);
  {
    CaptureMethods methods(engine);
    g_methods = &methods;
    g_adapter.method = 2;
    g_adapter.name = "test";
    ASSERT_TRUE(methods.hwnd() != nullptr);
    ASSERT_TRUE(methods.Start(g_adapter));
    // The loop runs from a posted message, as in the program.
    const DWORD start = GetTickCount();
    MSG m;
    while (GetTickCount() - start < 2000 && (engine.running || PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE))) {
      if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    EXPECT_FALSE(engine.running);
    EXPECT_GE(g_dispatches, 1);
    EXPECT_EQ(g_opens, 2);
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(g_nullCloses, 0);
    g_methods = nullptr;
  }
  lib = saved;
}
