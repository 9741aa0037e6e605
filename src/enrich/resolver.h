// Reverse lookups of addresses on worker threads. Workers never touch the
// conversation table: their results wait in a queue until the table's own
// thread collects them with Deliver().
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "base/thread.h"
#include "capture/conversation_table.h"

// The system's reverse lookup; called on worker threads, several at once.
class HostLookup {
 public:
  virtual ~HostLookup() = default;
  // `address` in network order; false when no name came back.
  virtual bool Reverse(uint32_t address, std::string* name) = 0;
  virtual bool Reverse6(const uint8_t (&)[16], std::string*) { return false; }
};

// gethostbyaddr (Windows) or getnameinfo (native); getnameinfo for IPv6.
std::shared_ptr<HostLookup> SystemHostLookup();

class HostResolver : public NameResolver {
 public:
  static constexpr int kSlots = 1024;
  // Worker threads alive at once, abandoned ones included: a slow name
  // server must not let every rebuild add threads. A thread costs at least
  // 2 MiB of address space under Wine, whatever stack it asks for, so a
  // thread per slot would take a 32-bit process's whole space; the other
  // lookups wait in their slots for a worker.
  static constexpr int kMaxWorkers = 128;
  // Workers spend their life in the system's resolver; a small stack keeps
  // a thousand of them within a 32-bit address space.
  static constexpr size_t kWorkerStack = 256 * 1024;
  using ThreadStarter = bool (*)(ThreadBody body, void* arg, size_t stackBytes);

  HostResolver(ConversationTable& table, std::shared_ptr<HostLookup> lookup,
               ThreadStarter starter = StartDetachedThread);
  ~HostResolver() override;

  // Takes a free slot and queues its lookup for a worker, starting one when
  // fewer than kMaxWorkers are alive; false only when all slots are busy.
  bool StartLookup(const IpAddress& address);
  bool StartLookup(uint32_t address) { return StartLookup(IpAddress::V4(address)); }
  void Request(uint32_t address) override { StartLookup(address); }
  void Request6(const IpAddress& address) override { StartLookup(address); }
  // Frees every busy slot; the workers still running deliver nothing.
  void AbandonPending() override;
  // On the table's thread: writes the names that arrived; returns how many.
  int Deliver();
  int BusySlots() const;
  int Workers() const;

  struct State;

 private:
  ConversationTable& table_;
  std::shared_ptr<State> state_;
};
