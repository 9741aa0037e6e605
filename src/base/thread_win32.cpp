#include <windows.h>

#include "base/thread.h"

namespace {
struct Start {
  ThreadBody body;
  void* arg;
};
DWORD WINAPI Run(void* p) {
  Start s = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  s.body(s.arg);
  return 0;
}
}  // namespace

bool StartDetachedThread(ThreadBody body, void* arg, size_t stackBytes) {
  auto* s = new Start{body, arg};
  HANDLE h = CreateThread(nullptr, stackBytes, Run, s, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!h) {
    delete s;
    return false;
  }
  CloseHandle(h);
  return true;
}
