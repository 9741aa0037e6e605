// What the frames of a capture file begin with.
#pragma once
#include <cstdint>

// Link types of capture files (the LINKTYPE_ values).
enum LinkType : uint32_t {
  kLinkNull = 0,         // BSD loopback, family in the writer's byte order
  kLinkEthernet = 1,
  kLinkRawBsd = 12,      // DLT_RAW on most systems
  kLinkRawOpenBsd = 14,
  kLinkRaw = 101,
  kLinkIeee80211 = 105,
  kLinkLoop = 108,       // OpenBSD loopback, family in network order
  kLinkLinuxSll = 113,
  kLinkRadiotap = 127,
  kLinkIPv4 = 228,
  kLinkIPv6 = 229,
  kLinkLinuxSll2 = 276,
  // Not a capture-file link type: frames as Network Monitor delivers them.
  kLinkNetMon = 0xFFFF0001u,
};
