#include "base/platform.h"

Platform* CreateDefaultPlatform();

namespace {
Platform* g_override = nullptr;

int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}
}  // namespace

Platform& GetPlatform() {
  if (g_override) return *g_override;
  static Platform* def = CreateDefaultPlatform();
  return *def;
}

void SetPlatform(Platform* p) { g_override = p; }

SystemTime FileTimeToSystemTime(FileTime ft) {
  uint64_t ms = ft / 10000;
  SystemTime st{};
  st.milliseconds = int(ms % 1000);
  uint64_t secs = ms / 1000;
  st.second = int(secs % 60);
  st.minute = int(secs / 60 % 60);
  st.hour = int(secs / 3600 % 24);
  int64_t days = int64_t(secs / 86400) - 134774;  // 1601-01-01 .. 1970-01-01
  st.dayOfWeek = int(((days % 7) + 7 + 4) % 7);   // 1970-01-01 was a Thursday
  // Civil date from days since 1970-01-01.
  int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  st.day = int(doy - (153 * mp + 2) / 5 + 1);
  st.month = int(mp < 10 ? mp + 3 : mp - 9);
  st.year = int(yoe + era * 400 + (st.month <= 2));
  return st;
}

FileTime SystemTimeToFileTime(const SystemTime& st) {
  int64_t days = DaysFromCivil(st.year, st.month, st.day) + 134774;
  uint64_t secs = uint64_t(days) * 86400 + st.hour * 3600 + st.minute * 60 + st.second;
  return (secs * 1000 + st.milliseconds) * 10000;
}

namespace {
int64_t OffsetAt(int64_t utc) {
  if (utc < 0) utc = 0;
  return int64_t(GetPlatform().UtcToLocalFileTime(FileTime(utc))) - utc;
}
}  // namespace

FileTime LocalToUtcConverter::Convert(FileTime local) {
  constexpr int64_t kQuarterHour = 15LL * 60 * 10000000, kDay = 864000000000LL;
  const int64_t l = int64_t(local < kMaxFileTime ? local : kMaxFileTime);
  const uint64_t b = uint64_t(l / kQuarterHour);
  if (b != bucket_) {
    bucket_ = b;
    before_ = OffsetAt(int64_t(b) * kQuarterHour - kDay);
    after_ = OffsetAt(int64_t(b + 1) * kQuarterHour + kDay);
  }
  int64_t utc = l - before_;
  if (before_ != after_) {
    // A change near: of the readings that give this local time back, the
    // earlier, unless it would go back before the time given last.
    const int64_t a = l - before_, c = l - after_;
    const bool aFits = OffsetAt(a) == before_, cFits = OffsetAt(c) == after_;
    if (aFits && cFits) {
      const int64_t lo = a < c ? a : c, hi = a < c ? c : a;
      utc = lo >= last_ || hi < last_ ? lo : hi;
    } else if (cFits) {
      utc = c;
    }
  }
  last_ = utc;
  return FileTime(utc > 0 ? utc : 0);
}
