#include "enrich/process_attribution.h"

#include <cstring>

uint16_t EndpointPort(uint32_t field) {
  uint8_t b[4];
  memcpy(b, &field, 4);
  return uint16_t(b[0] << 8 | b[1]);
}

uint32_t EndpointPortField(uint16_t port) {
  const uint8_t b[4] = {uint8_t(port >> 8), uint8_t(port), 0, 0};
  uint32_t field;
  memcpy(&field, b, 4);
  return field;
}

IpAddress EndpointLocal(const EndpointEntry& e) {
  return e.family == 23 ? IpAddress::V6(e.localAddress6) : IpAddress::V4(e.localAddress);
}

IpAddress EndpointRemote(const EndpointEntry& e) {
  return e.family == 23 ? IpAddress::V6(e.remoteAddress6) : IpAddress::V4(e.remoteAddress);
}

size_t ProcessAttributor::KeyHash::operator()(const Key& k) const {
  uint64_t w[4];
  memcpy(w, k.local.bytes, 16);
  memcpy(w + 2, k.remote.bytes, 16);
  uint64_t h = (uint64_t(k.localPort) << 16 | k.remotePort) + k.local.family;
  for (uint64_t x : w) h = (h ^ x) * 0x9E3779B97F4A7C15ULL + (h >> 29);
  return size_t(h ^ h >> 32);
}

bool ProcessAttributor::Unchanged(const ConversationTable& table) const {
  return valid_ && lastTable_ == &table && lastClears_ == table.clears && table.count() >= lastCount_ &&
         lastActiveView_ == bool(options_.ShowOnlyActiveConnections) && entries_.size() == lastEntries_.size() &&
         (entries_.empty() ||
          memcmp(entries_.data(), lastEntries_.data(), entries_.size() * sizeof(EndpointEntry)) == 0);
}

void ProcessAttributor::Apply(ConversationTable& table, size_t index, uint32_t entry, uint32_t owner) {
  Conversation& c = table.at(index);
  const EndpointEntry& e = entries_[entry];
  // A closed or time-wait socket has no owner any more (Windows gives such
  // rows PID 0): the peer's owner is borrowed only for a live one.
  const bool live = e.state != 1 && e.state != 11 && e.state != 12;
  const int32_t process = e.pid || !live || owner == kNone ? FindOrAddProcess(e.pid) : FindOrAddProcess(entries_[owner].pid);
  if (c.processIndex != process || c.connectionState != e.state) {
    c.flags &= uint16_t(~kRowTextCurrent);
    changed = true;
  }
  c.processIndex = process;
  c.connectionState = e.state;
  if (e.state) stated_.push_back(index);
}

