// The country and city data for the country columns: the first database
// found next to the program, or a file named on the command line.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/conversation_table.h"
#include "enrich/country_csv.h"
#include "enrich/geo_legacy.h"
#include "enrich/mmdb.h"

// Files larger than this (or gzip files inflating past it) are not loaded.
constexpr size_t kMaxDatabaseBytes = 256u << 20;

// Reads a whole file, inflating it when `gzip`; false when it is missing,
// unreadable, empty or larger than `limit`.
bool ReadDataFile(const std::string& path, bool gzip, size_t limit, std::vector<uint8_t>* out);

class CountryData : public CountryLookup {
 public:
  // The names tried in `folder` (ending in a path separator), in order.
  static const char* const kFileNames[];
  // Loads the first file of kFileNames that loads, and kIPv6FileName for
  // IPv6 addresses the first file cannot place; false when neither loaded.
  bool LoadFromFolder(const std::string& folder);
  static const char kIPv6FileName[];
  // Loads one file, its kind told by its name (.csv, .mmdb, .gz, else the
  // legacy binary format).
  bool LoadFile(const std::string& path);
  bool loaded() const { return source_ != kNone || legacy6_.kind() != LegacyGeoDatabase::kNone; }
  const std::string& source() const { return sourcePath_; }

  // `address` in network order, as the conversations keep it.
  void Lookup(uint32_t address, char (&text)[64]) override;
  // From the database's IPv6 part, else the IPv6 country file; an
  // IPv4-mapped, 6to4 or Teredo address else as the IPv4 address it carries.
  void Lookup6(const IpAddress& address, char (&text)[64]) override;

 private:
  enum Source { kNone, kLegacy, kCsv, kMmdb };
  Source source_ = kNone;
  std::string sourcePath_;
  LegacyGeoDatabase legacy_;
  CountryRangeTable csv_;
  MmdbDatabase mmdb_;
  LegacyGeoDatabase legacy6_;
};
