// Work shared with a second thread, in order, for the long jobs of reports
// and loads (millions of packets and rows) on a machine with two cores.
// The state both threads use is shared with the second thread, which lets go
// of it last: the threads library may still touch a mutex after unlocking
// it. What the second thread throws (out of memory) is thrown again on the
// first, where the caller's handlers are, and so is a fault the front end's
// guard caught there (AbandonedAfterFault).
#pragma once
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

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
    s_->take = take;
    s_->arg = arg;
    auto* start = new std::shared_ptr<State>(s_);
    threaded_ = StartDetachedThread(&Run, start, stackBytes);
    if (!threaded_) delete start;
    return threaded_;
  }
  // The maker's next batch to fill.
  Batch& Free() {
    State& s = *s_;
    if (!threaded_) return s.slots[0];
    std::unique_lock<std::mutex> l(s.m);
    // Once all are full, the maker waits for half of them: one wake-up
    // for several batches, each a switch between threads.
    if (s.waiting == N) WaitFor(l, N / 2);
    return s.slots[(s.first + s.waiting) % N];
  }
  // Hands over the batch Free() gave. True when the taker lags: half of
  // the batches or more are waiting for it.
  bool Send() {
    State& s = *s_;
    if (!threaded_) {
      s.take(s.arg, s.slots[0]);
      return false;
    }
    std::lock_guard<std::mutex> l(s.m);
    if (++s.waiting >= kWakeTaker && s.takerWaits) s.ready.notify_one();
    return s.waiting >= N / 2;
  }
  // Returns once the taker has taken every batch sent, so that the maker
  // may look at what the taker changes; throws what the taker threw.
  void Drain() {
    if (!threaded_) return;
    {
      std::unique_lock<std::mutex> l(s_->m);
      WaitFor(l, 0);
    }
    if (s_->error) std::rethrow_exception(s_->error);
  }
  // No more batches; returns once the taker has taken every one. Throws
  // what the taker threw, unless `quietly`.
  void Finish(bool quietly = false) {
    if (threaded_) {
      State& s = *s_;
      std::unique_lock<std::mutex> l(s.m);
      s.closed = true;
      if (s.takerWaits) s.ready.notify_one();
      s.room.wait(l, [&] { return s.done; });
      threaded_ = false;
    }
    if (s_->error && !quietly) std::rethrow_exception(std::exchange(s_->error, nullptr));
  }
  ~BatchPipe() { Finish(true); }

 private:
  static constexpr int kWakeTaker = N > 2 ? 2 : 1;  // batches that wake a waiting taker
  struct State {
    Batch slots[N];
    void (*take)(void*, Batch&) = nullptr;
    void* arg = nullptr;
    std::mutex m;
    std::condition_variable ready, room;
    int first = 0, waiting = 0;
    int wakeAt = -1;  // the maker waits for at most this many waiting
    bool takerWaits = false, closed = false, done = false;
    std::exception_ptr error;  // the taker's; it takes nothing more after one
  };
  void WaitFor(std::unique_lock<std::mutex>& l, int most) {
    State& s = *s_;
    s.wakeAt = most;
    if (s.takerWaits && s.waiting) s.ready.notify_one();
    s.room.wait(l, [&] { return s.waiting <= most; });
    s.wakeAt = -1;
  }
  static void Run(void* p) {
    const std::shared_ptr<State> held = std::move(*static_cast<std::shared_ptr<State>*>(p));
    delete static_cast<std::shared_ptr<State>*>(p);
    State& s = *held;
    std::unique_lock<std::mutex> l(s.m);
    for (;;) {
      if (!s.waiting && !s.closed) {
        s.takerWaits = true;
        s.ready.wait(l, [&] { return s.waiting >= kWakeTaker || (s.waiting && s.wakeAt >= 0) || s.closed; });
        s.takerWaits = false;
      }
      if (!s.waiting) break;
      Batch& b = s.slots[s.first];
      l.unlock();
      if (!s.error) {
        try {
          struct Call {
            State& s;
            Batch& b;
          } call{s, b};
          const auto take = [](void* p) {
            Call& c = *static_cast<Call*>(p);
            c.s.take(c.s.arg, c.b);
          };
          if (!RunGuarded(take, &call)) s.error = std::make_exception_ptr(AbandonedAfterFault());
        } catch (...) {
          s.error = std::current_exception();
        }
      }
      l.lock();
      s.first = (s.first + 1) % N;
      if (--s.waiting <= s.wakeAt) s.room.notify_one();
    }
    s.done = true;
    s.room.notify_one();
  }

  std::shared_ptr<State> s_ = std::make_shared<State>();
  bool threaded_ = false;
};

