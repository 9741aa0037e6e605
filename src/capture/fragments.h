// First fragments remembered for the later fragments of their datagram,
// which carry no transport header of their own.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/conversation.h"

class FragmentMemory {
 public:
  // Each first fragment takes the place its addresses and identification
  // choose, so a later one is found at once: a capture of many fragmented
  // datagrams costs no search per fragment.
  static constexpr size_t kPlaces = 1024;

  // Later fragments that came before their first wait for it, the newest
  // kWaiting of them.
  // A datagram of 64 KiB sent last fragment first comes in 45 fragments.
  static constexpr size_t kWaiting = 64;

  FragmentMemory() : places_(new First[kPlaces]()) {}
  void Clear() {
    std::fill(places_.get(), places_.get() + kPlaces, First());
    for (Waiting& w : waiting_) w.used = false;
    waits_ = 0;
  }

  void Remember(const DecodedPacket& d) {
    First& f = places_[Place(d)];
    memcpy(f.local, d.local6, 16);
    memcpy(f.remote, d.remote6, 16);
    f.id = d.fragmentId;
    f.localPort = d.localPort;
    f.remotePort = d.remotePort;
    f.protocol = d.protocol;
    f.family = d.family;
  }
  // A later fragment takes the protocol and ports of its first one; false
  // when that is not remembered.
  bool Recall(DecodedPacket& d) const {
    const First& f = places_[Place(d)];
    if (f.family != d.family || f.id != d.fragmentId || memcmp(f.local, d.local6, 16) != 0 ||
        memcmp(f.remote, d.remote6, 16) != 0)
      return false;
    d.protocol = f.protocol;
    d.localPort = f.localPort;
    d.remotePort = f.remotePort;
    return true;
  }
  // Keeps a later fragment that Recall could not pair, in place of the
  // oldest one waiting.
  void Wait(const DecodedPacket& d, FileTime time, uint64_t record) {
    waiting_[waits_++ % kWaiting] = {d, time, record, true};
  }
  // Hands the later fragments waiting for `first` to take(packet, time,
  // record) in the order they came, and forgets them.
  template <class Take>
  void TakeWaiting(const DecodedPacket& first, Take take) {
    for (size_t k = waits_ > kWaiting ? waits_ - kWaiting : 0; k < waits_; k++) {
      Waiting& w = waiting_[k % kWaiting];
      if (!w.used || w.d.family != first.family || w.d.fragmentId != first.fragmentId ||
          memcmp(w.d.local6, first.local6, 16) != 0 || memcmp(w.d.remote6, first.remote6, 16) != 0)
        continue;
      w.used = false;
      take(w.d, w.time, w.record);
    }
  }

 private:
  struct First {
    uint8_t local[16] = {}, remote[16] = {};
    uint32_t id = 0;
    uint16_t localPort = 0, remotePort = 0;
    uint8_t protocol = 0, family = 0;  // family 0: an empty place
  };
  static size_t Place(const DecodedPacket& d) {
    uint32_t a, b;
    memcpy(&a, d.local6 + 12, 4);
    memcpy(&b, d.remote6 + 12, 4);
    return size_t((uint64_t(a * 0x9E3779B1u ^ b) << 32 | d.fragmentId) * 0x9E3779B97F4A7C15ULL >> 54);
  }
  std::unique_ptr<First[]> places_;
  struct Waiting {
    DecodedPacket d;
    FileTime time = 0;
    uint64_t record = 0;
    bool used = false;
  };
  Waiting waiting_[kWaiting];
  size_t waits_ = 0;
};
