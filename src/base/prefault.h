// Fresh pages that are about to be written in full: one call maps them all,
// instead of one fault for each as it is first written.
#pragma once
#include <cstddef>

#if defined(__linux__)
#include <sys/mman.h>
#endif

inline void PrefaultPages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (p && bytes) madvise(p, bytes, MADV_POPULATE_WRITE);  // an older system faults them one by one
#else
  (void)p;
  (void)bytes;
#endif
}
