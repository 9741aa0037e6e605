// The configuration file: INI format, section "General".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/ini.h"
#include "base/options.h"

// The one walk over all keys, reading or writing.
class SettingsStore {
 public:
  SettingsStore(IniDocument& doc, bool writing) : doc_(doc), writing_(writing) {}
  bool writing() const { return writing_; }
  // A key with a valid range [lo, hi]: a value read outside it is clamped
  // to it (a negative size is 0, not a huge number).
  void Integer(const char* key, int32_t& field, int32_t def, int64_t lo = INT32_MIN, int64_t hi = INT32_MAX);
  void Text(const char* key, char* buffer, const char* def, size_t size);
  // Reads at most `size` bytes; returns the count, or -1 when the key is absent or empty.
  int Binary(const char* key, uint8_t* bytes, size_t size, size_t written = 0);

 private:
  IniDocument& doc_;
  bool writing_;
};

void ReadWriteAll(SettingsStore& store, Options& o);

// The executable's path with everything from its last "." replaced by ".cfg".
std::string DefaultConfigPath(const std::string& exePath);
// Reads the file into `o`; a missing or unreadable file gives the defaults
// (and false).
bool LoadSettings(const std::string& path, Options& o);
// Writes every key, keeping the rest of an existing file; false on failure.
bool SaveSettings(const std::string& path, Options& o);
