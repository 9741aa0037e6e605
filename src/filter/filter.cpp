#include "filter/filter.h"

#include "base/byte_cursor.h"
#include "base/strings.h"

#include <cstdlib>
#include <cstring>

namespace {

// Takes the next token of `text` at `pos`, separated by any of `seps`; empty
// tokens are skipped and a token is cut to kFilterTokenMax characters.
// With `brackets`, separators between '[' and the next ']' belong to the
// token (IPv6 addresses hold ':'); an unclosed '[' runs to the end.
bool NextToken(const char* text, size_t& pos, const char* seps, char (&out)[kFilterTokenMax + 1],
               bool brackets = false) {
  while (text[pos] && strchr(seps, text[pos])) pos++;
  if (!text[pos]) return false;
  size_t n = 0;
  bool inside = false;
  while (text[pos] && (inside || !strchr(seps, text[pos]))) {
    if (brackets && text[pos] == '[') inside = true;
    else if (text[pos] == ']') inside = false;
    if (n < kFilterTokenMax) out[n++] = text[pos];
    pos++;
  }
  out[n] = 0;
  if (text[pos]) pos++;
  return true;
}


// inet_addr's rules: one to four parts, each decimal, octal (leading 0) or
// hex (0x); the last part fills the remaining bytes. INADDR_NONE when invalid.
uint32_t ParseAddressHostOrder(const char* s) {
  uint32_t parts[4];
  int n = 0;
  const char* p = s;
  for (;;) {
    if (n == 4) return 0xFFFFFFFF;
    uint64_t v = 0;
    int base = 10;
    if (*p == '0') {
      base = 8;
      p++;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        p++;
      }
    }
    bool digits = base == 8;  // a lone "0" is a number
    for (;; p++) {
      int d;
      if (*p >= '0' && *p <= '9') d = *p - '0';
      else if (base == 16 && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
      else if (base == 16 && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
      else break;
      if (d >= base) return 0xFFFFFFFF;
      v = v * base + d;
      if (v > 0xFFFFFFFFull) return 0xFFFFFFFF;
      digits = true;
    }
    if (!digits) return 0xFFFFFFFF;
    parts[n++] = uint32_t(v);
    if (*p == '.') {
      p++;
      continue;
    }
    if (*p && *p != ' ' && *p != '\t') return 0xFFFFFFFF;
    break;
  }
  uint32_t a;
  switch (n) {
    case 1: a = parts[0]; break;
    case 2:
      if (parts[0] > 255 || parts[1] > 0xFFFFFF) return 0xFFFFFFFF;
      a = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 255 || parts[1] > 255 || parts[2] > 0xFFFF) return 0xFFFFFFFF;
      a = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      if (parts[0] > 255 || parts[1] > 255 || parts[2] > 255 || parts[3] > 255) return 0xFFFFFFFF;
      a = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  }
  return a;
}

bool InRange(uint32_t v, uint32_t lo, uint32_t hi) { return lo <= v && v <= hi; }

// "[address]"; all ones when the text is no IPv6 address, as inet_addr's
// INADDR_NONE stands for an invalid IPv4 one.
void ParseBracketed(const char* part, uint8_t (&out)[16]) {
  const char* end = strchr(part, ']');
  if (end && !end[1] && ParseIPv6(part + 1, size_t(end - part - 1), out)) return;
  memset(out, 0xFF, 16);
}


}  // namespace

