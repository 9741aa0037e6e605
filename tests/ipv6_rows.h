// IPv6 packets for the tests of the list, exports, filters and streams.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "capture/conversation_table.h"
#include "packetfile/packet_file.h"

inline IpAddress V6(const char* text) {
  uint8_t b[16] = {};
  ParseIPv6(text, strlen(text), b);
  return IpAddress::V6(b);
}

// A TCP (at `seq`), UDP or ICMPv6 packet carrying `data`; with `fragment`
// (its id), only bytes [from, to) of its upper-layer part, as a fragment.
inline std::vector<uint8_t> Ip6(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                                const std::string& data, uint32_t seq = 0, uint32_t fragment = 0, size_t from = 0,
                                size_t to = 0) {
  std::string t(proto == 6 ? 20 : 8, '\0');
  const uint32_t words[2] = {uint32_t(proto == 58 ? 0 : sport << 16 | dport), seq};
  for (int i = 0; i < (proto == 6 ? 8 : 4); i++) t[size_t(i)] = char(words[i / 4] >> (24 - 8 * (i % 4)));
  if (proto == 6) t[12] = 0x50;
  t += data;
  if (fragment) {
    const uint32_t off = uint32_t(from | (to < t.size() ? 1 : 0));
    t = std::string{char(proto), 0, char(off >> 8), char(off), char(fragment >> 24), char(fragment >> 16),
                    char(fragment >> 8), char(fragment)} + t.substr(from, to - from);
  }
  std::vector<uint8_t> p(40);
  p[0] = 0x60;
  p[4] = uint8_t(t.size() >> 8);
  p[5] = uint8_t(t.size());
  p[6] = fragment ? 44 : proto;
  memcpy(&p[8], V6(src).bytes, 16);
  memcpy(&p[24], V6(dst).bytes, 16);
  p.insert(p.end(), t.begin(), t.end());
  return p;
}

inline Conversation* Account(ConversationTable& table, const std::vector<uint8_t>& p) {
  PacketHeader h;
  h.length = uint32_t(p.size());
  return table.UpdateConversation(p.data(), h);
}
