// Hashes of keys that the network chooses (addresses, ports). Each process
// mixes in a seed of its own: a sender who knew the function could pick
// keys that all land on one slot, and every lookup would walk them all.
#pragma once
#include <chrono>
#include <cstdint>

inline uint64_t MixBits(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

namespace hash_detail {
inline uint64_t MakeSeed() {
  int local = 0;  // where the stack lies differs from run to run
  uint64_t s = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  s = MixBits(s ^ uint64_t(reinterpret_cast<uintptr_t>(&local)) * 0x9E3779B97F4A7C15ULL);
  s = MixBits(s ^ uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
  return MixBits(s * 0xc4ceb9fe1a85ec53ULL);
}
}  // namespace hash_detail

inline const uint64_t kHashSeed = hash_detail::MakeSeed();

// Two words into one hash. The seed enters before the first word is mixed,
// so that no choice of the second word can cancel the first.
inline uint64_t HashWords(uint64_t x, uint64_t y) {
  uint64_t h = MixBits(x ^ kHashSeed) * 0x9E3779B97F4A7C15ULL ^ y;
  h ^= h >> 32;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ h >> 29;
}
