#include "capture/columns.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/language.h"
#include "base/options.h"
#include "base/strings.h"

const ColumnDef kColumns[kColumnCount] = {
    {0, 1001, 60, 10},   {1, 1002, 60, 15},   {2, 1003, 100, 15},  {3, 1004, 100, 15},
    {4, 1005, 80, 8},    {5, 1006, 80, 8},    {9, 1007, 60, 10},   {11, 1008, 100, 10},
    {13, 1009, 120, 15}, {14, 1020, 120, 15}, {15, 1023, 120, 15}, {10, 1010, 100, 10},
    {12, 1021, 100, 10}, {8, 1011, 90, 25},   {6, 1012, 120, 50},  {7, 1013, 120, 50},
    {16, 1014, 0, 50},   {17, 1015, 0, 50},   {18, 1022, 0, 50},   {19, 1016, 120, 20},
    {20, 1017, 120, 20}, {21, 1018, 120, 20}, {22, 1019, 120, 20},
};

namespace {

// Reports format hundreds of thousands of rows: digits are written by hand
// where printf would dominate the run time.
// Two digits per division, in 32 bits when the value fits (a 32-bit
// program divides 64-bit numbers by a library call).
char* PutUint(char* p, uint64_t v) {
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char tmp[24];
  char* q = tmp + sizeof tmp;
  for (; v > 0xFFFFFFFFu; v /= 100) memcpy(q -= 2, kPairs + v % 100 * 2, 2);
  uint32_t w = uint32_t(v);
  for (; w >= 100; w /= 100) memcpy(q -= 2, kPairs + w % 100 * 2, 2);
  if (w >= 10) memcpy(q -= 2, kPairs + w * 2, 2);
  else *--q = char('0' + w);
  while (q < tmp + sizeof tmp) *p++ = *q++;
  *p = 0;
  return p;
}

// At least `width` digits, zero-padded.
char* PutPadded(char* p, uint64_t v, int width) {
  char tmp[24];
  char* e = PutUint(tmp, v);
  for (int k = int(e - tmp); k < width; k++) *p++ = '0';
  for (const char* q = tmp; q < e; q++) *p++ = *q;
  *p = 0;
  return p;
}

void CopyCut(char* out, size_t outSize, const char* text) {
  if (!outSize) return;
  size_t n = strnlen(text, outSize - 1);
  memcpy(out, text, n);
  out[n] = 0;
}

}  // namespace

const char* RowWord(int id) {
  // Looked up again only when the language changes.
  static constexpr int kIds[] = {26, 101, 521, 522, 523};
  thread_local int generation = -1;
  thread_local char texts[5][kMaxRowWord + 1];
  const int g = LanguageGeneration();
  if (g != generation) {
    for (int i = 0; i < 5; i++) CopyCut(texts[i], sizeof texts[i], GetString(kIds[i]));
    generation = g;
  }
  for (int i = 0; i < 5; i++)
    if (kIds[i] == id) return texts[i];
  return "";
}

const ColumnDef& ColumnById(int id) {
  for (const ColumnDef& d : kColumns)
    if (d.id == id) return d;
  return kColumns[0];
}

void FormatNumber(uint64_t value, char* out, size_t outSize) {
  char digits[24];
  PutUint(digits, value);
  GetPlatform().GroupDigits(digits, out, outSize < 32 ? outSize : 32);
}

void FormatPacketTime(FileTime t, char* out, size_t outSize) {
  // Rows of a report share their seconds: the date and time of a second is
  // made once, by the platform that made it.
  thread_local const Platform* cachedBy = nullptr;
  thread_local uint64_t cachedSecond = 0;
  thread_local char dt[256];
  thread_local size_t n = 0;
  Platform& platform = GetPlatform();
  const uint64_t second = t / 10000000;
  if (cachedBy != &platform || cachedSecond != second || t == 0) {
    const SystemTime st = FileTimeToSystemTime(t);
    dt[0] = 0;
    if (t != 0 && st.year > 1985) platform.FormatDateTime(st, dt, sizeof dt);
    n = strlen(dt);
    cachedBy = t ? &platform : nullptr;
    cachedSecond = second;
  }
  const int ms = int(t / 10000 % 1000);
  if (outSize < n + 5) {  // too small: as much as fits
    char full[300];
    snprintf(full, sizeof full, "%s:%3.3d", dt, ms);
    CopyCut(out, outSize, full);
    return;
  }
  memcpy(out, dt, n);
  out[n] = ':';
  PutPadded(out + n + 1, uint64_t(ms), 3);
}

void FormatMac(const uint8_t* m, char* out, size_t outSize) {
  bool zero = true, ones = true;
  for (int i = 0; i < 6; i++) {
    zero = zero && m[i] == 0;
    ones = ones && m[i] == 0xFF;
  }
  if (zero || ones) {
    if (outSize) out[0] = 0;
    return;
  }
  if (outSize < 18) return;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 6; i++) {
    out[i * 3] = kHex[m[i] >> 4];
    out[i * 3 + 1] = kHex[m[i] & 15];
    out[i * 3 + 2] = i < 5 ? '-' : '\0';
  }
}