bool ParseFilterRule(const char* token, FilterRule& rule) {
  char fields[4][kFilterTokenMax + 1];
  int count = 0;
  size_t pos = 0;
  char scratch[kFilterTokenMax + 1];
  // Only the addresses' field may hold an IPv6 address and its colons.
  while (NextToken(token, pos, ":", count < 4 ? fields[count] : scratch, count >= 3)) count++;
  if (count < 3) return false;

  if (count >= 4) {
    size_t ppos = 0;
    char part[kFilterTokenMax + 1];
    for (int i = 0; NextToken(fields[3], ppos, "-", part, true); i++) {
      if (part[0] == '[') {
        uint8_t a[16];
        ParseBracketed(part, a);
        if (i == 0) memcpy(rule.low6, a, 16);
        memcpy(rule.high6, a, 16);
        rule.v6 = true;
      } else if (strchr(part, '.')) {
        uint32_t a = ParseAddressHostOrder(part);
        if (i == 0) rule.addressLow = a;
        rule.addressHigh = a;
      } else {
        // As the product's runtime reads a number past int's range: the
        // nearest int (atoi's overflow differs between runtimes).
        const long long n = strtoll(part, nullptr, 10);
        const uint16_t port = uint16_t(n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : n);
        if (i == 0) rule.portLow = port;
        rule.portHigh = port;
      }
    }
  }
  for (int f = 0; f < 3; f++) {
    const char* w = fields[f];
    if (EqualNoCase(w, "include")) rule.action = 1;
    else if (EqualNoCase(w, "exclude")) rule.action = 2;
    else if (EqualNoCase(w, "local")) rule.direction = 1;
    else if (EqualNoCase(w, "remote")) rule.direction = 2;
    else if (EqualNoCase(w, "both")) rule.direction = 3;
    else if (EqualNoCase(w, "tcp")) rule.protocol = 6;
    else if (EqualNoCase(w, "udp")) rule.protocol = 17;
    else if (EqualNoCase(w, "icmp")) rule.protocol = 1;
    else if (EqualNoCase(w, "all")) rule.protocol = -1;
    else if (EqualNoCase(w, "tcpudp")) rule.protocol = -2;
  }
  return true;
}

void ParseFilter(const char* text, FilterRuleList& list) {
  list.clear();
  if (!text) return;
  size_t pos = 0;
  char token[kFilterTokenMax + 1];
  while (NextToken(text, pos, ",; \r\n\t", token)) {
    FilterRule rule;
    if (ParseFilterRule(token, rule)) list.push_back(rule);
  }
}

namespace {
bool InRange6(const IpAddress& a, const FilterRule& r) {
  return a.is6() && CompareIPv6(r.low6, a.bytes) <= 0 && CompareIPv6(a.bytes, r.high6) <= 0;
}

// `inRange(rule, local)` tells whether the local or remote address lies in
// the rule's range.
template <class InRangeOf>
bool MatchRules(const FilterRuleList& list, uint16_t protocol, uint16_t localPort, uint16_t remotePort,
                InRangeOf inRange) {
  if (list.empty()) return true;
  int includes = 0, includeMatches = 0;
  bool excluded = false;
  for (const FilterRule& r : list) {
    if (r.action == 1) includes++;
    bool m = r.protocol == -1 || (r.protocol == -2 && (protocol == 6 || protocol == 17)) ||
             r.protocol == int16_t(protocol);
    if (m && !(r.portLow == 65535 && r.portHigh == 65535)) {
      bool l = InRange(localPort, r.portLow, r.portHigh);
      bool rm = InRange(remotePort, r.portLow, r.portHigh);
      m = r.direction == 1 ? l : r.direction == 2 ? rm : (l || rm);
    }
    if (m && (r.v6 || !(r.addressLow == 0 && r.addressHigh == 0))) {
      bool l = inRange(r, true);
      bool rm = inRange(r, false);
      m = r.direction == 1 ? l : r.direction == 2 ? rm : (l || rm);
    }
    if (!m) continue;
    if (r.action == 2) excluded = true;
    else if (r.action == 1) includeMatches++;
  }
  if (excluded) return false;
  return includes == 0 || includeMatches > 0;
}
}  // namespace

bool MatchFilter(const FilterRuleList& list, uint16_t protocol, uint16_t localPort,
                 uint16_t remotePort, const IpAddress& localAddress, const IpAddress& remoteAddress) {
  return MatchRules(list, protocol, localPort, remotePort, [&](const FilterRule& r, bool local) {
    const IpAddress& a = local ? localAddress : remoteAddress;
    if (r.v6) return InRange6(a, r);
    return !a.is6() && InRange(NetToHost32(a.v4()), r.addressLow, r.addressHigh);
  });
}

bool MatchFilter(const FilterRuleList& list, uint16_t protocol, uint16_t localPort,
                 uint16_t remotePort, uint32_t localAddress, uint32_t remoteAddress) {
  // An IPv6 range holds no IPv4 address.
  return MatchRules(list, protocol, localPort, remotePort, [&](const FilterRule& r, bool local) {
    return !r.v6 && InRange(local ? localAddress : remoteAddress, r.addressLow, r.addressHigh);
  });
}
