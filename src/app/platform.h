// Services of the operating system that the portable core needs. The
// Windows build answers them with the system's functions, the native build
// with English defaults, and tests with fakes.
#pragma once
#include <cstddef>
#include <cstdint>

// FILETIME as one number: 100 ns units since 1601-01-01.
using FileTime = uint64_t;

struct SystemTime {
  int year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

// Same result as FileTimeToSystemTime.
SystemTime FileTimeToSystemTime(FileTime ft);
FileTime SystemTimeToFileTime(const SystemTime& st);
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

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
};

Platform& GetPlatform();
// Replaces the platform (tests); nullptr restores the default.
void SetPlatform(Platform* p);
