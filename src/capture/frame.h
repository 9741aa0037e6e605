// Link-layer frames to the OnPacket hand-off.
#pragma once
#include <cstdint>

#include "base/platform.h"
#include "packetfile/link_type.h"

class PacketSniffer;

// Named conditions of frames that carry no IP packet we can use.
struct FrameStats {
  uint64_t handed = 0;       // frames that reached OnPacket
  uint64_t notIPv4 = 0;      // neither IPv4 nor IPv6 (ARP, ...)
  uint64_t truncated = 0;    // link header not all there
  uint64_t unsupported = 0;  // unknown link type or 802.11 frame kind
};

// Ethernet II and 802.11 data frames carrying IPv4 or IPv6, by the packet
// capture driver's rules.
void HandleFrame(PacketSniffer& sniffer, const uint8_t* frame, uint32_t caplen, FileTime time,
                 FrameStats* stats = nullptr);
// Any supported link type.
void HandleLinkFrame(PacketSniffer& sniffer, uint32_t linkType, const uint8_t* frame,
                     uint32_t caplen, FileTime time, FrameStats* stats = nullptr);
bool IsSupportedLinkType(uint32_t linkType);

// Network Monitor frames: Ethernet II, or 802.11 data in monitor mode behind
// Network Monitor's 32-byte header. Where the IP packet begins (14 or 64),
// 0 when the frame carries none.
uint32_t NetMonPayloadOffset(const uint8_t* frame, uint32_t length);
void HandleNetMonFrame(PacketSniffer& sniffer, const uint8_t* frame, uint32_t length, FileTime time,
                       FrameStats* stats = nullptr);

// A frame header of the packet capture library as a 32-bit program sees it.
struct CaptureLibraryHeader {
  uint32_t tvSec;
  uint32_t tvUsec;
  uint32_t caplen;
  uint32_t len;
};

// How many frame bytes may be read, or 0 to drop the frame. A captured
// length above the snapshot length is never trusted: some 32-bit library
// builds hand over a header whose microseconds field holds the captured
// length and whose length fields hold unrelated values; that layout is
// recognised and its length used.
uint32_t TrustedCaptureLength(const CaptureLibraryHeader& h, uint32_t snapLen);
