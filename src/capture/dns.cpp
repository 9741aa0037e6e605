#include "capture/dns.h"

#include <cstdio>
#include <cstring>

#include "base/byte_cursor.h"
#include "base/hash.h"
#include "capture/conversation.h"

namespace {

// Reads a possibly compressed name at the cursor's position into `out`
// (dotted, cut to kDnsNameMax); leaves the cursor after the name.
bool ReadName(ByteCursor& c, char* out) {
  size_t outLen = 0;
  size_t pos = c.pos();
  size_t resume = 0;
  int jumps = 0;
  size_t wire = 1;  // the root label's length byte
  const uint8_t* d = c.data();
  const size_t size = c.size();
  for (;;) {
    if (pos >= size) return false;
    uint8_t l = d[pos];
    if ((l & 0xC0) == 0xC0) {
      if (pos + 1 >= size || ++jumps > kDnsMaxJumps) return false;
      if (!resume) resume = pos + 2;
      pos = size_t(l & 0x3F) << 8 | d[pos + 1];
      continue;
    }
    if (l & 0xC0) return false;  // reserved label types
    if (l == 0) {
      pos += 1;
      break;
    }
    if (pos + 1 + l > size) return false;
    // Longer names are damage: without the limit pointers could make one
    // name walk most of the message, again for every record.
    if ((wire += 1 + l) > kDnsMaxWireName) return false;
    if (outLen && outLen < kDnsNameMax) out[outLen++] = '.';
    // A NUL would cut the name short: shown as '?', as the other bytes no
    // name holds, so the name keeps its length.
    for (int i = 0; i < l && outLen < kDnsNameMax; i++, outLen++)
      out[outLen] = HostNameByte(d[pos + 1 + i], outLen == 0);
    pos += 1 + l;
  }
  out[outLen] = 0;
  c.seek(resume ? resume : pos);
  return c.ok();
}

uint32_t Hash(uint16_t family, const uint8_t* address) {
  uint64_t x, y;
  memcpy(&x, address, 8);
  memcpy(&y, address + 8, 8);
  return uint32_t(HashWords(x ^ family, y));
}

// Hands each A and AAAA record of a message to `use`; false when the
// message is damaged (the records before the damage were handed out).
template <class Use>
bool ForEachAddressRecord(const uint8_t* msg, size_t len, Use&& use) {
  ByteCursor c(msg, len);
  c.skip(4);  // id, flags
  const unsigned qd = c.u16();
  const unsigned records = unsigned(c.u16()) + c.u16() + c.u16();
  if (!c.ok()) return false;
  DnsAddressRecord r;
  for (unsigned i = 0; i < qd; i++) {
    if (!ReadName(c, r.name)) return false;
    c.skip(4);
    if (!c.ok()) return false;
  }
  for (unsigned i = 0; i < records; i++) {
    if (!ReadName(c, r.name)) return false;
    const uint16_t type = c.u16();
    c.skip(6);  // class, ttl
    const uint16_t rdlen = c.u16();
    const uint8_t* rdata = c.take(rdlen);
    if (!c.ok()) return false;
    const bool a = type == 1 && rdlen >= 4;
    const bool aaaa = type == 28 && rdlen >= 16;
    if ((a || aaaa) && r.name[0]) {
      r.family = a ? kFamilyIPv4 : kFamilyIPv6;
      memset(r.address, 0, sizeof r.address);
      memcpy(r.address, rdata, a ? 4 : 16);
      use(r);
    }
  }
  return true;
}

}  // namespace

int ParseDnsAddressRecords(const uint8_t* msg, size_t len, DnsAddressRecord* out, int max) {
  int n = 0;
  const bool whole = ForEachAddressRecord(msg, len, [&](const DnsAddressRecord& r) {
    if (n < max) out[n++] = r;
  });
  return whole ? n : -1;
}

int DnsNameCache::Find(uint16_t family, const uint8_t* address) const {
  if (slots_.empty()) return -1;
  uint32_t h = Hash(family, address);
  const size_t mask = slots_.size() - 1;
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    int32_t e = slots_[s];
    if (e < 0) return -1;
    const Entry& en = entries_[size_t(e)];
    if (en.family == family && memcmp(en.address, address, 16) == 0) return e;
  }
}

void DnsNameCache::Rehash(size_t slots) {
  slots_.assign(slots, -1);
  const size_t mask = slots - 1;
  for (size_t e = 0; e < entries_.size(); e++) {
    size_t s = Hash(entries_[e].family, entries_[e].address) & mask;
    while (slots_[s] >= 0) s = (s + 1) & mask;
    slots_[s] = int32_t(e);
  }
}