void FormatAddress(uint32_t address, char* out, size_t outSize) {
  uint8_t b[4];
  memcpy(b, &address, 4);
  if (outSize < 16) {
    char full[16];
    snprintf(full, sizeof full, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    CopyCut(out, outSize, full);
    return;
  }
  char* p = out;
  for (int i = 0; i < 4; i++) {
    p = PutUint(p, b[i]);
    if (i < 3) *p++ = '.';
  }
}

void ServiceNameText(uint16_t localPort, uint16_t remotePort, char* out, size_t outSize) {
  Platform& p = GetPlatform();
  const char* name = p.ServiceName(localPort);
  if (!name && !(localPort >= 1 && localPort <= 1023)) name = p.ServiceName(remotePort);
  CopyCut(out, outSize < 255 ? outSize : 255, name ? name : "");
}

// "%0.1f" of a speed. Reports print one per row, and printf's exact
// rounding costs more than the rest of the row: it is needed only when the
// value lies too near a tie for the quick rounding to be sure.
static void SpeedText(double speed, char* out, size_t outSize) {
  const double tenths = speed * 10;
  if (tenths >= 0 && tenths < 1e12) {
    const double whole = double(uint64_t(tenths)), frac = tenths - whole;
    if (frac < 0.499 || frac > 0.501) {
      const uint64_t n = uint64_t(whole) + (frac > 0.5 ? 1 : 0);
      char* p = PutUint(out, n / 10);
      *p++ = '.';
      *p++ = char('0' + n % 10);
      *p = 0;
      return;
    }
  }
  snprintf(out, outSize, "%0.1f", speed);
}

namespace {

double DurationSeconds(const Conversation& c) {
  double d = double(int64_t(c.lastTime - c.firstTime)) / 10000000.0;
  return d < 0 ? 0 : d;
}

void SizeText(uint64_t total, uint64_t out, bool split, char* buf) {
  char a[32], b[32], cc[32];
  FormatNumber(total, a, sizeof a);
  const char* unit = RowWord(101);
  const size_t la = strlen(a), lu = strlen(unit);
  memcpy(buf, a, la);
  buf[la] = ' ';
  memcpy(buf + la + 1, unit, lu + 1);
  const int n = int(la + 1 + lu);
  if (split) {
    FormatNumber(out, b, sizeof b);
    FormatNumber(total - out, cc, sizeof cc);
    snprintf(buf + n, kColumnTextSize - size_t(n), "  {%s ; %s}", b, cc);
  }
}

}  // namespace

const char* ColumnText(const Conversation& c, int id, char* buf, const ColumnContext& ctx) {
  buf[0] = 0;
  const bool split = ctx.options.ShowOutgoingIncoming != 0;
  switch (id) {
    case 0:
      PutUint(buf, c.index);
      break;
    case 1:
      if (c.protocol == kProtoIcmp) return RowWord(521);
      if (c.protocol == kProtoTcp) return RowWord(522);
      if (c.protocol == kProtoUdp) return RowWord(523);
      if (c.protocol == kProtoAny) return "*";
      break;
    case 2:
    case 3:
      // An IPv6 row's fields hold address entries: without the book, no text.
      if (c.flags & kConvIPv6) {
        if (ctx.addresses)
          FormatIPv6(ctx.addresses->address6(id == 2 ? c.localEntry : c.remoteEntry), buf, kColumnTextSize);
      } else {
        FormatAddress(id == 2 ? c.localAddress : c.remoteAddress, buf, kColumnTextSize);
      }
      break;
    case 4:
    case 5: {
      uint16_t port = id == 4 ? c.localPort : c.remotePort;
      if (c.protocol == kProtoAny) return "*";
      if (port) PutUint(buf, port);
      break;
    }
    case 6:
      return ctx.addresses ? ctx.addresses->Name(c.localEntry) : buf;
    case 7:
      return ctx.addresses ? ctx.addresses->Name(c.remoteEntry) : buf;
    case 8:
      ServiceNameText(c.localPort, c.remotePort, buf, kColumnTextSize);
      break;
    case 9: {
      char a[32], b[32], d[32];
      FormatNumber(c.packets, a, sizeof a);
      if (split) {
        FormatNumber(c.outPackets, b, sizeof b);
        FormatNumber(c.packets - c.outPackets, d, sizeof d);
        snprintf(buf, kColumnTextSize, "%s  {%s ; %s}", a, b, d);
      } else {
        CopyCut(buf, kColumnTextSize, a);
      }
      break;
    }
    case 10:
      SizeText(c.dataSize, c.outDataSize, split, buf);
      break;
    case 11:
      SizeText(c.totalSize, c.outTotalSize, split, buf);
      break;
    case 12:
      if (c.speedValid) {
        SpeedText(c.speed, buf, 64);
        const size_t n = strlen(buf);
        buf[n] = ' ';
        CopyCut(buf + n + 1, kColumnTextSize - n - 1, RowWord(26));
      }
      break;
    case 13:
      FormatPacketTime(c.firstTime, buf, kColumnTextSize);
      break;
    case 14:
      FormatPacketTime(c.lastTime, buf, kColumnTextSize);
      break;
    case 15: {
      // From the integer time stamps (100 ns units), so that the cut to
      // whole milliseconds is exact.
      const int64_t ticks = int64_t(c.lastTime - c.firstTime);
      const uint64_t ms = ticks > 0 ? uint64_t(ticks) / 10000 : 0;
      char* p = PutPadded(buf, ms / 3600000, 2);
      *p++ = ':';
      p = PutPadded(p, ms / 60000 % 60, 2);
      *p++ = ':';
      p = PutPadded(p, ms / 1000 % 60, 2);
      *p++ = '.';
      PutPadded(p, ms % 1000, 3);
      break;
    }
    case 16:
    case 17:
    case 18: {
      const ProcessInfo* p = ctx.processes ? ctx.processes->Get(c.processIndex) : nullptr;
      if (!p) break;
      if (id == 16) {
        if (p->processId) snprintf(buf, kColumnTextSize, "%u", p->processId);
      } else {
        snprintf(buf, kColumnTextSize, "%s", id == 17 ? p->fileName : p->user);
      }
      break;
    }
    case 19:
      FormatMac(c.localMac, buf, kColumnTextSize);
      break;
    case 20:
      FormatMac(c.remoteMac, buf, kColumnTextSize);
      break;
    case 21:
      return ctx.addresses ? ctx.addresses->Country(c.localEntry) : buf;
    case 22:
      return ctx.addresses ? ctx.addresses->Country(c.remoteEntry) : buf;
    default:
      break;
  }
  return buf;
}

namespace {
bool StartsWith(const char* t, const char* text, size_t n, bool matchCase) {
  for (size_t i = 0; i < n; i++) {
    const unsigned char a = static_cast<unsigned char>(t[i]), b = static_cast<unsigned char>(text[i]);
    if (a == b) continue;
    if (matchCase || !a || tolower(a) != tolower(b)) return false;
  }
  return true;
}
}  // namespace

bool RowContainsText(const Conversation& c, const char* text, bool matchCase, const ColumnContext& ctx) {
  const size_t n = strlen(text);
  if (!n) return false;
  char buf[kColumnTextSize];
  for (const ColumnDef& col : kColumns) {
    const char* t = ColumnText(c, col.id, buf, ctx);
    for (; *t; t++)
      if (StartsWith(t, text, n, matchCase)) return true;
  }
  return false;
}

namespace {
template <typename T>
int Cmp(T a, T b) {
  return a > b ? 1 : a < b ? -1 : 0;
}
}  // namespace

int CompareColumn(const Conversation& a, const Conversation& b, int id, const AddressBook* addresses) {
  switch (id) {
    case 0: return Cmp(int32_t(a.index), int32_t(b.index));
    case 2:
    case 3: {
      // IPv4 rows keep their text order; IPv6 ones follow them, by value.
      if (!addresses || !((a.flags | b.flags) & kConvIPv6)) return 255;
      if (!(a.flags & b.flags & kConvIPv6)) return a.flags & kConvIPv6 ? 1 : -1;
      const bool local = id == 2;
      const int r = CompareIPv6(addresses->address6(local ? a.localEntry : a.remoteEntry),
                                addresses->address6(local ? b.localEntry : b.remoteEntry));
      return r < 0 ? -1 : r > 0;
    }
    case 4: return Cmp(a.localPort, b.localPort);
    case 5: return Cmp(a.remotePort, b.remotePort);
    case 9: return Cmp(a.packets, b.packets);
    case 10: return Cmp(a.dataSize, b.dataSize);
    case 11: return Cmp(a.totalSize, b.totalSize);
    case 12: return Cmp(a.speed, b.speed);
    case 13: return Cmp(a.firstTime, b.firstTime);
    case 14: return Cmp(a.lastTime, b.lastTime);
    case 15: return Cmp(DurationSeconds(a), DurationSeconds(b));
    default: return 255;
  }
}

namespace {
// Doubles as unsigned numbers in the same order (0 and -0 alike).
uint64_t RealKey(double v) {
  if (v == 0) v = 0;
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  return bits >> 63 ? ~bits : bits | uint64_t(1) << 63;
}
}  // namespace

bool ColumnSortKey(const Conversation& c, int id, uint64_t& key) {
  switch (id) {
    case 0: key = uint32_t(c.index) ^ 0x80000000u; return true;  // as a signed number
    case 4: key = c.localPort; return true;
    case 5: key = c.remotePort; return true;
    case 9: key = c.packets; return true;
    case 10: key = c.dataSize; return true;
    case 11: key = c.totalSize; return true;
    case 12: key = RealKey(c.speed); return true;
    case 13: key = c.firstTime; return true;
    case 14: key = c.lastTime; return true;
    case 15: key = RealKey(DurationSeconds(c)); return true;
    default: return false;
  }
}