// The pass goes from the endpoints to the conversations through the table's
// index, so its cost does not grow with the table: for each TCP entry with a
// remote side, the conversation with the same endpoints (either way round)
// is found; among the entries reaching one conversation the first direct
// match wins, else the last mirrored one, as a scan of the entries per
// conversation would decide.
// Where the deciding entry of a live connection names no process (Wine
// cannot tell the owner of a socket that a Linux program holds, nor of one
// its program has only accepted) the process comes from the best entry that
// names one, ranked the same way: on a loopback connection that is the
// other end, also a local program.
void ProcessAttributor::Run(ConversationTable& table) {
  changed = false;
  if (table.importMode || table.foreign) return;
  if (!options_.GetProcessInfo && !options_.ShowOnlyActiveConnections) return;
  if (!system_.Supported()) return;
  // One read of the system tables serves a whole replay of the file: the
  // packets read back do not change them, and a read per new conversation
  // would cost far more than the replay itself.
  const bool reuse = table.replaying && valid_ && snapshotReplay_ == table.replays && lastTable_ == &table;
  if (!reuse) {
    reads++;
    entries_.clear();
    if (!system_.ReadEndpoints(&entries_)) {
      valid_ = false;
      return;
    }
    snapshotReplay_ = table.replaying ? table.replays : ~uint32_t(0);
  }
  if (Unchanged(table)) {
    // Outside the active view, attributed conversations are not looked at
    // again, so the states that the last pass gave them lapse.
    if (!options_.ShowOnlyActiveConnections) {
      for (size_t i : stated_) table.at(i).connectionState = 0;
      stated_.clear();
    }
    AttributeUdp(table);
    for (size_t i = lastCount_; i < table.count(); i++) {
      const Conversation& c = table.at(i);
      if (c.protocol != kProtoTcp || (c.processIndex != -1 && !options_.ShowOnlyActiveConnections)) continue;
      const IpAddress local = table.LocalIp(c), remote = table.RemoteIp(c);
      auto direct = byEndpoints_.find(Key{local, remote, c.localPort, c.remotePort});
      auto mirrored = byEndpoints_.find(Key{remote, local, c.remotePort, c.localPort});
      const bool hasDirect = direct != byEndpoints_.end(), hasMirrored = mirrored != byEndpoints_.end();
      if (!hasDirect && !hasMirrored) continue;
      uint32_t owner = hasDirect ? direct->second.firstOwned : kNone;
      if (owner == kNone && hasMirrored) owner = mirrored->second.lastOwned;
      Apply(table, i, hasDirect ? direct->second.first : mirrored->second.last, owner);
    }
    lastCount_ = table.count();
    return;
  }

  previous_.swap(stated_);
  stated_.clear();
  best_.clear();
  order_.clear();
  byEndpoints_.clear();
  udpByLocal_.clear();
  if (lastTable_ != &table || lastClears_ != table.clears || table.count() < udpTried_) udpTried_ = 0;
  for (uint32_t n = 0; n < entries_.size(); n++) {
    const EndpointEntry& e = entries_[n];
    static const uint8_t kZero[16] = {};
    const IpAddress local = EndpointLocal(e), remote = EndpointRemote(e);
    if (e.kind == 2 && e.pid && (e.family == 2 || e.family == 23))
      udpByLocal_.emplace(Key{local, IpAddress(), EndpointPort(e.localPort), 0}, n);
    if (e.kind != 1 || (e.family != 2 && e.family != 23) || !memcmp(remote.bytes, kZero, 16)) continue;
    DecodedPacket d;
    d.protocol = kProtoTcp;
    d.localPort = EndpointPort(e.localPort);
    d.remotePort = EndpointPort(e.remotePort);
    const uint32_t owned = e.pid ? n : kNone;
    auto span = byEndpoints_.emplace(Key{local, remote, d.localPort, d.remotePort}, Span{n, n, owned, owned});
    Span& s = span.first->second;
    s.last = n;
    if (e.pid) {
      if (s.firstOwned == kNone) s.firstOwned = n;
      s.lastOwned = n;
    }
    // An IPv6 conversation's key holds its addresses' entries.
    if (local.is6()) {
      d.family = 6;
      d.localAddress = table.addresses().Find6(local.bytes);
      d.remoteAddress = table.addresses().Find6(remote.bytes);
      if (!d.localAddress || !d.remoteAddress) continue;
    } else {
      d.localAddress = e.localAddress;
      d.remoteAddress = e.remoteAddress;
    }
    Conversation* c = table.FindConversation(d);
    if (!c || c->protocol != kProtoTcp) continue;
    const bool direct = c->localAddress == d.localAddress && c->remoteAddress == d.remoteAddress &&
                        c->localPort == d.localPort && c->remotePort == d.remotePort;
    const size_t index = c->index - 1;
    auto it = best_.find(index);
    if (it == best_.end()) {
      best_.emplace(index, Best{n, owned, direct, direct, false});
      order_.push_back(index);
      continue;
    }
    Best& b = it->second;
    if (!b.direct) {
      b.entry = n;
      b.direct = direct;
    }
    if (e.pid && (b.owner == kNone || !b.ownerDirect)) {
      b.owner = n;
      b.ownerDirect = direct;
    }
  }
  for (size_t index : order_) {
    Conversation& c = table.at(index);
    if (c.processIndex != -1 && !options_.ShowOnlyActiveConnections) continue;
    Best& b = best_[index];
    b.applied = true;
    Apply(table, index, b.entry, b.owner);
  }
  AttributeUdp(table);
  // States the last pass set that no entry confirmed now.
  for (size_t i : previous_) {
    if (i >= table.count() || !table.at(i).connectionState) continue;
    auto it = best_.find(i);
    if (it != best_.end() && it->second.applied) continue;
    table.at(i).connectionState = 0;
    table.at(i).flags &= uint16_t(~kRowTextCurrent);
    changed = true;
  }
  lastEntries_ = entries_;
  lastTable_ = &table;
  lastClears_ = table.clears;
  lastCount_ = table.count();
  lastActiveView_ = options_.ShowOnlyActiveConnections != 0;
  valid_ = true;
}
uint32_t ProcessAttributor::FindUdp(const IpAddress& address, uint16_t port) const {
  auto it = udpByLocal_.find(Key{address, IpAddress(), port, 0});
  if (it != udpByLocal_.end()) return it->second;
  IpAddress any;
  any.family = address.family;
  it = udpByLocal_.find(Key{any, IpAddress(), port, 0});
  return it != udpByLocal_.end() ? it->second : kNone;
}

// A UDP socket has no remote side, so a UDP conversation is the socket's
// that has its local address (or any) and port. The remote side is looked
// up too when it is this machine as well (loopback), never for another
// host: its port may be a local server's by chance. Each conversation is
// tried once, in the pass that its first packet starts, while its sender's
// socket is still open; a later try would cost every pass the table's
// unattributed UDP conversations.
void ProcessAttributor::AttributeUdp(ConversationTable& table) {
  for (size_t i = udpTried_; i < table.count(); i++) {
    const Conversation& c = table.at(i);
    if (c.protocol != kProtoUdp || c.processIndex != -1) continue;
    uint32_t entry = FindUdp(table.LocalIp(c), c.localPort);
    const IpAddress remote = table.RemoteIp(c);
    const bool remoteHere = remote.is6() ? table.local.IsLocal6(remote.bytes) ||
                                               (remote.bytes[15] == 1 && !memcmp(remote.bytes, IpAddress().bytes, 15))
                                         : remote.v4() == table.local.v4 || remote.bytes[0] == 127;
    if (entry == kNone && remoteHere) entry = FindUdp(remote, c.remotePort);
    if (entry != kNone) Apply(table, i, entry, kNone);
  }
  udpTried_ = table.count();
}

int32_t ProcessAttributor::FindOrAddProcess(uint32_t pid) {
  if (pid == 0) return -1;
  auto it = byPid_.find(pid);
  if (it != byPid_.end()) return it->second;
  records_.emplace_back();
  Record& r = records_.back();
  r.path[0] = r.user[0] = 0;
  system_.DescribeProcess(pid, r.path, r.user);
  r.path[260] = r.user[62] = 0;
  r.info.processId = pid;
  r.info.fileName = r.path;
  r.info.user = r.user;
  const int32_t index = int32_t(records_.size() - 1);
  byPid_.emplace(pid, index);
  return index;
}

const ProcessInfo* ProcessAttributor::Get(int32_t index) const {
  if (index < 0 || size_t(index) >= records_.size()) return nullptr;
  return &records_[size_t(index)].info;
}

void ProcessAttributor::ClearProcessCache() {
  records_.clear();
  udpTried_ = 0;
  byPid_.clear();
  stated_.clear();
  valid_ = false;
}
