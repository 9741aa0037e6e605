// Work shared with a second thread, in order, for the long jobs of reports
// and loads (millions of packets and rows) on a machine with two cores.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "base/thread.h"

// Batches made on one thread and taken, in order, on a second one, so that
// reading a capture and accounting its packets overlap. At most N batches
// wait: the maker waits when the taker lags, which bounds the memory
// whatever the input.
template <class Batch, int N>
class BatchPipe {
 public:
  // Starts `take(arg, batch)` for each batch on a thread of its own; false
  // when no thread could be made (Send then takes each batch at once).
  bool StartTaker(void (*take)(void*, Batch&), void* arg, size_t stackBytes) {
    take_ = take;
    arg_ = arg;
    threaded_ = StartDetachedThread(&Run, this, stackBytes);
    return threaded_;
  }
  // The maker's next batch to fill.
  Batch& Free() {
    if (!threaded_) return slots_[0];
    std::unique_lock<std::mutex> l(m_);
    // Once all are full, the maker waits for half of them: one wake-up
    // for several batches, each a switch between threads.
    if (waiting_ == N) WaitFor(l, N / 2);
    return slots_[(first_ + waiting_) % N];
  }
  // Hands over the batch Free() gave.
  void Send() {
    if (!threaded_) {
      take_(arg_, slots_[0]);
      return;
    }
    std::lock_guard<std::mutex> l(m_);
    if (++waiting_ >= kWakeTaker && takerWaits_) ready_.notify_one();
  }
  // Returns once the taker has taken every batch sent, so that the maker
  // may look at what the taker changes.
  void Drain() {
    if (!threaded_) return;
    std::unique_lock<std::mutex> l(m_);
    WaitFor(l, 0);
  }
  // No more batches; returns once the taker has taken every one.
  void Finish() {
    if (!threaded_) return;
    std::unique_lock<std::mutex> l(m_);
    closed_ = true;
    if (takerWaits_) ready_.notify_one();
    room_.wait(l, [&] { return done_; });
    threaded_ = false;
  }
  ~BatchPipe() { Finish(); }

 private:
  static constexpr int kWakeTaker = N > 2 ? 2 : 1;  // batches that wake a waiting taker
  void WaitFor(std::unique_lock<std::mutex>& l, int most) {
    wakeAt_ = most;
    if (takerWaits_ && waiting_) ready_.notify_one();
    room_.wait(l, [&] { return waiting_ <= most; });
    wakeAt_ = -1;
  }
  static void Run(void* p) {
    BatchPipe& pipe = *static_cast<BatchPipe*>(p);
    std::unique_lock<std::mutex> l(pipe.m_);
    for (;;) {
      if (!pipe.waiting_ && !pipe.closed_) {
        pipe.takerWaits_ = true;
        pipe.ready_.wait(l, [&] {
          return pipe.waiting_ >= kWakeTaker || (pipe.waiting_ && pipe.wakeAt_ >= 0) || pipe.closed_;
        });
        pipe.takerWaits_ = false;
      }
      if (!pipe.waiting_) break;
      Batch& b = pipe.slots_[pipe.first_];
      l.unlock();
      pipe.take_(pipe.arg_, b);
      l.lock();
      pipe.first_ = (pipe.first_ + 1) % N;
      if (--pipe.waiting_ <= pipe.wakeAt_) pipe.room_.notify_one();
    }
    pipe.done_ = true;
    pipe.room_.notify_one();
  }

  Batch slots_[N];
  void (*take_)(void*, Batch&) = nullptr;
  void* arg_ = nullptr;
  bool threaded_ = false;
  std::mutex m_;
  std::condition_variable ready_, room_;
  int first_ = 0, waiting_ = 0;
  int wakeAt_ = -1;  // the maker waits for at most this many waiting
  bool takerWaits_ = false, closed_ = false, done_ = false;
};

// Items 0..n-1, each made by `make(item, slot)` and then used by
// `use(item, slot)` in order on the caller's thread. Two of every three
// items are made on a helper thread meanwhile, into slots
// 0..kHelperSlots-1, the others by the caller into slot kHelperSlots: the
// caller uses them all. Stops at the first use that returns false, and
// returns false then. `make` must be safe on both threads at once for
// different slots.
constexpr int kHelperSlots = 4;
template <class Make, class Use>
bool MakeOnTwoThreads(size_t n, Make& make, Use& use, size_t stackBytes) {
  struct Shared {
    Shared(Make& mk, size_t count) : make(mk), n(count) {}
    static bool Helpers(size_t k) { return k % 3 != 0; }
    // The helper's items before item k.
    static size_t HelperIndex(size_t k) { return k - k / 3 - 1; }
    Make& make;
    size_t n;
    std::mutex m;
    std::condition_variable cv;
    size_t made = 0, used = 0;  // the helper's items
    bool stop = false, finished = false;
    static void Run(void* p) {
      Shared& s = *static_cast<Shared*>(p);
      for (size_t k = 1; k < s.n; k++) {
        if (!Helpers(k)) continue;
        {
          std::unique_lock<std::mutex> l(s.m);
          s.cv.wait(l, [&] { return s.stop || s.made - s.used < size_t(kHelperSlots); });
          if (s.stop) break;
        }
        s.make(k, int(HelperIndex(k) % kHelperSlots));
        std::lock_guard<std::mutex> l(s.m);
        s.made++;
        s.cv.notify_all();
      }
      std::lock_guard<std::mutex> l(s.m);
      s.finished = true;
      s.cv.notify_all();
    }
  } s(make, n);
  const bool helped = n > 1 && StartDetachedThread(&Shared::Run, &s, stackBytes);
  bool ok = true;
  for (size_t k = 0; k < n && ok; k++) {
    if (!helped || !Shared::Helpers(k)) {
      make(k, kHelperSlots);
      ok = use(k, kHelperSlots);
      continue;
    }
    const size_t h = Shared::HelperIndex(k);
    {
      std::unique_lock<std::mutex> l(s.m);
      s.cv.wait(l, [&] { return s.made > h; });
    }
    ok = use(k, int(h % kHelperSlots));
    std::lock_guard<std::mutex> l(s.m);
    s.used++;
    s.cv.notify_all();
  }
  if (helped) {
    std::unique_lock<std::mutex> l(s.m);
    s.stop = true;
    s.cv.notify_all();
    s.cv.wait(l, [&] { return s.finished; });
  }
  return ok;
}
