// The capture methods' side of a capture: the hidden window
// "PacketSnifferClass1", the raw socket and the packet capture driver loop.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "base/window_win32.h"
#include "capture/adapters_win32.h"
#include "capture/capture_engine.h"
#include "capture/frame_handoff_win32.h"
#include "capture/netmon_library_win32.h"

// Frames one library call may deliver. More than one is unsafe: some library
// builds (32-bit Wine's) ignore the read time-out and wait until that many
// frames have arrived, so the device is also put in non-blocking mode and the
// loop waits for frames or messages itself. Calls are repeated while frames
// come, for at most kMaxBusyMs without pumping messages.
constexpr int kFramesPerDispatch = 1;
constexpr DWORD kMaxBusyMs = 20;
// While a menu, a dialog or a window drag runs its own message loop, ours
// waits below it: a timer reads the device then, every kModalReadMs.
constexpr UINT kModalReadMs = 10;
constexpr uint32_t kSnapLength = 65536;
// Kernel buffer of the device. With a 1 ms read time-out the buffer holds few
// frames per block, so a small one overflows while the window is busy drawing.
constexpr int kDeviceBufferBytes = 32 << 20;

// How long a driver's thread waits for the GUI thread to take one frame.
constexpr DWORD kHandOffTimeoutMs = 2500;

// Whole IPv4 datagrams: the largest the total-length field allows.
constexpr int kRawDatagramBytes = 65535;
constexpr int kRawSocketReceiveBuffer = 65536;

// The Winsock calls of the raw sockets method, replaceable so that tests can
// deliver datagrams where the system's raw sockets cannot capture.
struct RawSocketCalls {
  SOCKET(WSAAPI* socket)(int, int, int) = ::socket;
  int(WSAAPI* bind)(SOCKET, const sockaddr*, int) = ::bind;
  int(WSAAPI* asyncSelect)(SOCKET, HWND, u_int, long) = ::WSAAsyncSelect;
  int(WSAAPI* setsockopt)(SOCKET, int, int, const char*, int) = ::setsockopt;
  int(WSAAPI* ioctl)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPWSAOVERLAPPED,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE) = ::WSAIoctl;
  int(WSAAPI* recv)(SOCKET, char*, int, int) = ::recv;
  int(WSAAPI* closesocket)(SOCKET) = ::closesocket;
};

// Whether a raw socket on the loopback address sees a datagram sent to
// itself within `waitMs` (one small UDP datagram, 127.0.0.1 only).
bool RawSocketsCanCapture(DWORD waitMs = 300);

class CaptureMethods : public Window {
 public:
  explicit CaptureMethods(CaptureEngine& engine);
  ~CaptureMethods() override;
  // Starts the adapter's method; the engine's `running` is set on success.
  bool Start(const CaptureAdapter& adapter);
  // Clears `running`; the loop sees it and closes the device.
  void Stop();

  // The main window's accelerators and dialog keys, also during a capture.
  MessageFilter* messageFilter = nullptr;
  // Told on the GUI thread when the device failed during a capture.
  HWND notifyWindow = nullptr;
  UINT deviceErrorMessage = 0;
  // Frames whose header was not trusted.
  unsigned long droppedHeaders = 0;
  RawSocketCalls rawCalls;
  // Frames from the Network Monitor drivers' threads.
  FrameHandOff handOff;
  // The hidden window, where message 1075 arrives.
  HWND handle() const { return hwnd_; }

 protected:
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

 private:
  bool StartRawSocket();
  void StopRawSocket();
  void OnRawSocketEvent(LPARAM lp);
  bool StartPacketCapture();
  bool StartNetMon();
  void StopNetMon();
  static DWORD WINAPI NetMonStatus(NetMonEvent event);
  static DWORD WINAPI NetMonFrames(NetMonEvent event);
  bool StartNetMon3();
  void StopNetMon3();
  static void WINAPI NetMon3Frame(HANDLE engine, ULONG adapterIndex, void* context, HANDLE frame);
  void* OpenDevice();
  void CaptureLoop();
  void ReadLoop();
  bool ReadFrames();
  bool Reading() const;
  static constexpr UINT_PTR kModalReadTimer = 1;
  static void HandleLibraryFrame(unsigned char* user, const void* header, const unsigned char* bytes);

  CaptureEngine& engine_;
  CaptureAdapter adapter_;
  void* pcap_ = nullptr;
  char errorText_[260] = "";
  bool inLoop_ = false;
  bool deviceError_ = false;
  bool nonBlocking_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  std::vector<char> datagram_;  // one receive buffer for the whole run
  HANDLE nmEngine_ = nullptr;
  HBLOB_T blob_ = nullptr;
  NetMonInterface* interface_ = nullptr;
};
