#include <cstring>

#include "base/byte_cursor.h"
#include "capture/conversation.h"

const char* const kSkipReasonNames[kSkipReasonCount] = {
    "", "truncated_ip", "other_protocol", "ipv6_off", "bad_ipv6_extension_chain", "fragment_without_first"};

namespace {
// Ports and header length of the transport header at t[0, avail).
bool DecodeTransport(uint8_t protocol, const uint8_t* t, int avail, int offset, DecodedPacket& r,
                     uint16_t& sport, uint16_t& dport) {
  switch (protocol) {
    case kProtoIcmp:
    case kProtoIcmpV6:
      r.headerLength = int16_t(offset + 8);
      return true;
    case kProtoTcp:
      if (avail < 20) break;  // the fixed TCP header
      // A header shorter than its fixed part is no header; one cut off (by a
      // snapshot length) is not counted on.
      if ((t[12] >> 4) < 5 || (t[12] >> 4) * 4 > avail) break;
      sport = LoadBe16(t);
      dport = LoadBe16(t + 2);
      r.tcpSequence = LoadBe32(t + 4);
      r.tcpSyn = (t[13] & 0x02) != 0;
      r.headerLength = int16_t(offset + (t[12] >> 4) * 4);
      return true;
    case kProtoUdp:
      if (avail < 8) break;
      sport = LoadBe16(t);
      dport = LoadBe16(t + 2);
      r.headerLength = int16_t(offset + 8);
      return true;
    default:
      r.skip = kSkipOtherProtocol;
      return false;
  }
  r.skip = kSkipTruncated;
  return false;
}

void Orient(DecodedPacket& r, bool incoming, uint16_t sport, uint16_t dport, const uint8_t* dstMac,
            const uint8_t* srcMac) {
  if (incoming) {
    r.localPort = dport;
    r.remotePort = sport;
    if (dstMac) memcpy(r.localMac, dstMac, 6);
    if (srcMac) memcpy(r.remoteMac, srcMac, 6);
  } else {
    r.localPort = sport;
    r.remotePort = dport;
    if (srcMac) memcpy(r.localMac, srcMac, 6);
    if (dstMac) memcpy(r.remoteMac, dstMac, 6);
  }
  r.outgoing = incoming ? 0 : 1;
}

// Largest header chain kept: headerLength is 16 bits and every byte of the
// chain must lie in the captured packet anyway.
constexpr int kMaxIPv6HeaderChain = 16384;

bool DecodeIPv6(const uint8_t* p, int32_t n, DecodedPacket& r, const LocalSide* local,
                const uint8_t* dstMac, const uint8_t* srcMac) {
  if (local && !local->ipv6) {
    r.skip = kSkipIPv6Off;
    return false;
  }
  if (n < 40) {
    r.skip = kSkipTruncated;
    return false;
  }
  r.family = 6;
  const bool incoming = local && local->IsLocal6(p + 24);
  memcpy(r.local6, incoming ? p + 24 : p + 8, 16);
  memcpy(r.remote6, incoming ? p + 8 : p + 24, 16);
  uint32_t payload = LoadBe16(p + 4);
  uint8_t next = p[6];
  int offset = 40;
  // A zero payload length announces a jumbo payload option in hop-by-hop.
  const bool jumbo = payload == 0 && next == 0;
  uint16_t sport = 0, dport = 0;
  bool ok = false;
  for (int headers = 0;; headers++) {
    if (headers > kMaxIPv6ExtensionHeaders || offset > kMaxIPv6HeaderChain) {
      r.skip = kSkipBadExtensionChain;
      return false;
    }
    const uint8_t* h = p + offset;
    const int avail = n - offset;
    if (IPv6ExtensionLength(next, 0)) {
      if (avail < 8) {
        r.skip = kSkipTruncated;
        return false;
      }
      const int len = IPv6ExtensionLength(next, h[1]);
      if (len > avail) {
        r.skip = kSkipTruncated;
        return false;
      }
      if (next == 0 && jumbo) {
        // Options: type 0xC2 with 4 bytes is the jumbo payload length.
        for (int o = 2; o + 2 <= len;) {
          if (h[o] == 0) {  // Pad1
            o++;
            continue;
          }
          const int olen = h[o + 1];
          if (o + 2 + olen > len) break;
          if (h[o] == 0xC2 && olen == 4) payload = LoadBe32(h + o + 2);
          o += 2 + olen;
        }
      }
      if (next == 0 && headers) {  // hop-by-hop must come first
        r.skip = kSkipBadExtensionChain;
        return false;
      }
      next = h[0];
      offset += len;
      continue;
    }
    if (next == 44) {  // fragment
      if (avail < 8) {
        r.skip = kSkipTruncated;
        return false;
      }
      const uint16_t off = uint16_t(LoadBe16(h + 2) >> 3);
      const bool more = h[3] & 1;
      r.fragmentId = LoadBe32(h + 4);
      next = h[0];
      offset += 8;
      r.fragmentStart = uint16_t(offset);
      r.fragmentOffset = uint16_t(off << 3);
      if (off) {
        // The transport header lies in the first fragment: the table pairs
        // this one with it and takes its protocol, since `next` here may
        // name an extension header of the fragmentable part.
        r.fragment = kLaterFragment;
        r.protocol = next == kProtoIcmpV6 ? kProtoIcmp : next;
        r.headerLength = int16_t(offset);
        ok = true;
        break;
      }
      if (more) r.fragment = kFirstFragment;
      continue;
    }
    ok = DecodeTransport(next, h, avail, offset, r, sport, dport);
    r.protocol = next == kProtoIcmpV6 ? kProtoIcmp : next;
    break;
  }
  // The jumbo length counts no 40-byte header, like the ordinary one.
  if (jumbo && payload <= 65535) {  // no jumbo option, or an invalid one
    r.skip = kSkipTruncated;
    return false;
  }
  // A packet cut by the capture's snapshot length keeps its length (its
  // headers are whole, as checked above); a jumbogram's is not believed past
  // 16 bytes beyond what was captured.
  const uint64_t total = uint64_t(payload) + 40;
  if ((jumbo && total > uint64_t(n) + 16) || total > 0x7FFFFFFF) {
    r.skip = kSkipTruncated;
    return false;
  }
  // Headers reaching past the payload length would count negative data.
  if (r.headerLength > int32_t(total)) {
    r.skip = kSkipTruncated;
    return false;
  }
  r.totalSize = int32_t(total);
  Orient(r, incoming, sport, dport, dstMac, srcMac);
  return ok;
}
}  // namespace

