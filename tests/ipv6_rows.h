// IPv6 packets and rows for the tests of the list, exports, filters and streams.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "capture/conversation_table.h"
#include "packetfile/packet_file.h"

inline IpAddress V6(const char* text) {
  uint8_t b[16] = {};
  ParseIPv6(text, strlen(text), b);
  return IpAddress::V6(b);
}

// A TCP (with `seq`), UDP or ICMPv6 packet carrying `data`.
inline std::vector<uint8_t> Ip6(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                                const std::string& data, uint32_t seq = 0) {
  std::vector<uint8_t> t(proto == 6 ? 20 : 8);
  const uint8_t ports[4] = {uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport)};
  if (proto != 58) memcpy(t.data(), ports, 4);
  if (proto == 6) {
    for (int i = 0; i < 4; i++) t[4 + i] = uint8_t(seq >> (24 - 8 * i));
    t[12] = 0x50;
  }
  t.insert(t.end(), data.begin(), data.end());
  std::vector<uint8_t> p(40);
  p[0] = 0x60;
  p[4] = uint8_t(t.size() >> 8);
  p[5] = uint8_t(t.size());
  p[6] = proto;
  p[7] = 64;
  memcpy(&p[8], V6(src).bytes, 16);
  memcpy(&p[24], V6(dst).bytes, 16);
  p.insert(p.end(), t.begin(), t.end());
  return p;
}

// Bytes [from, to) of `packet`'s upper-layer part as a fragment.
inline std::vector<uint8_t> Fragment6(const std::vector<uint8_t>& packet, uint32_t id, size_t from, size_t to,
                                      bool more) {
  std::vector<uint8_t> p(48 + to - from);
  memcpy(p.data(), packet.data(), 40);
  memcpy(p.data() + 48, packet.data() + 40 + from, to - from);
  p[4] = uint8_t((p.size() - 40) >> 8);
  p[5] = uint8_t(p.size() - 40);
  p[6] = 44;
  const uint16_t off = uint16_t(from | (more ? 1 : 0));
  const uint8_t h[8] = {packet[6], 0, uint8_t(off >> 8), uint8_t(off), uint8_t(id >> 24), uint8_t(id >> 16),
                        uint8_t(id >> 8), uint8_t(id)};
  memcpy(p.data() + 40, h, 8);
  return p;
}

inline Conversation* Account(ConversationTable& table, const std::vector<uint8_t>& p) {
  PacketHeader h;
  h.length = uint32_t(p.size());
  h.time = 133500000000000000;
  return table.UpdateConversation(p.data(), h);
}
