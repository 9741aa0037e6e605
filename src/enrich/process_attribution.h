// The owning process of TCP and UDP conversations of either IP version, from
// the system's endpoint tables, and the program-wide cache of process file
// names and users.
#pragma once
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "base/options.h"
#include "capture/columns.h"
#include "capture/conversation_table.h"

struct EndpointEntry {
  int32_t family = 2;  // 2 IPv4, 23 IPv6
  int32_t kind = 0;    // 1 TCP, 2 UDP
  int32_t state = 0;   // TCP state as the system gives it; 0 for UDP
  uint32_t localAddress = 0;  // network order
  uint32_t localPort = 0;     // network-order port in the first two bytes
  uint32_t remoteAddress = 0;
  uint32_t remotePort = 0;
  uint32_t pid = 0;
  uint8_t localAddress6[16] = {};
  uint8_t remoteAddress6[16] = {};
};

// An entry's addresses, of its family.
IpAddress EndpointLocal(const EndpointEntry& e);
IpAddress EndpointRemote(const EndpointEntry& e);
// The host-order port of an entry's port field.
uint16_t EndpointPort(uint32_t field);
// The port field the system tables hold for a host-order port.
uint32_t EndpointPortField(uint16_t port);

// What the operating system tells about endpoints and processes.
class SystemTables {
 public:
  virtual ~SystemTables() = default;
  // Whether the system has owner tables at all (NT 5 or later).
  virtual bool Supported() = 0;
  // The endpoint tables now, in the system's order; false when none could be read.
  virtual bool ReadEndpoints(std::vector<EndpointEntry>* out) = 0;
  // Executable path and "domain\account" of a process; empty when unknown.
  virtual void DescribeProcess(uint32_t pid, char (&path)[261], char (&user)[64]) = 0;
};

class ProcessAttributor : public ProcessAttribution, public ProcessTable {
 public:
  ProcessAttributor(const Options& options, SystemTables& system) : options_(options), system_(system) {}

  // One pass over the table (AttributeProcesses).
  void Run(ConversationTable& table) override;
  const ProcessInfo* Get(int32_t index) const override;
  // -1 for pid 0; asks the system only the first time a pid is met.
  int32_t FindOrAddProcess(uint32_t pid);
  void ClearProcessCache();

  // Whether the last pass changed any conversation.
  bool changed = false;
  uint64_t reads = 0;  // system table reads

 private:
  struct Record {
    char path[261];
    char user[64];
    ProcessInfo info;
  };
  const Options& options_;
  SystemTables& system_;
  std::deque<Record> records_;
  std::unordered_map<uint32_t, int32_t> byPid_;
  std::vector<EndpointEntry> entries_;
  // Per pass: the entry that decides each conversation reached.
  struct Best {
    uint32_t entry;  // decides the state
    uint32_t owner;  // decides the process: kNone when no entry names one
    bool direct;
    bool ownerDirect;
    bool applied;
  };
  static constexpr uint32_t kNone = ~uint32_t(0);
  std::unordered_map<size_t, Best> best_;
  std::vector<size_t> order_;   // conversations in the order first reached
  std::vector<size_t> stated_;  // conversations whose state the last pass set
  std::vector<size_t> previous_;
  // A pass that finds the same endpoints, options and table as the last one
  // only has the conversations added since to look at, through the entries
  // by endpoints: the first and last entry of each (local, remote) pair.
  void Apply(ConversationTable& table, size_t index, uint32_t entry, uint32_t owner);
  bool Unchanged(const ConversationTable& table) const;
  struct Key {
    IpAddress local, remote;
    uint16_t localPort, remotePort;
    bool operator==(const Key& o) const {
      return local == o.local && remote == o.remote && localPort == o.localPort && remotePort == o.remotePort;
    }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  struct Span {
    uint32_t first, last, firstOwned, lastOwned;
  };
  std::unordered_map<Key, Span, KeyHash> byEndpoints_;
  // UDP sockets with an owner by their local address (all zero when bound
  // to any) and port, the system's first for each.
  std::unordered_map<Key, uint32_t, KeyHash> udpByLocal_;
  size_t udpTried_ = 0;  // UDP conversations below this index were tried
  void AttributeUdp(ConversationTable& table);
  uint32_t FindUdp(const IpAddress& address, uint16_t port) const;
  std::vector<EndpointEntry> lastEntries_;
  const ConversationTable* lastTable_ = nullptr;
  uint32_t lastClears_ = 0;
  size_t lastCount_ = 0;
  bool lastActiveView_ = false;
  bool valid_ = false;
  uint32_t snapshotReplay_ = ~uint32_t(0);  // the replay whose first pass read entries_
};
