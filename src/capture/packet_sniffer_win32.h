// The capture methods' side of a capture: the hidden window
// "PacketSnifferClass1" and the packet capture driver loop.
#pragma once
#include <windows.h>

#include "app/window_win32.h"
#include "capture/adapters_win32.h"
#include "capture/capture_engine.h"

// Frames one library call may deliver. More than one is unsafe: some library
// builds (32-bit Wine's) ignore the read time-out and wait until that many
// frames have arrived, so the device is also put in non-blocking mode and the
// loop waits for frames or messages itself. Calls are repeated while frames
// come, for at most kMaxBusyMs without pumping messages.
constexpr int kFramesPerDispatch = 1;
constexpr DWORD kMaxBusyMs = 20;
constexpr uint32_t kSnapLength = 65536;
// Kernel buffer of the device. With a 1 ms read time-out the buffer holds few
// frames per block, so a small one overflows while the window is busy drawing.
constexpr int kDeviceBufferBytes = 32 << 20;

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

 protected:
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

 private:
  bool StartPacketCapture();
  void* OpenDevice();
  void CaptureLoop();
  static void HandleLibraryFrame(unsigned char* user, const void* header, const unsigned char* bytes);

  CaptureEngine& engine_;
  CaptureAdapter adapter_;
  void* pcap_ = nullptr;
  char errorText_[260] = "";
  bool inLoop_ = false;
  bool nonBlocking_ = false;
};
