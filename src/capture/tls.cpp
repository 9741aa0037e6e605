#include "capture/tls.h"

#include <cstring>

#include "base/byte_cursor.h"

namespace {

constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kClientHello = 1;
constexpr uint16_t kServerNameExtension = 0;

// The handshake bytes carried by the leading handshake records, joined.
// Returns false when a record is not a handshake record or is malformed.
bool JoinHandshake(const uint8_t* data, size_t len, uint8_t* out, size_t* outLen, bool* cut) {
  size_t pos = 0, n = 0;
  *cut = false;
  while (pos < len) {
    if (len - pos < 5) break;
    const uint8_t* r = data + pos;
    if (r[0] != kHandshakeRecord || r[1] != 3) {
      // Other bytes after the hello's records (early data, say) end them.
      *outLen = n;
      return pos > 0;
    }
    const size_t body = size_t(r[3]) << 8 | r[4];
    if (body == 0 || body > kTlsHelloMax) return false;
    const size_t have = len - pos - 5 < body ? len - pos - 5 : body;
    if (n + have > kTlsHelloMax) return false;
    memcpy(out + n, r + 5, have);
    n += have;
    pos += 5 + have;
  }
  *cut = true;  // the data ended within the records: more of them may follow
  *outLen = n;
  return true;
}

}  // namespace

TlsHello ParseClientHelloName(const uint8_t* data, size_t len, char (&name)[kDnsNameMax + 1], size_t* missing) {
  name[0] = 0;
  if (missing) *missing = 1;
  if (len < 6 || data[0] != kHandshakeRecord || data[1] != 3 || data[5] != kClientHello) return TlsHello::NotHello;
  if (len > kTlsHelloMax) len = kTlsHelloMax;
  static thread_local uint8_t joined[kTlsHelloMax];
  size_t n = 0;
  bool cut = false;
  if (!JoinHandshake(data, len, joined, &n, &cut)) return TlsHello::NotHello;
  ByteCursor c(joined, n);
  if (c.u8() != kClientHello) return TlsHello::NotHello;
  const uint32_t bodyLen = uint32_t(c.u8()) << 16 | c.u16();
  if (bodyLen + 4 > kTlsHelloMax) return TlsHello::NotHello;
  if (n < bodyLen + 4) {
    if (cut && missing && c.ok()) *missing = bodyLen + 4 - n;
    return cut ? TlsHello::NeedMore : TlsHello::NotHello;
  }
  ByteCursor h(joined + 4, bodyLen);
  h.skip(2 + 32);      // version, random
  h.skip(h.u8());      // session id
  h.skip(h.u16());     // cipher suites
  h.skip(h.u8());      // compression methods
  const uint16_t extLen = h.u16();
  const uint8_t* extData = h.take(extLen);
  if (!extData) return TlsHello::NoName;
  ByteCursor ext(extData, extLen);
  while (ext.remaining() >= 4) {
    const uint16_t type = ext.u16();
    const uint16_t size = ext.u16();
    const uint8_t* body = ext.take(size);
    if (!body) break;
    if (type != kServerNameExtension) continue;
    ByteCursor list(body, size);
    const uint16_t listLen = list.u16();
    const uint8_t* listData = list.take(listLen);
    if (!listData) return TlsHello::NoName;
    ByteCursor entries(listData, listLen);
    while (entries.remaining() >= 3) {
      const uint8_t nameType = entries.u8();
      const uint16_t nameLen = entries.u16();
      const uint8_t* text = entries.take(nameLen);
      if (!text || nameType != 0 || nameLen == 0) continue;
      const size_t keep = nameLen < kDnsNameMax ? nameLen : kDnsNameMax;
      for (size_t i = 0; i < keep; i++) name[i] = text[i] > 0x20 && text[i] < 0x7F ? HostNameByte(text[i], i == 0) : '?';
      name[keep] = 0;
      return TlsHello::Name;
    }
    return TlsHello::NoName;
  }
  return TlsHello::NoName;
}

struct TlsNameLearner::Flow {
  IpAddress src, dst;
  uint16_t sport = 0, dport = 0;
  uint32_t nextSeq = 0;
  uint32_t used = 0;  // clock of the last segment; 0 = free
  size_t fill = 0;
  // The fill before which parsing again cannot finish the hello: tiny
  // records would otherwise have every segment parse all of them again.
  size_t parseAt = 0;
};

TlsNameLearner::TlsNameLearner() : flows_(new Flow[kTlsPendingFlows]) {}
TlsNameLearner::~TlsNameLearner() = default;

void TlsNameLearner::Clear() {
  for (int i = 0; i < kTlsPendingFlows; i++) {
    flows_[i] = Flow();
    keys_[i] = 0;
  }
  pending_ = 0;
}

