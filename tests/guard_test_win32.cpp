// The exception guard on the build's own pointer size: a fault inside a
// guarded call is reported with this processor's registers and abandoned,
// and the guard keeps working afterwards, also when calls nest and when the
// fault is on the second thread of shared work.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/parallel.h"
#include "base/window_win32.h"

namespace {

std::string g_last;
int g_reports = 0;

void Capture(const char* report) { g_last = report, g_reports++; }

LRESULT Fault(void*) {
  volatile int* p = nullptr;
  *p = 1;
  return 7;
}

struct Two {
  HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE faulted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LRESULT other = 0;
};

DWORD WINAPI FaultOnSecondThread(void* p) {
  Two& t = *static_cast<Two*>(p);
  WaitForSingleObject(t.inside, 30000);
  t.other = GuardedCall(Fault, nullptr, -6);
  SetEvent(t.faulted);
  return 0;
}

}  // namespace

TEST(Guard, FaultsAreReportedAndAbandoned) {
  InstallExceptionGuard(GetModuleHandleA(nullptr));
  SetExceptionReporter(Capture);

  EXPECT_EQ(GuardedCall(Fault, nullptr, -1), -1);
  ASSERT_EQ(g_reports, 1);
  EXPECT_EQ(g_last.rfind("Exception C0000005 at address ", 0), 0u) << g_last;
  EXPECT_NE(g_last.find("pakrill_win_tests.exe"), std::string::npos) << g_last;
#ifdef _WIN64
  EXPECT_NE(g_last.find("\r\nRIP="), std::string::npos) << g_last;
  EXPECT_NE(g_last.find("R15="), std::string::npos) << g_last;
#else
  EXPECT_NE(g_last.find("\r\nEIP="), std::string::npos) << g_last;
#endif
  // The code dump starts at the faulting instruction, so it is never empty.
  EXPECT_EQ(g_last.find("Code Data: \r\n"), std::string::npos) << g_last;

  // A fault in an inner call abandons only that call.
  LRESULT inner = 0;
  auto nested = [](void* ctx) -> LRESULT { return *static_cast<LRESULT*>(ctx) = GuardedCall(Fault, nullptr, -2), 5; };
  EXPECT_EQ(GuardedCall(nested, &inner, -1), 5);
  EXPECT_EQ(inner, -2);
  EXPECT_EQ(g_reports, 2);

  // A C++ exception is reported too, and the guard still works after all that.
  EXPECT_EQ(GuardedCall([](void*) -> LRESULT { throw 1; }, nullptr, -3), -3);
  EXPECT_EQ(g_last.rfind("Exception E06D7363", 0), 0u) << g_last;
  EXPECT_EQ(GuardedCall([](void*) -> LRESULT { return 9; }, nullptr, -4), 9);

  // A fault on a second thread while this one is inside a guarded call is
  // abandoned on that thread; this thread's call goes on to its own end.
  Two two;
  auto waiting = [](void* p) -> LRESULT {
    Two& t = *static_cast<Two*>(p);
    SetEvent(t.inside);
    return WaitForSingleObject(t.faulted, 30000) == WAIT_OBJECT_0 ? 11 : 12;
  };
  HANDLE second = CreateThread(nullptr, 64 * 1024, FaultOnSecondThread, &two,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GuardedCall(waiting, &two, -5), 11);
  WaitForSingleObject(second, 30000);
  EXPECT_EQ(two.other, -6);
  EXPECT_EQ(g_reports, 4);
  for (HANDLE h : {second, two.inside, two.faulted}) CloseHandle(h);

  // A fault on the helper of shared work, or on the taker of a pipe, is
  // shown there and reaches the caller as AbandonedAfterFault: never a
  // result taken as whole, nor a process ended.
  auto make = [](size_t, int, int worker) {
    Sleep(1);
    if (worker == 1) Fault(nullptr);
  };
  size_t used = 0;
  auto use = [&](size_t, int) { return ++used > 0; };
  EXPECT_THROW(MakeOnTwoThreads(64, make, use, 64 * 1024), AbandonedAfterFault);
  EXPECT_LT(used, 64u);
  EXPECT_EQ(g_reports, 5);
  BatchPipe<int, 4> pipe;
  ASSERT_TRUE(pipe.StartTaker([](void*, int& b) { b == 3 ? void(Fault(nullptr)) : Sleep(1); }, nullptr, 64 * 1024));
  for (int i = 0; i < 8; i++) {
    pipe.Free() = i;
    pipe.Send();
  }
  EXPECT_THROW(pipe.Finish(), AbandonedAfterFault);
  EXPECT_EQ(g_reports, 6);
  EXPECT_EQ(GuardedCall([](void*) -> LRESULT { throw AbandonedAfterFault(); }, nullptr, -7), -7);
  EXPECT_EQ(g_reports, 6);  // shown already: not again
  SetExceptionReporter(nullptr);
}
