// Services of the operating system that the portable core needs. The
// Windows build answers them with the system's functions, the native build
// with English defaults, and tests with fakes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// FILETIME as one number: 100 ns units since 1601-01-01.
using FileTime = uint64_t;

struct SystemTime {
  int year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

// Same result as FileTimeToSystemTime.
SystemTime FileTimeToSystemTime(FileTime ft);
FileTime SystemTimeToFileTime(const SystemTime& st);
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
// The latest time the readers give a packet, 9999-12-30 23:59:59.9999999
// UTC (still in 9999 in every time zone): later time stamps are saturated
// to it, earlier than 1601 to 1601 (plus 100 ns, since 0 means "now"), so
// no conversion can overflow.
constexpr FileTime kMaxFileTime = 2650466879999999999ULL;

// A Unix time (seconds plus a signed offset in seconds, plus 100 ns units) as a FileTime, saturated to 1 .. kMaxFileTime.
inline FileTime UnixToFileTime(uint64_t seconds, int64_t offsetSeconds, uint64_t sub100ns) {
  constexpr uint64_t kMaxSeconds = (kMaxFileTime - kFileTimeUnixEpoch) / 10000000;
  constexpr uint64_t kEpochSeconds = kFileTimeUnixEpoch / 10000000;
  if (sub100ns > 9999999) {  // a fraction of a second or more: carried, as the readers always did
    if (seconds > kMaxSeconds) return kMaxFileTime;
    seconds += sub100ns / 10000000;
    sub100ns %= 10000000;
  }
  if (offsetSeconds >= 0) {
    if (seconds > kMaxSeconds || uint64_t(offsetSeconds) > kMaxSeconds - seconds) return kMaxFileTime;
    return kFileTimeUnixEpoch + (seconds + uint64_t(offsetSeconds)) * 10000000 + sub100ns;
  }
  const uint64_t back = uint64_t(-(offsetSeconds + 1)) + 1;
  if (back <= seconds) return UnixToFileTime(seconds - back, 0, sub100ns);
  if (back - seconds > kEpochSeconds) return 1;
  const FileTime t = kFileTimeUnixEpoch - (back - seconds) * 10000000 + sub100ns;
  return t ? t : 1;
}

class Platform {
 public:
  virtual ~Platform() = default;
  virtual uint32_t TickCount() = 0;
  // Current local time as a FILETIME.
  virtual FileTime LocalFileTimeNow() = 0;
  // A UTC FILETIME converted to local time, with the zone rules of that time.
  virtual FileTime UtcToLocalFileTime(FileTime utc) = 0;
  // Groups a string of decimal digits by the locale ("1234567" -> "1,234,567").
  virtual void GroupDigits(const char* digits, char* out, size_t outSize) = 0;
  // Short date, one space, time, by the locale.
  virtual void FormatDateTime(const SystemTime& st, char* out, size_t outSize) = 0;
  // Service name of a port (host order) with any protocol; nullptr when none.
  virtual const char* ServiceName(uint16_t port) = 0;
  // Creates an empty file with a unique name in the temporary folder.
  virtual bool CreateTempFile(const char* prefix, char* path, size_t pathSize) = 0;
  virtual bool RemoveFile(const char* path) = 0;
  // The file extension (".htm") the system's MIME database gives a content
  // type: 1 found, 0 not listed, -1 when the system keeps no such database.
  virtual int MimeExtension(const char* /*type*/, char* /*out*/, size_t /*outSize*/) { return -1; }
  // The bytes (at most 4) of Unicode character `ch` in the program's ANSI
  // code page; 0 when it has none. Windows-1252 unless the system says
  // otherwise.
  virtual size_t EncodeCharacter(uint32_t ch, char* out);
  // A text of that code page as Unicode characters.
  virtual std::u32string DecodeText(const char* text, size_t n);
};

Platform& GetPlatform();
// Replaces the platform (tests); nullptr restores the default.
void SetPlatform(Platform* p);

// Local FILETIMEs back to UTC with the zone offset in force at the instant
// itself. A local time that clocks going back repeat is taken at its first
// occurrence unless that lies before the previous answer (so a file's times
// in order stay in order); one that clocks going forward skip keeps the
// offset from before the change.
class LocalToUtcConverter {
 public:
  FileTime Convert(FileTime local);

 private:
  uint64_t bucket_ = ~uint64_t(0);
  int64_t before_ = 0, after_ = 0;  // offsets a day either side of the bucket
  int64_t last_ = 0;
};
