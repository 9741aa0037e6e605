// Detached threads with a stack of a size we choose. On Windows the size
// must be the stack's reservation: the threads library passes it as the
// commit, and every thread then reserves the executable's default stack.
#pragma once
#include <cstddef>

using ThreadBody = void (*)(void* arg);
// Starts `body(arg)` on a detached thread whose stack reserves `stackBytes`;
// false when no thread could be made (the body then never runs).
bool StartDetachedThread(ThreadBody body, void* arg, size_t stackBytes);