bool DecodePacket(const uint8_t* p, int32_t n, DecodedPacket& r, const LocalSide* local,
                  const uint8_t* dstMac, const uint8_t* srcMac) {
  if (n >= 1 && (p[0] >> 4) == 6) return DecodeIPv6(p, n, r, local, dstMac, srcMac);
  if (n < 20 || (p[0] >> 4) != 4) {
    r.skip = kSkipTruncated;
    return false;
  }
  const int ihl = (p[0] & 0x0F) * 4;
  if (ihl < 20 || ihl >= n) {
    r.skip = kSkipTruncated;
    return false;
  }
  r.protocol = p[9];
  r.totalSize = LoadBe16(p + 2);
  // A sender that leaves segmenting to its adapter leaves the length to it
  // too: the frame as captured is the packet.
  if (r.totalSize == 0) r.totalSize = n;
  // A total length past the captured bytes is a packet cut by the capture's
  // snapshot length: it counts whole, and only its captured bytes are read.

  uint32_t src, dst;
  memcpy(&src, p + 12, 4);
  memcpy(&dst, p + 16, 4);
  const bool incoming = local && dst == local->v4;
  r.localAddress = incoming ? dst : src;
  r.remoteAddress = incoming ? src : dst;

  uint16_t sport = 0, dport = 0;
  // Fragments pair as IPv6 ones do, by addresses (mapped into the IPv6
  // fields), protocol and identification: a later one holds no transport
  // header, and its first bytes read as ports would make up conversations.
  const uint16_t fragmentField = LoadBe16(p + 6);
  const bool later = (fragmentField & 0x1FFF) != 0;
  if (later || (fragmentField & 0x2000)) {
    r.fragment = later ? kLaterFragment : kFirstFragment;
    r.fragmentId = uint32_t(r.protocol) << 16 | LoadBe16(p + 4);
    r.fragmentStart = uint16_t(ihl);
    r.fragmentOffset = uint16_t((fragmentField & 0x1FFF) << 3);
    for (uint8_t* mapped : {r.local6, r.remote6}) {
      memset(mapped, 0, 10);
      mapped[10] = mapped[11] = 0xFF;
    }
    memcpy(r.local6 + 12, &r.localAddress, 4);
    memcpy(r.remote6 + 12, &r.remoteAddress, 4);
  }
  bool ok;
  if (later) {
    ok = r.protocol == kProtoTcp || r.protocol == kProtoUdp || r.protocol == kProtoIcmp;
    if (!ok) r.skip = kSkipOtherProtocol;
    r.headerLength = int16_t(ihl);
  } else {
    ok = r.protocol != kProtoIcmpV6 && DecodeTransport(r.protocol, p + ihl, n - ihl, ihl, r, sport, dport);
  }
  if (r.protocol == kProtoIcmpV6) r.skip = kSkipOtherProtocol;
  // Headers reaching past the total length would count negative data.
  if (ok && r.headerLength > r.totalSize) {
    r.skip = kSkipTruncated;
    return false;
  }
  Orient(r, incoming, sport, dport, dstMac, srcMac);
  return ok;
}

bool DecodePacket(const uint8_t* p, int32_t n, DecodedPacket& r, uint32_t localAddress,
                  bool decideDirection, const uint8_t* dstMac, const uint8_t* srcMac) {
  LocalSide side;
  side.v4 = localAddress;
  return DecodePacket(p, n, r, decideDirection ? &side : nullptr, dstMac, srcMac);
}
