// The configuration file: INI format, section "General".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/options.h"

// Files above this size are not read (a configuration is a few KB).
constexpr size_t kMaxConfigFileSize = 4u << 20;
constexpr size_t kMaxFilterText = 32767;

// An INI document kept in its original order, so that writing a key keeps
// other sections and unknown keys as they were.
class IniDocument {
 public:
  void Parse(const std::string& text);
  std::string Serialize() const;
  // The value as GetPrivateProfileString gives it; false when the key is absent.
  bool Get(const std::string& section, const std::string& key, std::string* value) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);

 private:
  struct Line {
    std::string text;     // the line as it stands, for anything but entries
    std::string section;  // for entries and headers: the section name
    std::string key;      // entries only
    std::string value;
    bool header = false;
  };
  std::vector<Line> lines_;
};

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

// The whole file, refused above kMaxConfigFileSize; false when unreadable.
bool ReadConfigText(const std::string& path, std::string* out);
// An integer value as GetPrivateProfileInt reads it: sign and leading digits.
int32_t ProfileInt(const std::string& value);

// The executable's path with everything from its last "." replaced by ".cfg".
std::string DefaultConfigPath(const std::string& exePath);
// Reads the file into `o`; a missing or unreadable file gives the defaults.
void LoadSettings(const std::string& path, Options& o);
// Writes every key, keeping the rest of an existing file; false on failure.
bool SaveSettings(const std::string& path, Options& o);
