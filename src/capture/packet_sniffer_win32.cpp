#include "capture/packet_sniffer_win32.h"

#include "capture/frame.h"
#include "capture/pcap_library_win32.h"
#include "resource.h"

namespace {
const char kClassName[] = "PacketSnifferClass1";
const char kKernelFilter[] = "ip proto \\tcp or \\udp or \\icmp";
}  // namespace

CaptureMethods::CaptureMethods(CaptureEngine& engine) : engine_(engine) {
  HINSTANCE inst = GetModuleHandleA(nullptr);
  static bool registered = Window::RegisterClass(inst, kClassName, nullptr, nullptr, nullptr);
  (void)registered;
  // Message-only: it needs no display, so the loop also runs in tests.
  Create(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, inst);
}

CaptureMethods::~CaptureMethods() {
  if (pcap_) CaptureLibrary().pcap_close(pcap_);
  if (hwnd_) DestroyWindow(hwnd_);
}

bool CaptureMethods::Start(const CaptureAdapter& adapter) {
  engine_.running = false;
  adapter_ = adapter;
  switch (adapter.method) {
    case 2:
      StartPacketCapture();
      break;
    default:
      break;  // the other methods are not available yet
  }
  return engine_.running;
}

bool CaptureMethods::StartPacketCapture() {
  PacketCaptureLibrary& lib = CaptureLibrary();
  if (!lib.bound()) return false;
  if (pcap_) {
    lib.pcap_close(pcap_);
    pcap_ = nullptr;
  }
  pcap_ = OpenDevice();
  if (!pcap_) return false;
  bpf_program_t program{};
  if (lib.pcap_compile(pcap_, &program, kKernelFilter, 1, 0) >= 0) {
    if (lib.pcap_setfilter(pcap_, &program) >= 0) {
      nonBlocking_ = lib.pcap_setnonblock && lib.pcap_setnonblock(pcap_, 1, errorText_) == 0;
      engine_.running = true;
      PostMessageA(hwnd_, WM_PK_PCAP_LOOP, 0, 0);
    }
    lib.pcap_freecode(&program);
  }
  if (!engine_.running) {
    lib.pcap_close(pcap_);
    pcap_ = nullptr;
  }
  return engine_.running;
}

// Opened in steps when the library offers them, for the larger buffer; the
// settings are those of pcap_open_live (snapshot 65536, 1 ms read time-out).
void* CaptureMethods::OpenDevice() {
  PacketCaptureLibrary& lib = CaptureLibrary();
  const char* name = adapter_.name.c_str();
  if (lib.pcap_create && lib.pcap_set_snaplen && lib.pcap_set_promisc && lib.pcap_set_timeout &&
      lib.pcap_set_buffer_size && lib.pcap_activate) {
    if (void* p = lib.pcap_create(name, errorText_)) {
      lib.pcap_set_snaplen(p, int(kSnapLength));
      lib.pcap_set_promisc(p, adapter_.promiscuous);
      lib.pcap_set_timeout(p, 1);
      lib.pcap_set_buffer_size(p, kDeviceBufferBytes);
      if (lib.pcap_activate(p) >= 0) return p;
      lib.pcap_close(p);
    }
  }
  return lib.pcap_open_live(name, int(kSnapLength), adapter_.promiscuous, 1, errorText_);
}

void CaptureMethods::Stop() { engine_.running = false; }

bool CaptureMethods::OnMessage(UINT msg, WPARAM, LPARAM, LRESULT* result) {
  if (msg == WM_PK_PCAP_LOOP) {
    if (engine_.running && pcap_ && !inLoop_) CaptureLoop();
    *result = 0;
    return true;
  }
  return false;
}

void CaptureMethods::HandleLibraryFrame(unsigned char* user, const void* header, const unsigned char* bytes) {
  auto* self = reinterpret_cast<CaptureMethods*>(user);
  CaptureLibraryHeader h;
  memcpy(&h, header, sizeof h);
  const uint32_t len = TrustedCaptureLength(h, kSnapLength);
  if (!len) {
    self->droppedHeaders++;
    return;
  }
  HandleFrame(self->engine_, bytes, len, 0);
}

// A nested message loop on the GUI thread: frames are read between passes
// of message handling, so every command (Stop among them) keeps working.
void CaptureMethods::CaptureLoop() {
  PacketCaptureLibrary& lib = CaptureLibrary();
  inLoop_ = true;
  bool deviceError = false;
  while (engine_.running) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        engine_.running = false;
        PostQuitMessage(int(m.wParam));  // the outer loop must see it too
        break;
      }
      if (messageFilter && messageFilter->PreTranslate(&m)) continue;
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    // Read while frames keep coming, but pump messages at least every kMaxBusyMs.
    const DWORD start = GetTickCount();
    while (engine_.running) {
      const int n = lib.pcap_dispatch(pcap_, kFramesPerDispatch, HandleLibraryFrame,
                                      reinterpret_cast<unsigned char*>(this));
      if (n < 0) {
        deviceError = true;
        engine_.running = false;
        break;
      }
      if (n == 0) {
        // The 1 ms read time-out, kept by us: wake for a message or after 1 ms.
        if (nonBlocking_) MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        break;
      }
      if (GetTickCount() - start >= kMaxBusyMs) break;
    }
  }
  // A restart handled inside the loop may have failed and left no handle;
  // the library does not accept a null one.
  if (pcap_) lib.pcap_close(pcap_);
  pcap_ = nullptr;
  inLoop_ = false;
  if (deviceError && notifyWindow && deviceErrorMessage) PostMessageA(notifyWindow, deviceErrorMessage, 0, 0);
}
