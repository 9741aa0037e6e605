// Addresses of either family, as the decoder, the filters and the
// enrichment services pass them around.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

struct IpAddress {
  uint8_t family = 4;      // 4 or 6
  uint8_t bytes[16] = {};  // network order; IPv4 uses the first four

  static IpAddress V4(uint32_t netOrder) {
    IpAddress a;
    memcpy(a.bytes, &netOrder, 4);
    return a;
  }
  static IpAddress V6(const uint8_t* b) {
    IpAddress a;
    a.family = 6;
    memcpy(a.bytes, b, 16);
    return a;
  }
  bool is6() const { return family == 6; }
  uint32_t v4() const {  // network order
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
  }
  bool operator==(const IpAddress& o) const {
    return family == o.family && memcmp(bytes, o.bytes, is6() ? 16 : 4) == 0;
  }
  bool operator!=(const IpAddress& o) const { return !(*this == o); }
};

// Longest text FormatIpAddress writes, with its terminator.
constexpr size_t kIpAddressTextSize = 46;
// Dotted IPv4, or IPv6 in its compressed lower-case form ("2001:db8::1",
// "::ffff:1.2.3.4"). Returns the length written.
size_t FormatIpAddress(const IpAddress& a, char* out, size_t outSize);
size_t FormatIPv6(const uint8_t* bytes, char* out, size_t outSize);
// Parses the text forms of RFC 4291 section 2.2 (no zone, no brackets).
bool ParseIPv6(const char* text, size_t length, uint8_t (&out)[16]);
// Compares as unsigned 128-bit numbers.
int CompareIPv6(const uint8_t* a, const uint8_t* b);