// Items 0..n-1, each made by `make(item, slot, worker)` and then used by
// `use(item, slot)` in order on the caller's thread. A helper thread makes
// items meanwhile, and the caller makes the next unclaimed one whenever
// the item it needs is still being made: the work divides itself by what
// using costs (a slow disk leaves the making to the helper). Slots are
// 0..kMakeSlots-1; `worker` is 0 on the caller's thread and 1 on the
// helper's. Stops at the first use that returns false, and returns false
// then. `make` must be safe on both threads at once for different slots
// and workers; what it throws on either is thrown here once the helper is
// done.
constexpr int kMakeSlots = 6;
template <class Make, class Use>
bool MakeOnTwoThreads(size_t n, Make& make, Use& use, size_t stackBytes) {
  struct Shared {
    Shared(Make& mk, size_t count) : make(mk), n(count) {}
    Make& make;
    size_t n;
    std::mutex m;
    std::condition_variable cv;
    size_t next = 0, used = 0;  // the first item not yet claimed, not yet used
    bool made[kMakeSlots] = {};
    bool stop = false, finished = false;
    std::exception_ptr error;
    // Under m: the item this worker is to make now, or n for none.
    size_t Claim() {
      if (stop || next >= n || next >= used + kMakeSlots) return n;
      return next++;
    }
    // The helper's items, until none is left to claim. A fault abandons it
    // between locks: the mutex is never held while an item is made.
    static void MakeAll(void* p) {
      Shared& s = *static_cast<Shared*>(p);
      for (;;) {
        size_t k;
        {
          std::unique_lock<std::mutex> l(s.m);
          s.cv.wait(l, [&] { return s.stop || s.next >= s.n || s.next < s.used + kMakeSlots; });
          if ((k = s.Claim()) == s.n) break;
        }
        s.make(k, int(k % kMakeSlots), 1);
        std::lock_guard<std::mutex> l(s.m);
        s.made[k % kMakeSlots] = true;
        s.cv.notify_all();
      }
    }
    static void Run(void* p) {
      const std::shared_ptr<Shared> held = std::move(*static_cast<std::shared_ptr<Shared>*>(p));
      delete static_cast<std::shared_ptr<Shared>*>(p);
      Shared& s = *held;
      try {
        if (!RunGuarded(&MakeAll, &s)) s.error = std::make_exception_ptr(AbandonedAfterFault());
      } catch (...) {
        s.error = std::current_exception();
      }
      std::lock_guard<std::mutex> l(s.m);
      s.finished = true;
      s.cv.notify_all();
    }
  };
  const auto shared = std::make_shared<Shared>(make, n);
  Shared& s = *shared;
  bool helped = false;
  if (n > 1) {
    auto* start = new std::shared_ptr<Shared>(shared);
    helped = StartDetachedThread(&Shared::Run, start, stackBytes);
    if (!helped) delete start;
  }
  auto stopHelper = [&] {
    if (!helped) return;
    std::unique_lock<std::mutex> l(s.m);
    s.stop = true;
    s.cv.notify_all();
    s.cv.wait(l, [&] { return s.finished; });
  };
  bool ok = true;
  try {
    for (size_t k = 0; k < n && ok; k++) {
      const int slot = int(k % kMakeSlots);
      for (;;) {
        size_t mine;
        {
          std::unique_lock<std::mutex> l(s.m);
          if (s.made[slot]) break;
          // Item k is unclaimed (this thread takes it), or the helper's:
          // then this thread makes a later one, or waits when none is free.
          if ((mine = s.Claim()) == n) {
            s.cv.wait(l, [&] { return s.made[slot] || s.finished; });
            if (!s.made[slot]) break;  // the helper threw
            continue;
          }
        }
        make(mine, int(mine % kMakeSlots), 0);
        std::lock_guard<std::mutex> l(s.m);
        s.made[mine % kMakeSlots] = true;
      }
      {
        std::lock_guard<std::mutex> l(s.m);
        if (!s.made[slot]) break;
      }
      ok = use(k, slot);
      std::lock_guard<std::mutex> l(s.m);
      s.made[slot] = false;
      s.used++;
      s.cv.notify_all();
    }
  } catch (...) {
    stopHelper();  // it uses the caller's `make`
    throw;
  }
  stopHelper();
  if (s.error) std::rethrow_exception(s.error);
  return ok;
}
