// Writers of small country databases for the tests (the legacy binary tree
// format and the mmdb format, networks added by prefix), and byte concatenation.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Prefix trie over address bits; leaves carry an index into the caller's records.
class PrefixTrie {
 public:
  static constexpr int64_t kEmpty = -1;
  explicit PrefixTrie(int skipZeroBits = 0);
  void Add(uint32_t network, int prefixLength, int64_t leaf);
  // An IPv6 network (16 bytes), from the root.
  void Add6(const uint8_t* network, int prefixLength, int64_t leaf);
  // child >= 0: a node; <= -2: leaf -(child + 2); -1: nothing.
  std::vector<std::pair<int64_t, int64_t>> nodes;

 private:
  void AddBits(size_t node, const uint8_t* network, int prefixLength, int64_t leaf);
  size_t start_ = 0;  // the node after the leading zero bits
};

class LegacyWriter {
 public:
  // `v6`: the IPv6 country edition.
  explicit LegacyWriter(bool city, bool v6 = false) : city_(city), v6_(v6) {}
  // City record: country index byte, region, city, postal code, 6 bytes of position.
  void AddCity(uint32_t network, int prefixLength, uint8_t countryIndex, const std::string& region,
               const std::string& city, const std::string& postal);
  void AddCountry(uint32_t network, int prefixLength, uint8_t countryIndex);
  void AddCountry6(const uint8_t* network, int prefixLength, uint8_t countryIndex);
  // With `structure` the file ends in the type marker; without, in the
  // segment count alone.
  Bytes Build(bool structure = true) const;

 private:
  bool city_, v6_;
  PrefixTrie trie_;
  Bytes records_{0};  // offset 0 means "not found"
  std::vector<uint32_t> leafValues_;
};

// Values of the mmdb data section.
namespace mmdb {
using Fields = std::vector<std::pair<std::string, Bytes>>;
using Pairs = std::vector<std::pair<Bytes, Bytes>>;  // keys already encoded
Bytes Head(int type, uint32_t size);
Bytes Str(const std::string& s);
Bytes Uint(int type, uint64_t v);
Bytes Map(const Pairs& entries);
Bytes Map(const Fields& entries);
Bytes Array(const std::vector<Bytes>& items);
Bytes Pointer(uint32_t offset);
}  // namespace mmdb

class MmdbWriter {
 public:
  MmdbWriter(int ipVersion, int recordSize) : ipVersion_(ipVersion), recordSize_(recordSize), trie_(ipVersion == 6 ? 96 : 0) {}
  // Adds a network whose record is `value`, an encoded data-section value.
  void Add(uint32_t network, int prefixLength, const Bytes& value);
  void Add6(const uint8_t* network, int prefixLength, const Bytes& value);
  // Raw bytes placed at the start of the data section (targets for pointers).
  void Prefix(const Bytes& data) { data_ = data; }
  Bytes Build() const;

 private:
  int ipVersion_, recordSize_;
  PrefixTrie trie_;
  Bytes data_;
  std::vector<uint32_t> offsets_;
  std::vector<Bytes> values_;
};
