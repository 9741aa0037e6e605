#include "enrich/resolver.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

// A worker owns its slot only while the slot still carries the worker's
// ticket: cancelling or reusing a slot gives it a new one, so a late worker
// can neither free nor deliver through a slot that another lookup holds.
struct HostResolver::State {
  struct Slot {
    bool busy = false;
    uint64_t ticket = 0;
    uint32_t address = 0;
  };
  mutable std::mutex mutex;
  std::condition_variable idle;
  Slot slots[kSlots];
  uint64_t nextTicket = 1;
  int running = 0;  // worker threads alive, busy or cancelled
  std::deque<std::pair<int, uint64_t>> queued;  // slot and ticket, waiting for a worker
  std::vector<std::pair<uint32_t, std::string>> results;
  std::shared_ptr<HostLookup> lookup;
};

namespace {

struct WorkerArgs {
  std::shared_ptr<HostResolver::State> state;
  int slot;
  uint64_t ticket;
  uint32_t address;
};

// Workers spend their life in the system's resolver; a small stack keeps
// a thousand of them within a 32-bit address space.
constexpr size_t kWorkerStack = 256 * 1024;

void* Worker(void* p) {
  std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(p));
  HostResolver::State& s = *args->state;
  int index = args->slot;
  uint64_t ticket = args->ticket;
  uint32_t address = args->address;
  for (;;) {
    std::string name;
    const bool ok = s.lookup->Reverse(address, &name) && !name.empty();
    std::lock_guard<std::mutex> lock(s.mutex);
    HostResolver::State::Slot& slot = s.slots[index];
    if (slot.busy && slot.ticket == ticket) {
      if (ok) s.results.emplace_back(address, std::move(name));
      slot.busy = false;
    }
    // Queued lookups have no thread of their own: a finishing worker,
    // cancelled or not, carries on with the next one still wanted.
    bool more = false;
    while (!more && !s.queued.empty()) {
      std::tie(index, ticket) = s.queued.front();
      s.queued.pop_front();
      const HostResolver::State::Slot& next = s.slots[index];
      more = next.busy && next.ticket == ticket;
      address = next.address;
    }
    if (!more) {
      if (--s.running == 0) s.idle.notify_all();
      return nullptr;
    }
  }
}

}  // namespace

HostResolver::HostResolver(ConversationTable& table, std::shared_ptr<HostLookup> lookup)
    : table_(table), state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
}

HostResolver::~HostResolver() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  for (State::Slot& s : state_->slots) s.busy = false;
  state_->queued.clear();
  state_->results.clear();
  // Workers keep the state alive by themselves; waiting a little only lets
  // quick ones finish before the program goes on to exit.
  state_->idle.wait_for(lock, std::chrono::milliseconds(250), [&] { return state_->running == 0; });
}

bool HostResolver::StartLookup(uint32_t address) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  int free = -1;
  for (int i = 0; i < kSlots && free < 0; i++)
    if (!s.slots[i].busy) free = i;
  if (free < 0) return false;
  State::Slot& slot = s.slots[free];
  const uint64_t ticket = s.nextTicket++;
  if (s.running >= kMaxWorkers) {
    s.queued.emplace_back(free, ticket);
  } else {
    auto* args = new WorkerArgs{state_, free, ticket, address};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
      delete args;
      return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kWorkerStack);
    pthread_t thread;
    // The worker blocks on the mutex until the slot below is filled in.
    const int rc = pthread_create(&thread, &attr, Worker, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      delete args;
      return false;
    }
    s.running++;
  }
  slot.busy = true;
  slot.ticket = ticket;
  slot.address = address;
  return true;
}

void HostResolver::AbandonPending() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (State::Slot& s : state_->slots) s.busy = false;
  state_->queued.clear();
  state_->results.clear();
}

int HostResolver::Deliver() {
  std::vector<std::pair<uint32_t, std::string>> results;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    results.swap(state_->results);
  }
  table_.SetHostNames(results);
  return int(results.size());
}

int HostResolver::BusySlots() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  int n = 0;
  for (const State::Slot& s : state_->slots) n += s.busy;
  return n;
}
