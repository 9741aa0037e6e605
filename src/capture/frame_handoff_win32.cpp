#include "capture/frame_handoff_win32.h"

namespace {
constexpr DWORD kCloseWaitMs = 5000;
}

FrameHandOff::FrameHandOff() {
  InitializeCriticalSection(&lock_);
  InitializeCriticalSection(&senders_);
}

FrameHandOff::~FrameHandOff() {
  DeleteCriticalSection(&senders_);
  DeleteCriticalSection(&lock_);
}

void FrameHandOff::Open(HWND window, UINT message) {
  EnterCriticalSection(&lock_);
  window_ = window;
  message_ = message;
  accepting_ = true;
  LeaveCriticalSection(&lock_);
}

bool FrameHandOff::Send(const uint8_t* frame, uint32_t length, DWORD timeoutMs) {
  EnterCriticalSection(&senders_);
  EnterCriticalSection(&lock_);
  if (!accepting_ || !frame) {
    LeaveCriticalSection(&lock_);
    LeaveCriticalSection(&senders_);
    return false;
  }
  frame_ = frame;
  length_ = length;
  taken_ = false;
  sending_ = true;
  const HWND window = window_;
  const UINT message = message_;
  LeaveCriticalSection(&lock_);

  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, reinterpret_cast<WPARAM>(frame), LPARAM(length), SMTO_NORMAL, timeoutMs,
                      &result);

  // Waits here while the GUI thread still reads the frame.
  EnterCriticalSection(&lock_);
  const bool taken = taken_;
  frame_ = nullptr;
  sending_ = false;
  LeaveCriticalSection(&lock_);
  LeaveCriticalSection(&senders_);
  if (!taken) timedOut++;
  return taken;
}

void FrameHandOff::Close() {
  EnterCriticalSection(&lock_);
  accepting_ = false;
  LeaveCriticalSection(&lock_);
  // The sender's message is answered by handling it here (it finds the
  // capture stopped); otherwise the driver's stop would wait for its thread
  // while that thread waits for us.
  const DWORD start = GetTickCount();
  while (sending_ && GetTickCount() - start < kCloseWaitMs) {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
  }
}
