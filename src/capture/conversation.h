// One row of the upper list: a protocol plus a local and a remote endpoint.
#pragma once
#include <cstdint>

#include "base/platform.h"

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoAny = 255;  // summary mode
constexpr int kHostNameSize = 128;
constexpr int kHostNameMax = 126;  // names are cut to this when written

// flags bit: the list row's text is current
constexpr uint8_t kRowTextCurrent = 1;

// One packet's protocol, endpoints and lengths, as the decoder finds them.
struct DecodedPacket {
  uint32_t localAddress = 0;   // network byte order
  uint32_t remoteAddress = 0;  // network byte order
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  uint8_t protocol = 0;
  int16_t headerLength = 0;  // IPv4 header plus transport header
  int32_t totalSize = 0;     // IP total length
  int32_t outgoing = 0;      // sent by the local side
  uint32_t tcpSequence = 0;
  uint8_t localMac[6] = {};
  uint8_t remoteMac[6] = {};
};

// Millions of these are kept, so what belongs to an address (host name,
// country) lives once in the table's AddressBook and is referred to here.
// The key comes first: a lookup reads only the first cache line.
struct Conversation {
  uint32_t localAddress = 0;   // network byte order
  uint32_t remoteAddress = 0;  // network byte order
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  uint8_t protocol = 0;
  uint8_t flags = 0;
  uint8_t speedValid = 0;
  uint32_t index = 0;
  int32_t processIndex = -1;
  uint32_t localEntry = 0;   // AddressBook entries; 0 = none
  uint32_t remoteEntry = 0;
  FileTime firstTime = 0;
  FileTime lastTime = 0;
  uint64_t packets = 0;
  uint64_t outPackets = 0;
  uint64_t totalSize = 0;
  uint64_t outTotalSize = 0;
  uint64_t dataSize = 0;
  uint64_t outDataSize = 0;
  double speed = 0;
  uint8_t localMac[6] = {};
  uint8_t remoteMac[6] = {};
  int32_t connectionState = 0;
};
// Ten million of them must fit a 32-bit process beside everything else,
// with room for addresses of 16 bytes instead of 4.
static_assert(sizeof(Conversation) <= 120, "a conversation outgrew its budget");

// Decodes the IPv4 header and the transport header of `packet` into a
// freshly initialised `r`. With `decideDirection` the packet is incoming
// when its destination is `localAddress`; without it the source is always
// the local side. Never reads outside packet[0, length).
bool DecodePacket(const uint8_t* packet, int32_t length, DecodedPacket& r, uint32_t localAddress,
                  bool decideDirection, const uint8_t* dstMac, const uint8_t* srcMac);
