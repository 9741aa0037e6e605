// One row of the upper list: a protocol plus a local and a remote endpoint.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/ip_address.h"
#include "base/platform.h"

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoAny = 255;  // summary mode
constexpr int kHostNameSize = 128;
constexpr int kHostNameMax = 126;  // names are cut to this when written

// flags bits
constexpr uint8_t kRowTextCurrent = 1;  // the list row's text is current
// An IPv6 conversation: its address fields hold the AddressBook entries
// of its addresses, whose 16 bytes live there once.
constexpr uint8_t kConvIPv6 = 2;

constexpr uint8_t kProtoIcmpV6 = 58;  // kept as kProtoIcmp in conversations
// Walking more extension headers than this marks the packet damaged.
constexpr int kMaxIPv6ExtensionHeaders = 16;
// The length of an IPv6 extension header that is walked to the transport
// header behind it (hop-by-hop, routing, options, AH, Mobility, HIP, Shim6)
// from its second byte; 0 for any other header (fragments among them).
inline int IPv6ExtensionLength(uint8_t next, uint8_t lengthByte) {
  if (next == 51) return (lengthByte + 2) * 4;
  const bool walked = next == 0 || next == 43 || next == 60 || next == 135 || next == 139 || next == 140;
  return walked ? (lengthByte + 1) * 8 : 0;
}

// Why a packet that reached the decoder opened or joined no conversation.
enum SkipReason : uint8_t {
  kSkipNone = 0,
  kSkipTruncated,            // "truncated_ip": headers cut short
  kSkipOtherProtocol,        // neither TCP, UDP nor ICMP
  kSkipIPv6Off,              // IPv6 while "Capture IPv6 packets" is off
  kSkipBadExtensionChain,    // "bad_ipv6_extension_chain": loops, overruns
  kSkipFragmentWithoutFirst, // "fragment_without_first"
  kSkipReasonCount
};
extern const char* const kSkipReasonNames[kSkipReasonCount];

// Fragments: the first of several carries the ports, later ones are
// matched to it by the table.
constexpr uint8_t kFirstFragment = 1, kLaterFragment = 2;

// The capturing adapter's addresses, which decide which side is local.
struct LocalSide {
  uint32_t v4 = 0;  // network order
  std::vector<IpAddress> v6;
  bool ipv6 = true;  // decode IPv6 packets at all
  bool IsLocal6(const uint8_t* a) const {
    for (const IpAddress& l : v6)
      if (memcmp(l.bytes, a, 16) == 0) return true;
    return false;
  }
};

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
  // IPv6: the addresses themselves (localAddress and remoteAddress are 0
  // until the table puts their AddressBook entries there). IPv4 fragments
  // keep their addresses here too, mapped, to be paired with their first.
  uint8_t family = 4;
  uint8_t fragment = 0;  // kFirstFragment, kLaterFragment
  uint8_t skip = kSkipNone;
  uint8_t tcpSyn = 0;  // a connection's first segment from its side
  uint32_t fragmentId = 0;
  // Fragments: where the fragmentable part starts in the packet, and this
  // fragment's place in it (bytes).
  uint16_t fragmentStart = 0;
  uint16_t fragmentOffset = 0;
  uint8_t local6[16];
  uint8_t remote6[16];
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

// Decodes the IP header (with IPv6's extension headers) and the transport
// header of `packet` into a freshly initialised `r`. With `local` the packet
// is incoming when its destination is one of the adapter's addresses;
// without it the source is always the local side. On false, r.skip says
// why. Never reads outside packet[0, length).
bool DecodePacket(const uint8_t* packet, int32_t length, DecodedPacket& r, const LocalSide* local,
                  const uint8_t* dstMac, const uint8_t* srcMac);
// IPv4 direction by one address; IPv6 packets decode with no local address.
bool DecodePacket(const uint8_t* packet, int32_t length, DecodedPacket& r, uint32_t localAddress,
                  bool decideDirection, const uint8_t* dstMac, const uint8_t* srcMac);
