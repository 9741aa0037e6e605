#include "capture/packet_sniffer_win32.h"

#include <cstring>

#include "capture/frame.h"
#include "capture/netmon3_library_win32.h"
#include "capture/pcap_library_win32.h"
#include "resource.h"

namespace {
const char kClassName[] = "PacketSnifferClass1";
const char kKernelFilter[] = "ip proto \\tcp or \\udp or \\icmp";
// IPv6 whole: its transport may lie behind extension headers the decoder walks.
const char kKernelFilterIPv6[] = "ip proto \\tcp or \\udp or \\icmp or ip6";

bool IsIPv6Type(const uint8_t* type) { return type[0] == 0x86 && type[1] == 0xDD; }
}  // namespace

CaptureMethods::CaptureMethods(CaptureEngine& engine) : engine_(engine) {
  HINSTANCE inst = GetModuleHandleA(nullptr);
  static bool registered = Window::RegisterClass(inst, kClassName, nullptr, nullptr, nullptr);
  (void)registered;
  // Message-only: it needs no display, so the loop also runs in tests.
  Create(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, inst);
  datagram_.resize(kRawDatagramBytes + 1);
}

CaptureMethods::~CaptureMethods() {
  StopRawSocket();
  StopNetMon();
  StopNetMon3();
  if (pcap_) CaptureLibrary().pcap_close(pcap_);
  if (hwnd_) DestroyWindow(hwnd_);
}

