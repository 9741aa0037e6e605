#include <pthread.h>

#include "base/thread.h"

namespace {
struct Start {
  ThreadBody body;
  void* arg;
};
void* Run(void* p) {
  Start s = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  s.body(s.arg);
  return nullptr;
}
}  // namespace

bool StartDetachedThread(ThreadBody body, void* arg, size_t stackBytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, stackBytes);
  auto* s = new Start{body, arg};
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, Run, s);
  pthread_attr_destroy(&attr);
  if (rc != 0) delete s;
  return rc == 0;
}
