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

  FragmentMemory() : places_(new First[kPlaces]()) {}
  void Clear() { std::fill(places_.get(), places_.get() + kPlaces, First()); }

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
};
