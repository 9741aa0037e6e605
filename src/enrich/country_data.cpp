#include "enrich/country_data.h"

#include <zlib.h>

#include <cstdio>
#include <cctype>
#include <cstring>

#include "base/byte_cursor.h"

const char* const CountryData::kFileNames[] = {
    "GeoLiteCity.dat",    "GeoLiteCity.dat.gz",   "IpToCountry.csv",       "GeoLite2-City.mmdb",
    "GeoLite2-Country.mmdb", "dbip-city-lite.mmdb", "dbip-country-lite.mmdb", "GeoIP.dat",
    nullptr};
const char CountryData::kIPv6FileName[] = "GeoIPv6.dat";

namespace {
bool EndsWith(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; i++)
    if (tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}
}  // namespace

bool ReadDataFile(const std::string& path, bool gzip, size_t limit, std::vector<uint8_t>* out) {
  out->clear();
  if (gzip) {
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t piece[32768];
    int n;
    while ((n = gzread(f, piece, sizeof piece)) > 0) {
      if (size_t(n) > limit - out->size()) {
        n = -1;  // inflates past the limit
        break;
      }
      out->insert(out->end(), piece, piece + n);
    }
    gzclose(f);
    if (n < 0) out->clear();
    return !out->empty();
  }
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? ftell(f) : -1;
  ok = size > 0 && uint64_t(size) <= limit && fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out->resize(size_t(size));
    ok = fread(out->data(), 1, out->size(), f) == out->size();
  }
  fclose(f);
  if (!ok) out->clear();
  return ok;
}

bool CountryData::LoadFile(const std::string& path) {
  source_ = kNone;
  std::vector<uint8_t> data;
  const bool gzip = EndsWith(path, ".gz");
  if (!ReadDataFile(path, gzip, kMaxDatabaseBytes, &data)) return false;
  if (EndsWith(path, ".csv")) {
    if (!csv_.Parse(reinterpret_cast<const char*>(data.data()), data.size())) return false;
    source_ = kCsv;
  } else if (EndsWith(path, ".mmdb")) {
    std::string error;
    if (!mmdb_.Load(std::move(data), &error)) return false;
    source_ = kMmdb;
  } else {
    if (!legacy_.Load(std::move(data))) return false;
    source_ = kLegacy;
  }
  sourcePath_ = path;
  return true;
}

bool CountryData::LoadFromFolder(const std::string& folder) {
  legacy6_ = LegacyGeoDatabase();
  std::vector<uint8_t> data;
  const std::string path6 = folder + kIPv6FileName;
  if (path6.size() <= 259 && ReadDataFile(path6, false, kMaxDatabaseBytes, &data) &&
      (!legacy6_.Load(std::move(data)) || legacy6_.kind() != LegacyGeoDatabase::kCountry6))
    legacy6_ = LegacyGeoDatabase();
  for (int i = 0; kFileNames[i]; i++) {
    const std::string path = folder + kFileNames[i];
    if (path.size() > 259) continue;
    if (LoadFile(path)) return true;
    // A city file that is there but unusable hides its gzip copy too.
    if (i == 0)
      if (FILE* f = fopen(path.c_str(), "rb")) {
        fclose(f);
        i++;
      }
  }
  return loaded();
}

void CountryData::Lookup(uint32_t address, char (&text)[64]) {
  text[0] = 0;
  const uint32_t host = NetToHost32(address);
  switch (source_) {
    case kLegacy: legacy_.Lookup(host, text); break;
    case kCsv: csv_.Lookup(host, text); break;
    case kMmdb: mmdb_.Lookup(host, text); break;
    case kNone: break;
  }
}

void CountryData::Lookup6(const IpAddress& address, char (&text)[64]) {
  text[0] = 0;
  if (source_ == kMmdb && mmdb_.Lookup6(address.bytes, text)) return;
  if (source_ == kLegacy && legacy_.Lookup6(address.bytes, text)) return;
  if (legacy6_.Lookup6(address.bytes, text)) return;
  // Addresses that carry an IPv4 address: mapped (::ffff:a.b.c.d), 6to4
  // (2002:aabb:ccdd::/48) and Teredo (2001:0::/32, its client's address
  // inverted in the last four bytes).
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static const uint8_t kTeredo[4] = {0x20, 0x01, 0, 0};
  const uint8_t* b = address.bytes;
  uint32_t v4;
  if (memcmp(b, kMapped, 12) == 0) {
    memcpy(&v4, b + 12, 4);
  } else if (b[0] == 0x20 && b[1] == 0x02) {
    memcpy(&v4, b + 2, 4);
  } else if (memcmp(b, kTeredo, 4) == 0) {
    memcpy(&v4, b + 12, 4);
    v4 = ~v4;
  } else {
    return;
  }
  Lookup(v4, text);
}
