// Reverse lookups of addresses on worker threads. Workers never touch the
// conversation table: their results wait in a queue until the table's own
// thread collects them with Deliver().
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "capture/conversation_table.h"

// The system's reverse lookup; called on worker threads, several at once.
class HostLookup {
 public:
  virtual ~HostLookup() = default;
  // `address` in network order; false when no name came back.
  virtual bool Reverse(uint32_t address, std::string* name) = 0;
};

// gethostbyaddr (Windows) or getnameinfo (native).
std::shared_ptr<HostLookup> SystemHostLookup();

class HostResolver : public NameResolver {
 public:
  static constexpr int kSlots = 1024;
  // Worker threads alive at once, abandoned ones included: a slow name
  // server must not let every rebuild add another kSlots threads.
  static constexpr int kMaxWorkers = kSlots;

  HostResolver(ConversationTable& table, std::shared_ptr<HostLookup> lookup);
  ~HostResolver() override;

  // Takes a free slot and starts its worker, or queues it for the next
  // worker to finish when kMaxWorkers are alive; false when all slots are
  // busy or no thread could be made.
  bool StartLookup(uint32_t address);
  void Request(uint32_t address) override { StartLookup(address); }
  // Frees every busy slot; the workers still running deliver nothing.
  void AbandonPending() override;
  // On the table's thread: writes the names that arrived; returns how many.
  int Deliver();
  int BusySlots() const;

  struct State;

 private:
  ConversationTable& table_;
  std::shared_ptr<State> state_;
};