// A free flow, or else the one longest without a segment.
TlsNameLearner::Flow* TlsNameLearner::NewFlow(uint32_t key, const IpAddress& src, const IpAddress& dst,
                                              uint16_t sport, uint16_t dport) {
  int slot = 0;
  for (int i = 0; i < kTlsPendingFlows; i++)
    if (flows_[i].used < flows_[slot].used) slot = i;
  if (!flows_[slot].used) pending_++;
  Flow& f = flows_[slot];
  f = Flow();
  f.src = src;
  f.dst = dst;
  f.sport = sport;
  f.dport = dport;
  keys_[slot] = key;
  return &f;
}

void TlsNameLearner::EndFlow(Flow* flow) {
  *flow = Flow();
  keys_[flow - flows_.get()] = 0;
  pending_--;
}

IpAddress TlsNameLearner::Learn(const uint8_t* p, int32_t n, DnsNameCache& cache, bool* late) {
  if (late) *late = false;
  const uint8_t* t;
  const uint8_t* payload;
  size_t len;
  // The addresses are made only when a flow or a name needs them: most
  // segments need neither, and building them costs more than the checks.
  const uint8_t* addresses;
  bool six;
  if (n >= 40 && (p[0] >> 4) == 6) {
    IPv6Transport x;
    if (!FindIPv6Transport(p, n, &x) || x.protocol != 6 || x.payload >= x.end) return {};
    t = p + x.header;
    payload = p + x.payload;
    len = size_t(x.end - x.payload);
    addresses = p + 8;
    six = true;
  } else {
    if (n < 40 || (p[0] >> 4) != 4 || p[9] != 6 || (LoadBe16(p + 6) & 0x1FFF)) return {};
    const int ihl = (p[0] & 0x0F) * 4;
    const int total = int(LoadBe16(p + 2));
    const int end = total >= ihl && total < n ? total : n;  // Ethernet padding is not payload
    if (ihl < 20 || ihl + 20 > end) return {};
    t = p + ihl;
    const int thl = (t[12] >> 4) * 4;
    if (thl < 20 || ihl + thl >= end) return {};
    payload = t + thl;
    len = size_t(end - ihl - thl);
    addresses = p + 12;
    six = false;
  }
  auto address = [&](int which) {
    if (six) return IpAddress::V6(addresses + 16 * which);
    uint32_t a;
    memcpy(&a, addresses + 4 * which, 4);
    return IpAddress::V4(a);
  };
  const uint16_t sport = LoadBe16(t), dport = LoadBe16(t + 2);
  const uint32_t seq = LoadBe32(t + 4);
  const int size = six ? 16 : 4;
  uint32_t low[2];
  memcpy(&low[0], addresses + size - 4, 4);
  memcpy(&low[1], addresses + 2 * size - 4, 4);
  const uint32_t key = (low[0] * 0x9E3779B1u ^ low[1] ^ (uint32_t(sport) << 16 | dport)) | 1;

  char name[kDnsNameMax + 1];
  Flow* flow = nullptr;
  for (int i = 0; pending_ && i < kTlsPendingFlows && !flow; i++)
    if (keys_[i] == key && flows_[i].sport == sport && flows_[i].dport == dport && flows_[i].src == address(0) &&
        flows_[i].dst == address(1))
      flow = &flows_[i];
  TlsHello r;
  if (flow) {
    if (seq != flow->nextSeq) return {};  // out of order: wait for the expected segment
    uint8_t* buf = buffers_.get() + (flow - flows_.get()) * kTlsHelloMax;
    const size_t room = kTlsHelloMax - flow->fill;
    const size_t take = len < room ? len : room;
    memcpy(buf + flow->fill, payload, take);
    flow->fill += take;
    flow->nextSeq += uint32_t(take);
    flow->used = ++clock_;
    if (flow->fill < flow->parseAt && flow->fill < kTlsHelloMax) return {};
    size_t missing = 1;
    r = ParseClientHelloName(buf, flow->fill, name, &missing);
    flow->parseAt = flow->fill + missing;
    if (late) *late = true;
    if (r != TlsHello::NeedMore || flow->fill == kTlsHelloMax) EndFlow(flow);
  } else {
    size_t missing = 1;
    r = ParseClientHelloName(payload, len, name, &missing);
    if (r == TlsHello::NeedMore && len < kTlsHelloMax) {
      if (!buffers_) buffers_.reset(new uint8_t[size_t(kTlsPendingFlows) * kTlsHelloMax]);
      flow = NewFlow(key, address(0), address(1), sport, dport);
      memcpy(buffers_.get() + (flow - flows_.get()) * kTlsHelloMax, payload, len);
      flow->fill = len;
      flow->parseAt = len + missing;
      flow->nextSeq = seq + uint32_t(len);
      flow->used = ++clock_;
    }
  }
  if (r != TlsHello::Name) return {};
  const IpAddress dst = address(1);
  const size_t before = cache.size();
  cache.Add(dst.is6() ? kFamilyIPv6 : kFamilyIPv4, dst.bytes, name);  // the cache keeps 16 bytes of either
  return cache.size() != before ? dst : IpAddress();
}
