#include "capture/frame.h"

#include "base/byte_cursor.h"
#include "capture/capture_engine.h"

namespace {

constexpr int kMaxVlanTags = 4;

bool IsIpType(uint16_t type) { return type == 0x0800 || type == 0x86DD; }

// The null header's family: AF_INET is 2 everywhere, AF_INET6 is 24, 28 or
// 30 by the writer's system, in the writer's byte order.
bool IsIpFamily(uint32_t fam) {
  const uint32_t swapped = (fam >> 24) | (fam >> 8 & 0xFF00) | (fam << 8 & 0xFF0000) | (fam << 24);
  for (uint32_t f : {fam, swapped})
    if (f == 2 || f == 24 || f == 28 || f == 30) return true;
  return false;
}

struct Counter {
  FrameStats* s;
  void handed() { if (s) s->handed++; }
  void notIPv4() { if (s) s->notIPv4++; }
  void truncated() { if (s) s->truncated++; }
  void unsupported() { if (s) s->unsupported++; }
};

void Deliver(PacketSniffer& sniffer, const uint8_t* ip, uint32_t len, const uint8_t* dst,
             const uint8_t* src, FileTime time, Counter c) {
  if (len == 0) return c.truncated();
  if (len > 0x7FFFFFFF) return c.truncated();
  c.handed();
  sniffer.OnPacket(ip, int32_t(len), dst, src, time);
}

void Ieee80211(PacketSniffer& sniffer, const uint8_t* f, uint32_t caplen, FileTime time, Counter c) {
  if (caplen < 33) return c.truncated();
  if (f[0] != 0x08 || (f[1] & 0x40) || f[27] || f[28] || f[29] || !IsIpType(LoadBe16(f + 30)))
    return c.unsupported();
  Deliver(sniffer, f + 32, caplen - 32, f + 10, f + 16, time, c);
}

}  // namespace

void HandleFrame(PacketSniffer& sniffer, const uint8_t* f, uint32_t caplen, FileTime time,
                 FrameStats* stats) {
  Counter c{stats};
  if (caplen > 14) {
    uint32_t off = 12;
    uint16_t type = LoadBe16(f + off);
    // 802.1Q / 802.1ad tags between the addresses and the type.
    for (int tags = 0; (type == 0x8100 || type == 0x88A8 || type == 0x9100) && tags < kMaxVlanTags;
         tags++) {
      off += 4;
      if (caplen < off + 2) return c.truncated();
      type = LoadBe16(f + off);
    }
    if (IsIpType(type)) return Deliver(sniffer, f + off + 2, caplen - off - 2, f, f + 6, time, c);
  }
  if (caplen >= 33 && f[0] == 0x08) return Ieee80211(sniffer, f, caplen, time, c);
  if (caplen <= 14) return c.truncated();
  c.notIPv4();
}

bool IsSupportedLinkType(uint32_t t) {
  switch (t) {
    case kLinkNull: case kLinkEthernet: case kLinkRawBsd: case kLinkRawOpenBsd: case kLinkRaw:
    case kLinkIeee80211: case kLinkLoop: case kLinkLinuxSll: case kLinkRadiotap: case kLinkIPv4:
    case kLinkIPv6: case kLinkLinuxSll2:
      return true;
    default:
      return false;
  }
}

void HandleLinkFrame(PacketSniffer& sniffer, uint32_t linkType, const uint8_t* f, uint32_t caplen,
                     FileTime time, FrameStats* stats) {
  Counter c{stats};
  switch (linkType) {
    case kLinkEthernet:
      return HandleFrame(sniffer, f, caplen, time, stats);
    case kLinkIeee80211:
      return Ieee80211(sniffer, f, caplen, time, c);
    case kLinkRadiotap: {
      if (caplen < 8) return c.truncated();
      uint32_t len = LoadLe16(f + 2);
      if (len < 8 || len > caplen) return c.truncated();
      return Ieee80211(sniffer, f + len, caplen - len, time, c);
    }
    case kLinkNull:
    case kLinkLoop: {
      if (caplen < 4) return c.truncated();
      if (!IsIpFamily(LoadBe32(f))) return c.notIPv4();
      return Deliver(sniffer, f + 4, caplen - 4, nullptr, nullptr, time, c);
    }
    case kLinkRaw:
    case kLinkRawBsd:
    case kLinkRawOpenBsd:
    case kLinkIPv4:
    case kLinkIPv6: {
      if (caplen < 1) return c.truncated();
      const int v = f[0] >> 4;
      if (linkType == kLinkIPv4 ? v != 4 : linkType == kLinkIPv6 ? v != 6 : v != 4 && v != 6) return c.notIPv4();
      return Deliver(sniffer, f, caplen, nullptr, nullptr, time, c);
    }
    case kLinkLinuxSll: {
      if (caplen < 16) return c.truncated();
      if (!IsIpType(LoadBe16(f + 14))) return c.notIPv4();
      const bool mac = LoadBe16(f + 2) == 1 && LoadBe16(f + 4) == 6;
      return Deliver(sniffer, f + 16, caplen - 16, nullptr, mac ? f + 6 : nullptr, time, c);
    }
    case kLinkLinuxSll2: {
      if (caplen < 20) return c.truncated();
      if (!IsIpType(LoadBe16(f))) return c.notIPv4();
      const bool mac = LoadBe16(f + 8) == 1 && f[11] == 6;
      return Deliver(sniffer, f + 20, caplen - 20, nullptr, mac ? f + 12 : nullptr, time, c);
    }
    case kLinkNetMon:
      return HandleNetMonFrame(sniffer, f, caplen, time, stats);
    default:
      return c.unsupported();
  }
}

uint32_t NetMonPayloadOffset(const uint8_t* f, uint32_t len) {
  if (len > 14 && IsIpType(LoadBe16(f + 12))) return 14;
  if (len > 64 && f[0] == 0x02 && f[1] == 0x20 && f[2] == 0 && f[4] == 0 && f[5] == 0 && f[12] == 0 &&
      f[13] == 0 && f[14] == 0 && !(f[33] & 0x40) && IsIpType(LoadBe16(f + 62)))
    return 64;
  return 0;
}

void HandleNetMonFrame(PacketSniffer& sniffer, const uint8_t* f, uint32_t len, FileTime time,
                       FrameStats* stats) {
  Counter c{stats};
  switch (NetMonPayloadOffset(f, len)) {
    case 14:
      return Deliver(sniffer, f + 14, len - 14, f, f + 6, time, c);
    case 64:
      return Deliver(sniffer, f + 64, len - 64, f + 36, f + 48, time, c);
    default:
      if (len <= 14) return c.truncated();
      return c.notIPv4();
  }
}

uint32_t TrustedCaptureLength(const CaptureLibraryHeader& h, uint32_t snapLen) {
  if (h.caplen >= 1 && h.caplen <= snapLen) return h.caplen;
  if (h.tvUsec >= 1 && h.tvUsec <= snapLen) return h.tvUsec;
  return 0;
}
