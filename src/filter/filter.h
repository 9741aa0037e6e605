// The include/exclude rule language of the capture and display filters.
#pragma once
#include <cstdint>
#include <vector>

#include "base/ip_address.h"

constexpr int kFilterTokenMax = 254;

struct FilterRule {
  uint16_t direction = 2;  // 1 local, 2 remote, 3 both
  uint16_t action = 1;     // 1 include, 2 exclude
  uint32_t addressLow = 0;  // host byte order
  uint32_t addressHigh = 0;
  uint16_t portLow = 65535;
  uint16_t portHigh = 65535;
  int16_t protocol = -1;  // -1 any, -2 TCP or UDP
  // An IPv6 range ("[2001:db8::1]-[2001:db8::ff]"); IPv4 addresses never
  // fall in it, and IPv6 addresses never fall in an IPv4 range.
  bool v6 = false;
  uint8_t low6[16] = {}, high6[16] = {};
};

using FilterRuleList = std::vector<FilterRule>;

void ParseFilter(const char* text, FilterRuleList& list);
bool ParseFilterRule(const char* token, FilterRule& rule);
// Addresses in host byte order.
bool MatchFilter(const FilterRuleList& list, uint16_t protocol, uint16_t localPort,
                 uint16_t remotePort, uint32_t localAddress, uint32_t remoteAddress);
// Either family; IPv4 exactly as above.
bool MatchFilter(const FilterRuleList& list, uint16_t protocol, uint16_t localPort,
                 uint16_t remotePort, const IpAddress& localAddress, const IpAddress& remoteAddress);
