#include "base/ip_address.h"

#include <cstdio>

size_t FormatIPv6(const uint8_t* b, char* out, size_t outSize) {
  if (!outSize) return 0;
  uint16_t w[8];
  for (int i = 0; i < 8; i++) w[i] = uint16_t(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups becomes "::", the first such
  // run when two are equally long.
  int best = -1, bestLen = 1;
  for (int i = 0; i < 8;) {
    if (w[i]) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && !w[j]) j++;
    if (j - i > bestLen) best = i, bestLen = j - i;
    i = j;
  }
  char buf[kIpAddressTextSize];
  size_t n = 0;
  // ::ffff:a.b.c.d keeps its IPv4 tail, as the other tools show it.
  const bool mapped = best == 0 && bestLen == 5 && w[5] == 0xFFFF;
  for (int i = 0; i < 8; i++) {
    if (i == best) {
      buf[n++] = ':';
      if (i == 0) buf[n++] = ':';
      i += bestLen - 1;
      continue;
    }
    // By hand, not by printf: reports write two addresses a row.
    if (mapped && i == 6) {
      for (int k = 12; k < 16; k++) {
        const unsigned v = b[k];
        if (v >= 100) buf[n++] = char('0' + v / 100);
        if (v >= 10) buf[n++] = char('0' + v / 10 % 10);
        buf[n++] = char('0' + v % 10);
        if (k < 15) buf[n++] = '.';
      }
      break;
    }
    static const char kHex[] = "0123456789abcdef";
    for (int shift = 12; shift >= 0; shift -= 4)
      if (w[i] >> shift || !shift) buf[n++] = kHex[w[i] >> shift & 15];
    if (i < 7) buf[n++] = ':';
  }
  buf[n] = 0;
  if (n >= outSize) n = outSize - 1;
  memcpy(out, buf, n);
  out[n] = 0;
  return n;
}

size_t FormatIpAddress(const IpAddress& a, char* out, size_t outSize) {
  if (a.is6()) return FormatIPv6(a.bytes, out, outSize);
  const int n = snprintf(out, outSize, "%u.%u.%u.%u", a.bytes[0], a.bytes[1], a.bytes[2], a.bytes[3]);
  return n < 0 ? 0 : size_t(n) < outSize ? size_t(n) : outSize ? outSize - 1 : 0;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseDotted(const char* s, size_t n, uint8_t* out) {
  size_t i = 0;
  for (int part = 0; part < 4; part++) {
    if (part && (i >= n || s[i++] != '.')) return false;
    unsigned v = 0;
    size_t digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9' && digits < 4) v = v * 10 + unsigned(s[i++] - '0'), digits++;
    if (!digits || digits > 3 || v > 255) return false;
    out[part] = uint8_t(v);
  }
  return i == n;
}
}  // namespace

bool ParseIPv6(const char* s, size_t n, uint8_t (&out)[16]) {
  uint8_t b[16] = {};
  int groups = 0, gap = -1;
  size_t i = 0;
  if (n >= 2 && s[0] == ':' && s[1] == ':') {
    gap = 0;
    i = 2;
  } else if (n && s[0] == ':') {
    return false;
  }
  while (i < n) {
    if (groups == 8) return false;
    // A dotted tail takes the last 32 bits.
    size_t end = i;
    while (end < n && s[end] != ':') end++;
    if (end == n && memchr(s + i, '.', n - i)) {
      if (groups > 6 || !ParseDotted(s + i, n - i, b + 2 * groups)) return false;
      groups += 2;
      i = n;
      break;
    }
    unsigned v = 0;
    size_t digits = 0;
    for (; i < n && s[i] != ':'; i++, digits++) {
      const int d = HexDigit(s[i]);
      if (d < 0 || digits == 4) return false;
      v = v << 4 | unsigned(d);
    }
    if (!digits) return false;
    b[2 * groups] = uint8_t(v >> 8);
    b[2 * groups + 1] = uint8_t(v);
    groups++;
    if (i == n) break;
    i++;  // the colon
    if (i < n && s[i] == ':') {
      if (gap >= 0) return false;
      gap = groups;
      i++;
    } else if (i == n) {
      return false;  // a single trailing colon
    }
  }
  if (gap < 0) {
    if (groups != 8) return false;
  } else {
    if (groups == 8) return false;
    const int move = groups - gap;
    memmove(b + 16 - 2 * move, b + 2 * gap, size_t(2 * move));
    memset(b + 2 * gap, 0, size_t(16 - 2 * groups));
  }
  memcpy(out, b, 16);
  return true;
}

int CompareIPv6(const uint8_t* a, const uint8_t* b) { return memcmp(a, b, 16); }
