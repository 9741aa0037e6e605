#include "geo_writers.h"

PrefixTrie::PrefixTrie(int skipZeroBits) : nodes(size_t(skipZeroBits) + 1, {kEmpty, kEmpty}) {
  for (int i = 0; i < skipZeroBits; i++) nodes[size_t(i)].first = i + 1;
  start_ = size_t(skipZeroBits);
}

void PrefixTrie::Add(uint32_t network, int prefixLength, int64_t leaf) {
  const uint8_t b[4] = {uint8_t(network >> 24), uint8_t(network >> 16), uint8_t(network >> 8), uint8_t(network)};
  AddBits(start_, b, prefixLength, leaf);
}

void PrefixTrie::Add6(const uint8_t* network, int prefixLength, int64_t leaf) { AddBits(0, network, prefixLength, leaf); }

void PrefixTrie::AddBits(size_t node, const uint8_t* network, int prefixLength, int64_t leaf) {
  for (int i = 0; i < prefixLength; i++) {
    int64_t& child = (network[i / 8] >> (7 - i % 8)) & 1 ? nodes[node].second : nodes[node].first;
    if (i == prefixLength - 1) {
      child = -(leaf + 2);
    } else if (child >= 0) {
      node = size_t(child);
    } else {
      node = nodes.size();
      child = int64_t(node);
      nodes.push_back({kEmpty, kEmpty});
    }
  }
}

void LegacyWriter::AddCity(uint32_t network, int prefixLength, uint8_t countryIndex, const std::string& region,
                           const std::string& city, const std::string& postal) {
  leafValues_.push_back(uint32_t(records_.size()));
  records_.push_back(countryIndex);
  for (const std::string* s : {&region, &city, &postal})
    records_.insert(records_.end(), s->c_str(), s->c_str() + s->size() + 1);  // with the NUL
  records_.insert(records_.end(), 6, 0x11);
  trie_.Add(network, prefixLength, int64_t(leafValues_.size() - 1));
}

void LegacyWriter::AddCountry(uint32_t network, int prefixLength, uint8_t countryIndex) {
  leafValues_.push_back(countryIndex);
  trie_.Add(network, prefixLength, int64_t(leafValues_.size() - 1));
}

void LegacyWriter::AddCountry6(const uint8_t* network, int prefixLength, uint8_t countryIndex) {
  leafValues_.push_back(countryIndex);
  trie_.Add6(network, prefixLength, int64_t(leafValues_.size() - 1));
}

Bytes LegacyWriter::Build(bool structure) const {
  const uint32_t segments = city_ ? uint32_t(trie_.nodes.size()) : 16776960u;
  Bytes out;
  auto put24 = [&](uint32_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}); };
  auto value = [&](int64_t c) -> uint32_t {
    if (c >= 0) return uint32_t(c);
    if (c == PrefixTrie::kEmpty) return segments;
    return segments + leafValues_[size_t(-c - 2)];
  };
  for (const auto& n : trie_.nodes) {
    put24(value(n.first));
    put24(value(n.second));
  }
  if (city_) out.insert(out.end(), records_.begin(), records_.end());
  if (structure) out.insert(out.end(), {0xFF, 0xFF, 0xFF, uint8_t(city_ ? 2 : v6_ ? 12 : 1)});
  if (city_ || !structure) put24(segments);
  return out;
}

namespace mmdb {
Bytes Head(int type, uint32_t size) {
  static const uint32_t kBase[] = {0, 29, 285, 65821};
  const int n = size < 29 ? 0 : size < 285 ? 1 : size < 65821 ? 2 : 3;
  Bytes b = {uint8_t((type > 7 ? 0 : type) << 5 | (n ? 28 + n : int(size)))};
  if (type > 7) b.push_back(uint8_t(type - 7));
  for (int i = n - 1; i >= 0; i--) b.push_back(uint8_t((size - kBase[n]) >> (8 * i)));
  return b;
}
Bytes Str(const std::string& s) { return Head(2, uint32_t(s.size())) + Bytes(s.begin(), s.end()); }
Bytes Uint(int type, uint64_t v) {
  Bytes payload;
  for (; v; v >>= 8) payload.insert(payload.begin(), uint8_t(v));
  return Head(type, uint32_t(payload.size())) + payload;
}
Bytes Map(const Pairs& entries) {
  Bytes b = Head(7, uint32_t(entries.size()));
  for (const auto& e : entries) b = std::move(b) + e.first + e.second;
  return b;
}
Bytes Map(const Fields& entries) {
  Pairs e;
  for (const auto& x : entries) e.push_back({Str(x.first), x.second});
  return Map(e);
}
Bytes Array(const std::vector<Bytes>& items) {
  Bytes b = Head(11, uint32_t(items.size()));
  for (const Bytes& i : items) b = std::move(b) + i;
  return b;
}
Bytes Pointer(uint32_t offset) {
  if (offset < 2048) return {uint8_t(0x20 | (offset >> 8)), uint8_t(offset)};
  return {0x38, uint8_t(offset >> 24), uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset)};
}
}  // namespace mmdb

void MmdbWriter::Add(uint32_t network, int prefixLength, const Bytes& value) {
  values_.push_back(value);
  trie_.Add(network, prefixLength, int64_t(values_.size() - 1));
}

void MmdbWriter::Add6(const uint8_t* network, int prefixLength, const Bytes& value) {
  values_.push_back(value);
  trie_.Add6(network, prefixLength, int64_t(values_.size() - 1));
}

Bytes MmdbWriter::Build() const {
  const uint64_t n = trie_.nodes.size();
  Bytes data = data_;
  std::vector<uint64_t> at;
  for (const Bytes& v : values_) {
    at.push_back(data.size());
    data.insert(data.end(), v.begin(), v.end());
  }
  auto value = [&](int64_t c) -> uint64_t {
    if (c >= 0) return uint64_t(c);
    if (c == PrefixTrie::kEmpty) return n;
    return n + 16 + at[size_t(-c - 2)];
  };
  Bytes out;
  for (const auto& node : trie_.nodes) {
    const uint64_t l = value(node.first), r = value(node.second);
    if (recordSize_ == 28) {
      out.insert(out.end(), {uint8_t(l >> 16), uint8_t(l >> 8), uint8_t(l), uint8_t(((l >> 24) & 0x0F) << 4 | ((r >> 24) & 0x0F)),
                             uint8_t(r >> 16), uint8_t(r >> 8), uint8_t(r)});
    } else {
      for (uint64_t v : {l, r})
        for (int shift = recordSize_ - 8; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
    }
  }
  const char marker[] = "\xAB\xCD\xEFMaxMind.com";
  return std::move(out) + Bytes(16, 0) + data + Bytes(marker, marker + 14) +
         mmdb::Map(mmdb::Fields{{"node_count", mmdb::Uint(6, n)},
                                {"record_size", mmdb::Uint(5, uint64_t(recordSize_))},
                                {"ip_version", mmdb::Uint(5, uint64_t(ipVersion_))},
                                {"database_type", mmdb::Str("Test-City")},
                                {"binary_format_major_version", mmdb::Uint(5, 2)},
                                {"binary_format_minor_version", mmdb::Uint(5, 0)},
                                {"build_epoch", mmdb::Uint(9, 1700000000)},
                                {"languages", mmdb::Array({mmdb::Str("en")})},
                                {"description", mmdb::Map(mmdb::Fields{{"en", mmdb::Str("Test")}})}});
}
