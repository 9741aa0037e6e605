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
constexpr uint16_t kRowTextCurrent = 1;

// Fields the per-packet path touches come first, so that a lookup and an
// update stay within the first two cache lines of the record.
struct Conversation {
  uint16_t flags = 0;
  uint16_t shown = 0;
  int32_t rowValue = -1;
  uint32_t localAddress = 0;   // network byte order
  uint32_t remoteAddress = 0;  // network byte order
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  uint8_t protocol = 0;
  int16_t headerLength = 0;  // scratch
  FileTime firstTime = 0;
  FileTime lastTime = 0;
  uint32_t index = 0;
  int32_t packets = 0;
  int32_t outPackets = 0;
  int32_t outgoing = 0;  // scratch
  uint32_t firstTick = 0;
  uint32_t lastTick = 0;
  double speed = 0;
  int32_t speedValid = 0;
  int32_t totalSize = 0;
  int32_t outTotalSize = 0;
  int32_t dataSize = 0;
  int32_t outDataSize = 0;
  uint32_t tcpSequence = 0;  // scratch
  uint32_t reserved = 0;
  int32_t processIndex = -1;
  int32_t connectionState = 0;
  uint8_t localMac[6] = {};
  uint8_t remoteMac[6] = {};
  // Only the first byte of each text is cleared: records are made per
  // packet, and the bytes after the terminator are never read.
  char localHost[kHostNameSize];
  char remoteHost[kHostNameSize];
  char remoteCountry[64];
  char localCountry[64];

  Conversation() { localHost[0] = remoteHost[0] = remoteCountry[0] = localCountry[0] = 0; }
};

// Decodes the IPv4 header and the transport header of `packet` into a
// freshly initialised `r`. With `decideDirection` the packet is incoming
// when its destination is `localAddress`; without it the source is always
// the local side. Never reads outside packet[0, length).
bool DecodePacket(const uint8_t* packet, int32_t length, Conversation& r, uint32_t localAddress,
                  bool decideDirection, const uint8_t* dstMac, const uint8_t* srcMac);

// Copies `name` cut to kHostNameMax characters.
void CopyHostName(char (&dst)[kHostNameSize], const char* name);