int DnsNameCache::FindIPv4(uint32_t address) const {
  uint8_t a[16] = {};
  memcpy(a, &address, 4);
  return Find(kFamilyIPv4, a);
}

int DnsNameCache::FindIPv6(const uint8_t* address) const { return Find(kFamilyIPv6, address); }

const char* DnsNameCache::Name(int index) const {
  if (index < 0 || size_t(index) >= entries_.size()) return nullptr;
  return entries_[size_t(index)].name;
}

void DnsNameCache::Add(uint16_t family, const uint8_t* address, const char* name) {
  if (entries_.size() >= kMaxDnsNames || Find(family, address) >= 0) return;
  Entry e{};
  snprintf(e.name, sizeof e.name, "%.127s", name);
  e.family = family;
  memcpy(e.address, address, 16);
  entries_.push_back(e);
  if (entries_.size() * 2 > slots_.size()) {
    Rehash(slots_.empty() ? 64 : slots_.size() * 2);
    return;
  }
  const size_t mask = slots_.size() - 1;
  size_t s = Hash(family, address) & mask;
  while (slots_[s] >= 0) s = (s + 1) & mask;
  slots_[s] = int32_t(entries_.size() - 1);
}

void DnsNameCache::Clear() {
  entries_.clear();
  slots_.clear();
}

DnsNameCache& GlobalDnsNameCache() {
  static DnsNameCache cache;
  return cache;
}

bool FindIPv6Transport(const uint8_t* p, int32_t n, IPv6Transport* out) {
  if (n < 40 || (p[0] >> 4) != 6) return false;
  const int32_t announced = int32_t(LoadBe16(p + 4)) + 40;
  // A zero payload length is a jumbo payload: the captured bytes are all of it.
  const int32_t end = announced > 40 && announced < n ? announced : n;
  uint8_t next = p[6];
  int32_t offset = 40;
  for (int headers = 0; next != 6 && next != 17; headers++) {
    if (headers > kMaxIPv6ExtensionHeaders || end - offset < 8) return false;
    const uint8_t* h = p + offset;
    if (next == 44) {
      if (LoadBe16(h + 2) >> 3) return false;  // a later fragment: no transport header
      offset += 8;
    } else if (IPv6ExtensionLength(next, 0)) {
      offset += IPv6ExtensionLength(next, h[1]);
    } else {
      return false;
    }
    next = h[0];
  }
  if (end - offset < (next == 6 ? 20 : 8)) return false;
  const int32_t thl = next == 6 ? (p[offset + 12] >> 4) * 4 : 8;
  if (thl < (next == 6 ? 20 : 8) || thl > end - offset) return false;
  *out = {next, offset, offset + thl, end};
  return true;
}

int LearnDnsAnswers(const uint8_t* p, int32_t n, DnsNameCache& cache) {
  if (n < 20 || n >= kDnsMaxPacket) return 0;
  uint8_t proto;
  int32_t at;  // the transport header
  if ((p[0] >> 4) == 6) {
    IPv6Transport x;
    if (!FindIPv6Transport(p, n, &x)) return 0;
    proto = x.protocol;
    at = x.header;
  } else {
    if ((p[0] >> 4) != 4) return 0;
    at = (p[0] & 0x0F) * 4;
    if (at < 20 || at >= n) return 0;
    proto = p[9];
    if (proto != 6 && proto != 17) return 0;
    if (LoadBe16(p + 6) & 0x1FFF) return 0;  // a later fragment: no transport header
    if (n - at < (proto == 6 ? 20 : 8)) return 0;
  }
  const uint8_t* t = p + at;
  if (LoadBe16(t) != 53 && LoadBe16(t + 2) != 53) return 0;
  int offset = at + (proto == 6 ? (t[12] >> 4) * 4 + 2 : 8);  // TCP: skip the length prefix
  if (offset >= n) return 0;
  size_t len = size_t(n - offset);
  if (proto == 6) {
    size_t prefixed = LoadBe16(p + offset - 2);
    if (prefixed < len) len = prefixed;
  }
  // A damaged message teaches nothing: it is walked whole once before its
  // records are learned, however many it holds.
  if (!ForEachAddressRecord(p + offset, len, [](const DnsAddressRecord&) {})) return 0;
  int added = 0;
  ForEachAddressRecord(p + offset, len, [&](const DnsAddressRecord& r) {
    const size_t before = cache.size();
    cache.Add(r.family, r.address, r.name);
    added += int(cache.size() - before);
  });
  return added;
}
