#include "enrich/geo_legacy.h"

#include <cstring>

#include "enrich/name_tables.h"

namespace {
constexpr int kRecordLength = 3;
constexpr size_t kStructureSearch = 20;  // the marker lies within the file's last bytes
constexpr int kTypeCountry = 1, kTypeCityRev1 = 2, kTypeCityRev0 = 6, kTypeCountry6 = 12;

uint32_t Le24(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }

// The texts of a record are short; one not ended within this many bytes
// is damage, and a lookup must not search the rest of the file for its end.
constexpr size_t kMaxText = 256;

// The NUL-terminated text at `pos`; false when it runs past the data or
// kMaxText.
bool Text(const std::vector<uint8_t>& d, size_t& pos, const char** out) {
  const size_t n = pos < d.size() ? d.size() - pos : 0;
  const void* end = n ? memchr(d.data() + pos, 0, n < kMaxText ? n : kMaxText) : nullptr;
  if (!end) return false;
  *out = reinterpret_cast<const char*>(d.data() + pos);
  pos = size_t(static_cast<const uint8_t*>(end) - d.data()) + 1;
  return true;
}
}  // namespace

bool LegacyGeoDatabase::Load(std::vector<uint8_t> data) {
  kind_ = kNone;
  if (data.size() < 3) return false;
  // Structure information: three 0xFF bytes, the type, then (city) the
  // segment count. Without it the file is taken for a city database whose
  // segment count ends the file.
  Kind kind = kCity;
  uint32_t segments = Le24(data.data() + data.size() - 3);
  for (size_t back = 0; back < kStructureSearch && back + 4 <= data.size(); back++) {
    const uint8_t* p = data.data() + data.size() - 4 - back;
    if (p[0] != 0xFF || p[1] != 0xFF || p[2] != 0xFF) continue;
    int type = p[3];
    if (type >= 106) type -= 105;
    if (type == kTypeCountry || type == kTypeCountry6) {
      kind = type == kTypeCountry ? kCountry : kCountry6;
      segments = kCountryBegin;
    } else if (type == kTypeCityRev1 || type == kTypeCityRev0) {
      if (back < 3) return false;  // no room for the segment count
      segments = Le24(p + 4);
    } else {
      return false;
    }
    break;
  }
  data_ = std::move(data);
  segments_ = segments;
  kind_ = kind;
  return true;
}

bool LegacyGeoDatabase::Leaf(const uint8_t* address, int bits, uint32_t* result) const {
  uint64_t node = 0;
  // At most one node per address bit: a tree that goes deeper is broken.
  for (int bit = 0; bit < bits; bit++) {
    const uint64_t at = (2 * node + ((address[bit / 8] >> (7 - bit % 8)) & 1)) * kRecordLength;
    if (at + kRecordLength > data_.size()) return false;
    *result = Le24(data_.data() + at);
    if (*result >= segments_) return *result != segments_;
    node = *result;
  }
  return false;
}

bool LegacyGeoDatabase::Lookup6(const uint8_t (&address)[16], char (&text)[64]) const {
  text[0] = 0;
  uint32_t result;
  if (kind_ != kCountry6 || !Leaf(address, 128, &result)) return false;
  const uint32_t index = result - kCountryBegin;
  if (index == 0 || index >= kCountryCodeCount) return false;
  LocationText(kCountryCodes[index], "", "", "", text);
  return true;
}

bool LegacyGeoDatabase::Lookup(uint32_t address, char (&text)[64]) const {
  text[0] = 0;
  if (kind_ == kNone || kind_ == kCountry6) return false;
  const uint8_t bytes[4] = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
  uint32_t result;
  if (!Leaf(bytes, 32, &result)) return false;
  if (kind_ == kCountry) {
    const uint32_t index = result - kCountryBegin;
    if (index == 0 || index >= kCountryCodeCount) return false;
    LocationText(kCountryCodes[index], "", "", "", text);
    return true;
  }
  const uint64_t offset = uint64_t(result) + uint64_t(2 * kRecordLength - 1) * segments_;
  if (offset == 0 || offset >= data_.size()) return false;
  const uint8_t index = data_[size_t(offset)];
  size_t pos = size_t(offset) + 1;
  const char *region, *city, *postal;
  if (!Text(data_, pos, &region) || !Text(data_, pos, &city) || !Text(data_, pos, &postal)) return false;
  LocationText(kCountryCodes[index], city, region, postal, text);
  return true;
}
