// The include/exclude rule language of the capture and display filters.
#pragma once
#include <cstdint>
#include <vector>

constexpr int kFilterTokenMax = 254;

struct FilterRule {
  uint16_t direction = 2;  // 1 local, 2 remote, 3 both
  uint16_t action = 1;     // 1 include, 2 exclude
  uint32_t addressLow = 0;  // host byte order
  uint32_t addressHigh = 0;
  uint16_t portLow = 65535;
  uint16_t portHigh = 65535;
  int16_t protocol = -1;  // -1 any, -2 TCP or UDP
};

using FilterRuleList = std::vector<FilterRule>;

void ParseFilter(const char* text, FilterRuleList& list);
bool ParseFilterRule(const char* token, FilterRule& rule);
// Addresses in host byte order.
bool MatchFilter(const FilterRuleList& list, uint16_t protocol, uint16_t localPort,
                 uint16_t remotePort, uint32_t localAddress, uint32_t remoteAddress);
