#include <cstring>

#include "base/byte_cursor.h"
#include "capture/conversation.h"

bool DecodePacket(const uint8_t* p, int32_t n, DecodedPacket& r, uint32_t localAddress,
                  bool decideDirection, const uint8_t* dstMac, const uint8_t* srcMac) {
  if (n < 20 || (p[0] >> 4) != 4) return false;
  const int ihl = (p[0] & 0x0F) * 4;
  if (ihl < 20 || ihl >= n) return false;
  r.protocol = p[9];
  r.totalSize = LoadBe16(p + 2);
  if (r.totalSize > n + 16) return false;  // up to 16 missing bytes tolerated

  uint32_t src, dst;
  memcpy(&src, p + 12, 4);
  memcpy(&dst, p + 16, 4);
  const bool incoming = decideDirection && dst == localAddress;
  r.localAddress = incoming ? dst : src;
  r.remoteAddress = incoming ? src : dst;

  const uint8_t* t = p + ihl;
  const int avail = n - ihl;
  uint16_t sport = 0, dport = 0;
  bool ok = false;
  switch (r.protocol) {
    case kProtoIcmp:
      r.headerLength = int16_t(ihl + 8);
      ok = true;
      break;
    case kProtoTcp:
      if (avail >= 20) {  // the fixed TCP header
        sport = LoadBe16(t);
        dport = LoadBe16(t + 2);
        r.tcpSequence = LoadBe32(t + 4);
        r.headerLength = int16_t(ihl + (t[12] >> 4) * 4);
        ok = true;
      }
      break;
    case kProtoUdp:
      if (avail >= 8) {
        sport = LoadBe16(t);
        dport = LoadBe16(t + 2);
        r.headerLength = int16_t(ihl + 8);
        ok = true;
      }
      break;
    default:
      break;
  }
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
  return ok;
}
