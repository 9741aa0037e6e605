#include "enrich/resolver.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "capture/dns.h"

// A worker owns its slot only while the slot still carries the worker's
// ticket: cancelling or reusing a slot gives it a new one, so a late worker
// can neither free nor deliver through a slot that another lookup holds.
// Lookups wait in `queued` until a worker takes them, so a lookup whose
// thread could not be made is not lost: the next worker or Deliver serves it.
struct HostResolver::State {
  struct Slot {
    bool busy = false;
    uint64_t ticket = 0;
    IpAddress address;
  };
  mutable std::mutex mutex;
  std::condition_variable idle;
  Slot slots[kSlots];
  uint64_t nextTicket = 1;
  int running = 0;    // worker threads alive, busy or cancelled
  int unclaimed = 0;  // started workers that have not yet taken a lookup
  std::deque<std::pair<int, uint64_t>> queued;  // slot and ticket, waiting for a worker
  std::vector<std::pair<IpAddress, std::string>> results;
  std::shared_ptr<HostLookup> lookup;
  HostResolver::ThreadStarter startThread;
};

namespace {

void Worker(void* p) {
  std::shared_ptr<HostResolver::State> state(std::move(*static_cast<std::shared_ptr<HostResolver::State>*>(p)));
  delete static_cast<std::shared_ptr<HostResolver::State>*>(p);
  HostResolver::State& s = *state;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.unclaimed--;
  for (;;) {
    int index = -1;
    uint64_t ticket = 0;
    while (index < 0 && !s.queued.empty()) {
      std::tie(index, ticket) = s.queued.front();
      s.queued.pop_front();
      const HostResolver::State::Slot& next = s.slots[index];
      if (!next.busy || next.ticket != ticket) index = -1;  // cancelled while it waited
    }
    if (index < 0) {
      if (--s.running == 0) s.idle.notify_all();
      return;
    }
    const IpAddress address = s.slots[index].address;
    lock.unlock();
    std::string name;
    const bool ok = (address.is6() ? s.lookup->Reverse6(address.bytes, &name) : s.lookup->Reverse(address.v4(), &name)) &&
                    !name.empty();
    // A reverse name comes off the network as DNS answers do: cleaned alike.
    for (size_t i = 0; i < name.size(); i++) name[i] = HostNameByte(uint8_t(name[i]), i == 0);
    lock.lock();
    HostResolver::State::Slot& slot = s.slots[index];
    if (slot.busy && slot.ticket == ticket) {
      if (ok) s.results.emplace_back(address, std::move(name));
      slot.busy = false;
    }
  }
}

// Starts workers for the queued lookups no worker has claimed yet, within
// kMaxWorkers; stops at the first thread that cannot be made.
void StartWorkers(const std::shared_ptr<HostResolver::State>& state) {
  HostResolver::State& s = *state;
  while (s.running < HostResolver::kMaxWorkers && int(s.queued.size()) > s.unclaimed) {
    auto* arg = new std::shared_ptr<HostResolver::State>(state);
    // The worker blocks on the mutex, held by our caller, until we are done.
    if (!s.startThread(Worker, arg, HostResolver::kWorkerStack)) {
      delete arg;
      return;
    }
    s.running++;
    s.unclaimed++;
  }
}

}  // namespace

HostResolver::HostResolver(ConversationTable& table, std::shared_ptr<HostLookup> lookup, ThreadStarter starter)
    : table_(table), state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  state_->startThread = starter;
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

bool HostResolver::StartLookup(const IpAddress& address) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  int free = -1;
  for (int i = 0; i < kSlots && free < 0; i++)
    if (!s.slots[i].busy) free = i;
  if (free < 0) return false;
  State::Slot& slot = s.slots[free];
  slot.busy = true;
  slot.ticket = s.nextTicket++;
  slot.address = address;
  s.queued.emplace_back(free, slot.ticket);
  StartWorkers(state_);
  return true;
}

void HostResolver::AbandonPending() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (State::Slot& s : state_->slots) s.busy = false;
  state_->queued.clear();
  state_->results.clear();
}

int HostResolver::Deliver() {
  std::vector<std::pair<IpAddress, std::string>> results;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    results.swap(state_->results);
    StartWorkers(state_);  // lookups whose thread could not be made earlier
  }
  // IPv4 names in one pass over the table, IPv6 ones by their entries.
  std::vector<std::pair<uint32_t, std::string>> v4;
  for (auto& r : results)
    if (r.first.is6()) table_.SetHostName(r.first, r.second.c_str());
    else v4.emplace_back(r.first.v4(), std::move(r.second));
  table_.SetHostNames(v4);
  return int(results.size());
}

int HostResolver::BusySlots() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  int n = 0;
  for (const State::Slot& s : state_->slots) n += s.busy;
  return n;
}

int HostResolver::Workers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->running;
}