bool CaptureMethods::Start(const CaptureAdapter& adapter) {
  engine_.running = false;
  adapter_ = adapter;
  switch (adapter.method) {
    case 1:
      StartRawSocket();
      break;
    case 2:
      StartPacketCapture();
      break;
    case 3:
      StartNetMon();
      break;
    case 4:
      StartNetMon3();
      break;
    default:
      break;  // an unknown method starts nothing
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
  if (lib.pcap_compile(pcap_, &program, adapter_.ipv6 ? kKernelFilterIPv6 : kKernelFilter, 1, 0) >= 0) {
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

void CaptureMethods::Stop() {
  engine_.running = false;
  // A device whose loop has not begun is closed here: a start of another
  // method before the loop's message must not leave it to be read.
  if (adapter_.method == 2 && pcap_ && !inLoop_) {
    CaptureLibrary().pcap_close(pcap_);
    pcap_ = nullptr;
  }
  if (adapter_.method == 1) StopRawSocket();
  if (adapter_.method == 3) StopNetMon();
  if (adapter_.method == 4) StopNetMon3();
}

// ---------------------------------------------------------------------------
// Network Monitor driver: batches of Ethernet frames on the driver's thread,
// handed to the GUI thread one by one while the callback waits.

bool CaptureMethods::StartNetMon() {
  StopNetMon();
  NetMonLibrary& lib = NetMon();
  LoadNetMonLibrary();
  const std::vector<NetMonAdapter>& table = EnumerateNetMonAdapters(adapter_.name.c_str(), true);
  if (table.empty()) return false;
  blob_ = table[0].blob;
  for (size_t i = 1; i < table.size(); i++)
    if (lib.DestroyBlob) lib.DestroyBlob(table[i].blob);
  void* created = nullptr;
  if (!lib.CreateNPPInterface || lib.CreateNPPInterface(blob_, kNetMonCaptureInterface, &created) != 0 ||
      !created) {
    StopNetMon();
    return false;
  }
  interface_ = static_cast<NetMonInterface*>(created);
  handOff.Open(hwnd_, WM_PK_NETMON3_FRAME);
  if (interface_->table->connect(interface_, blob_, NetMonStatus, NetMonFrames, this, nullptr) == 0 &&
      interface_->table->start(interface_) == 0) {
    engine_.running = true;
    return true;
  }
  StopNetMon();
  return false;
}

void CaptureMethods::StopNetMon() {
  NetMonLibrary& lib = NetMon();
  engine_.running = false;
  handOff.Close();
  if (interface_) {
    interface_->table->stop(interface_);
    interface_->table->disconnect(interface_);
    interface_->table->release(interface_);
    interface_ = nullptr;
  }
  if (blob_) {
    LoadNetMonLibrary();
    if (lib.DestroyBlob) lib.DestroyBlob(blob_);
    blob_ = nullptr;
  }
}

DWORD WINAPI CaptureMethods::NetMonStatus(NetMonEvent) { return 0; }

DWORD WINAPI CaptureMethods::NetMonFrames(NetMonEvent event) {
  auto* self = static_cast<CaptureMethods*>(event.context);
  if (!self) return 0;
  const bool ipv6 = self->adapter_.ipv6;
  ForEachNetMonFrame(event, [self, ipv6](const uint8_t* frame, uint32_t length) {
    if (length > 14 && ((frame[12] == 0x08 && frame[13] == 0x00) || (ipv6 && IsIPv6Type(frame + 12))))
      self->handOff.Send(frame, length, kHandOffTimeoutMs);
  });
  return 0;
}

// ---------------------------------------------------------------------------
// Network Monitor 3: frames come on NmApi's thread and are handed over.

bool CaptureMethods::StartNetMon3() {
  NetMon3Library& lib = NetMon3();
  StopNetMon3();
  LoadNetMon3Library();
  if (!lib.NmOpenCaptureEngine || lib.NmOpenCaptureEngine(&nmEngine_) != 0) {
    nmEngine_ = nullptr;
    return false;
  }
  handOff.Open(hwnd_, WM_PK_NETMON3_FRAME);
  const ULONG configured = lib.NmConfigAdapter
                               ? lib.NmConfigAdapter(nmEngine_, adapter_.index, NetMon3Frame, this, 1)
                               : kNmCallFailed;
  const ULONG started = configured == 0 && lib.NmStartCapture
                            ? lib.NmStartCapture(nmEngine_, adapter_.index, adapter_.promiscuous ? 1 : 0)
                            : kNmCallFailed;
  if (started == 0) {
    engine_.running = true;
    return true;
  }
  handOff.Close();
  if (lib.NmCloseHandle) lib.NmCloseHandle(nmEngine_);
  nmEngine_ = nullptr;
  return false;
}

void CaptureMethods::StopNetMon3() {
  if (!nmEngine_) return;
  NetMon3Library& lib = NetMon3();
  engine_.running = false;
  handOff.Close();
  if (lib.NmStopCapture) lib.NmStopCapture(nmEngine_, adapter_.index);
  if (lib.NmCloseHandle) lib.NmCloseHandle(nmEngine_);
  nmEngine_ = nullptr;
}

void WINAPI CaptureMethods::NetMon3Frame(HANDLE, ULONG, void* context, HANDLE frame) {
  auto* self = static_cast<CaptureMethods*>(context);
  NetMon3Library& lib = NetMon3();
  BYTE buffer[kNetMon3FrameBytes];  // this thread's own, no allocation per frame
  ULONG length = 0;
  if (!lib.NmGetRawFrame || lib.NmGetRawFrame(frame, sizeof buffer, buffer, &length) != 0 ||
      length > sizeof buffer)
    return;
  const uint32_t payload = NetMonPayloadOffset(buffer, length);
  if (!payload || (!self->adapter_.ipv6 && IsIPv6Type(buffer + payload - 2))) return;
  self->handOff.Send(buffer, length, kHandOffTimeoutMs);
}

// ---------------------------------------------------------------------------
// Raw sockets: one datagram per notification of the hidden window.

bool CaptureMethods::StartRawSocket() {
  StopRawSocket();
  socket_ = rawCalls.socket(AF_INET, SOCK_RAW, 0);
  if (socket_ == INVALID_SOCKET) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(0);
  a.sin_addr.s_addr = adapter_.address;
  if (rawCalls.bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR ||
      rawCalls.asyncSelect(socket_, hwnd_, WM_PK_RAW_SOCKET, FD_READ) == SOCKET_ERROR) {
    StopRawSocket();
    return false;
  }
  const int size = kRawSocketReceiveBuffer;
  rawCalls.setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), 4);
  // Refused where receive-all is not offered: the socket then sees only its own traffic.
  DWORD on = 1, returned = 0;
  char out[4096];
  rawCalls.ioctl(socket_, 0x98000001, &on, sizeof on, out, sizeof out, &returned, nullptr, nullptr);
  engine_.running = true;
  return true;
}

void CaptureMethods::StopRawSocket() {
  if (socket_ == INVALID_SOCKET) return;
  engine_.running = false;
  rawCalls.asyncSelect(socket_, hwnd_, 0, 0);
  rawCalls.closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

void CaptureMethods::OnRawSocketEvent(LPARAM lp) {
  // Notifications queued before Stop, or of other events, read nothing.
  if (!engine_.running || socket_ == INVALID_SOCKET || WSAGETSELECTEVENT(lp) != FD_READ) return;
  const int n = rawCalls.recv(socket_, datagram_.data(), kRawDatagramBytes, 0);
  if (n > 0)
    engine_.OnPacket(reinterpret_cast<const uint8_t*>(datagram_.data()), n, nullptr, nullptr);
}

bool RawSocketsCanCapture(DWORD waitMs) {
  SOCKET raw = socket(AF_INET, SOCK_RAW, 0);
  if (raw == INVALID_SOCKET) return false;
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  bool seen = false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  DWORD on = 1, returned = 0;
  char out[4096];
  if (udp != INVALID_SOCKET && bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(udp, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    WSAIoctl(raw, 0x98000001, &on, sizeof on, out, sizeof out, &returned, nullptr, nullptr);
    const char probe[] = "pakrill raw socket probe";
    sendto(udp, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(raw, &readable);
    timeval tv{long(waitMs / 1000), long(waitMs % 1000) * 1000};
    static char buffer[kRawDatagramBytes];
    // Only a datagram that is our probe counts (an IPv4 header, then UDP to our port).
    const DWORD until = GetTickCount() + waitMs;
    while (!seen && select(0, &readable, nullptr, nullptr, &tv) > 0) {
      const int n = recv(raw, buffer, sizeof buffer, 0);
      if (n >= 28 && (buffer[0] & 0xF0) == 0x40 && buffer[9] == 17) {
        const int ihl = (buffer[0] & 0x0F) * 4;
        seen = n >= ihl + 8 && memcmp(buffer + ihl + 2, &a.sin_port, 2) == 0;
      }
      const DWORD now = GetTickCount();
      if (int32_t(until - now) <= 0) break;
      tv = {long((until - now) / 1000), long((until - now) % 1000) * 1000};
      FD_ZERO(&readable);
      FD_SET(raw, &readable);
    }
  }
  if (udp != INVALID_SOCKET) closesocket(udp);
  closesocket(raw);
  return seen;
}

bool CaptureMethods::OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  if (msg == WM_PK_RAW_SOCKET) {
    OnRawSocketEvent(lp);
    *result = 0;
    return true;
  }
  if (msg == WM_PK_NETMON3_FRAME) {
    // Read only while the sender still waits; after Stop, nothing is delivered.
    handOff.Take(wp, lp, [this](const uint8_t* frame, uint32_t length) {
      if (engine_.running) HandleNetMonFrame(engine_, frame, length, 0);
    });
    *result = 0;
    return true;
  }
  if (msg == WM_TIMER && wp == kModalReadTimer) {
    // Dispatched by our own loop too, where it reads as the loop would.
    if (inLoop_) ReadFrames();
    *result = 0;
    return true;
  }
  if (msg == WM_PK_PCAP_LOOP) {
    if (engine_.running && adapter_.method == 2 && pcap_ && !inLoop_) CaptureLoop();
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
  deviceError_ = false;
  SetTimer(hwnd_, kModalReadTimer, kModalReadMs, nullptr);
  // A fault while reading (shown by the guard) ends the capture as a device
  // error would, here where the device is closed, not past this clean-up in
  // the guard of the message that began the loop.
  auto read = [](void* self) -> LRESULT {
    static_cast<CaptureMethods*>(self)->ReadLoop();
    return 0;
  };
  if (GuardedCall(read, this, 1)) {
    engine_.running = false;
    deviceError_ = true;
  }
  KillTimer(hwnd_, kModalReadTimer);
  // A restart handled inside the loop may have failed and left no handle;
  // the library does not accept a null one.
  if (pcap_) lib.pcap_close(pcap_);
  pcap_ = nullptr;
  inLoop_ = false;
  if (deviceError_ && notifyWindow && deviceErrorMessage) PostMessageA(notifyWindow, deviceErrorMessage, 0, 0);
}

// A restart handled in here may start another method: the loop, and its
// device, end with this method.
bool CaptureMethods::Reading() const { return engine_.running && adapter_.method == 2 && pcap_; }

void CaptureMethods::ReadLoop() {
  while (Reading()) {
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
    // The 1 ms read time-out, kept by us: wake for a message or after 1 ms.
    if (!ReadFrames() && nonBlocking_ && Reading()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
}

// Reads while frames keep coming, for at most kMaxBusyMs; false when none came.
bool CaptureMethods::ReadFrames() {
  PacketCaptureLibrary& lib = CaptureLibrary();
  const DWORD start = GetTickCount();
  bool any = false;
  while (Reading()) {
    const int n =
        lib.pcap_dispatch(pcap_, kFramesPerDispatch, HandleLibraryFrame, reinterpret_cast<unsigned char*>(this));
    if (n < 0) {
      deviceError_ = true;
      engine_.running = false;
      break;
    }
    if (n == 0) break;
    any = true;
    if (GetTickCount() - start >= kMaxBusyMs) break;
  }
  return any;
}
