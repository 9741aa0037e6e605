// Hands frames from a driver's thread to the GUI thread, one at a time,
// with a synchronous window message and a time-out. The frame is read on the
// GUI thread only while its sender still waits for it: a message that comes
// after the time-out finds nothing and reads nothing, so a buffer the sender
// has reused is never read.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

class FrameHandOff {
 public:
  FrameHandOff();
  ~FrameHandOff();
  FrameHandOff(const FrameHandOff&) = delete;
  FrameHandOff& operator=(const FrameHandOff&) = delete;

  // Capture start (GUI thread): frames are accepted for `window`.
  void Open(HWND window, UINT message);
  // Any thread: sends the frame as (wParam frame, lParam length) and waits
  // at most `timeoutMs`. True when the GUI thread took it.
  bool Send(const uint8_t* frame, uint32_t length, DWORD timeoutMs);
  // GUI thread, handling the message: calls `use` with the frame when it is
  // the one still waiting; late or unknown messages are only counted.
  template <typename Use>
  bool Take(WPARAM wp, LPARAM lp, Use use) {
    EnterCriticalSection(&lock_);
    const bool current = frame_ && reinterpret_cast<WPARAM>(frame_) == wp && LPARAM(length_) == lp;
    if (current) {
      use(frame_, length_);
      frame_ = nullptr;
      taken_ = true;
      delivered++;
    } else {
      late++;
    }
    LeaveCriticalSection(&lock_);
    return current;
  }
  // Capture stop (GUI thread): refuses new frames and answers the sender
  // that may be waiting, so that the driver's thread can end.
  void Close();

  std::atomic<uint64_t> delivered{0}, late{0}, timedOut{0};

 private:
  CRITICAL_SECTION lock_;     // guards the waiting frame
  CRITICAL_SECTION senders_;  // one frame in flight
  HWND window_ = nullptr;
  UINT message_ = 0;
  bool accepting_ = false;
  std::atomic<bool> sending_{false};
  const uint8_t* frame_ = nullptr;
  uint32_t length_ = 0;
  bool taken_ = false;
};
