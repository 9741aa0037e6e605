// The frame scripts the capture stand-ins play: records of a 32-bit length and
// the frame, handed over by a test or read from a file named in the
// environment, and played from a thread of the stand-in's own as a driver would.
#pragma once
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace standin {

using Bytes = std::vector<uint8_t>;

inline Bytes EncodeScript(const std::vector<Bytes>& frames) {
  Bytes s;
  for (const Bytes& f : frames) {
    const uint32_t n = uint32_t(f.size());
    s.insert(s.end(), reinterpret_cast<const uint8_t*>(&n), reinterpret_cast<const uint8_t*>(&n) + 4);
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}

inline std::vector<Bytes> g_script;
inline int g_repeat = 1;
inline std::atomic<long> g_sent{0};

inline void SetScript(const uint8_t* records, size_t size, int repeat) {
  g_script.clear();
  for (size_t p = 0; p + 4 <= size;) {
    uint32_t len;
    memcpy(&len, records + p, 4);
    p += 4;
    if (len > size - p) break;
    g_script.emplace_back(records + p, records + p + len);
    p += len;
  }
  g_repeat = repeat;
}

// A script the test handed over wins over the environment's.
inline void LoadScriptFromEnvironment(const char* framesVariable) {
  if (!g_script.empty()) return;
  const char* path = getenv(framesVariable);
  FILE* f = path ? fopen(path, "rb") : nullptr;
  if (!f) return;
  Bytes records;
  for (int c; (c = fgetc(f)) != EOF;) records.push_back(uint8_t(c));
  fclose(f);
  SetScript(records.data(), records.size(), 1);
}

class Delivery {
 public:
  using Send = void (*)(void* owner, const Bytes* frames, size_t count);
  bool Start(Send send, void* owner, size_t batch) {
    send_ = send;
    owner_ = owner;
    batch_ = batch;
    stop_ = false;
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    return thread_ != nullptr;
  }
  void Stop() {
    stop_ = true;
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* p) {
    auto* d = static_cast<Delivery*>(p);
    for (int r = 0; r < g_repeat && !d->stop_; r++)
      for (size_t first = 0; first < g_script.size() && !d->stop_; first += d->batch_) {
        const size_t n = std::min(d->batch_, g_script.size() - first);
        d->send_(d->owner_, g_script.data() + first, n);
        g_sent += long(n);
      }
    return 0;
  }
  Send send_ = nullptr;
  void* owner_ = nullptr;
  size_t batch_ = 1;
  std::atomic<bool> stop_{false};
  HANDLE thread_ = nullptr;
};

}  // namespace standin
