// INI text as the configuration and language files use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Files above this size are not read (a configuration is a few KB).
constexpr size_t kMaxConfigFileSize = 4u << 20;
constexpr size_t kMaxFilterText = 32767;
// A value is written as at most 65535 characters, three a byte: a filter's
// text and its NUL.
constexpr size_t kMaxStoredFilter = 65535 / 3 - 1;

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
  // Spans of text_: a file of blank lines or many short entries costs a
  // small multiple of its size, not a string set per line.
  struct Span {
    uint32_t at = 0, size = 0;
  };
  struct Line {
    Span text;     // the line as it stands; other lines: a run of them, '\n' between
    Span section;  // for entries and headers: the section name
    Span key;      // entries only
    Span value;
    bool header = false;
  };
  std::string Text(Span s) const { return text_.substr(s.at, s.size); }
  bool Is(Span s, const std::string& name) const;
  Span Add(const std::string& s);
  std::string text_;
  std::vector<Line> lines_;
};

// The whole file, refused above kMaxConfigFileSize; false when unreadable.
bool ReadConfigText(const std::string& path, std::string* out);
// Before a file is rewritten with what it held kept: its text, or nothing
// when there is no file yet; false when a file is there but cannot be read
// whole, since rewriting it would lose what it holds.
bool ReadConfigTextForUpdate(const std::string& path, std::string* out);
// Writes beside the file and then puts the copy in its place, so a failed
// write leaves the old file as it was.
bool WriteConfigText(const std::string& path, const std::string& text);
// An integer value as GetPrivateProfileInt reads it: sign and leading digits.
int32_t ProfileInt(const std::string& value);
// The same, saturated a little past 32 bits, for callers that clamp.
int64_t ProfileDigits(const std::string& value);

