// The legacy binary country and city databases: a binary tree of 3-byte
// records walked by address bits, then (city) records after the tree.
#pragma once
#include <cstdint>
#include <vector>

class LegacyGeoDatabase {
 public:
  enum Kind { kNone, kCountry, kCity, kCountry6 };
  // Takes the whole file; false (nothing loaded) when its structure cannot
  // be used: too short, or a database type other than country (IPv4 or
  // IPv6) or city.
  bool Load(std::vector<uint8_t> data);
  // `address` in host order; false when the database has no text for it.
  bool Lookup(uint32_t address, char (&text)[64]) const;
  // Only the IPv6 country edition answers these.
  bool Lookup6(const uint8_t (&address)[16], char (&text)[64]) const;
  Kind kind() const { return kind_; }

  static constexpr uint32_t kCountryBegin = 16776960;

 private:
  // The record the address's first `bits` bits (big-endian bytes) lead to.
  bool Leaf(const uint8_t* address, int bits, uint32_t* result) const;
  std::vector<uint8_t> data_;
  uint32_t segments_ = 0;
  Kind kind_ = kNone;
};
