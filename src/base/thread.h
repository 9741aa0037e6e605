// Detached threads with a stack of a size we choose. On Windows the size
// must be the stack's reservation: the threads library passes it as the
// commit, and every thread then reserves the executable's default stack.
#pragma once
#include <cstddef>

using ThreadBody = void (*)(void* arg);
// Starts `body(arg)` on a detached thread whose stack reserves `stackBytes`;
// false when no thread could be made (the body then never runs).
bool StartDetachedThread(ThreadBody body, void* arg, size_t stackBytes);

// A second thread's work runs through RunGuarded. Where the front end has
// installed a runner (the window's fault guard), a hardware fault in our
// code inside `fn` is shown as the window's faults are and `fn` abandoned:
// false then. The thread's owner then hears of it as AbandonedAfterFault,
// thrown on its own thread, which the guard takes as already shown.
struct AbandonedAfterFault {};
using GuardedRunner = bool (*)(void (*fn)(void*), void* ctx);
inline GuardedRunner g_guardedRunner = nullptr;  // set once, before any thread
inline bool RunGuarded(void (*fn)(void*), void* ctx) {
  if (g_guardedRunner) return g_guardedRunner(fn, ctx);
  fn(ctx);
  return true;
}
