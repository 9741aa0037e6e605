#include "capture/conversation_table.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/byte_cursor.h"
#include "base/hash.h"
#include "base/platform.h"
#include "base/prefault.h"
#include "capture/dns.h"
#include "packetfile/packet_file.h"

namespace {
inline bool Is6(const Conversation& c) { return c.flags & kConvIPv6; }
inline bool Is6(const DecodedPacket& d) { return d.family == 6; }
}  // namespace

ConversationTable::ConversationTable(const Options& options, PacketFile* file)
    : options_(options), file_(file) {}

void ConversationTable::Clear() {
  clears++;
  addresses_.Clear();
  blocks_.clear();
  {
    std::lock_guard<std::mutex> l(spare_.lock);
    spare_.block = PageArray<Conversation>();
  }
  records_.clear();
  pages_.clear();
  chunks_ = 1;
  count_ = 0;
  slots_ = PageArray<uint64_t>();
  lookupList.clear();
  memset(skipped, 0, sizeof skipped);
  fragments_.Clear();
  ParseDisplayFilter();
}

void ConversationTable::ParseDisplayFilter() { ParseFilter(options_.DisplayFilter.c_str(), displayFilter); }

template <class A, class B>
bool ConversationTable::Matches(const A& c, const B& d, bool summary) {
  if (Is6(c) != Is6(d)) return false;
  if (summary) {
    return (c.localAddress == d.localAddress && c.remoteAddress == d.remoteAddress) ||
           (c.localAddress == d.remoteAddress && c.remoteAddress == d.localAddress);
  }
  if (c.protocol != d.protocol) return false;
  const bool ports = c.protocol != kProtoIcmp;
  if (c.localAddress == d.localAddress && c.remoteAddress == d.remoteAddress &&
      (!ports || (c.localPort == d.localPort && c.remotePort == d.remotePort)))
    return true;
  return c.localAddress == d.remoteAddress && c.remoteAddress == d.localAddress &&
         (!ports || (c.localPort == d.remotePort && c.remotePort == d.localPort));
}

// Equal for every pair of records that Matches() pairs, in either order.
template <class R>
uint64_t ConversationTable::KeyHash(const R& c, bool summary) {
  // Address and port side by side; ports and protocol count only outside
  // summary mode, ports not for ICMP.
  const bool ports = !summary && c.protocol != kProtoIcmp;
  uint64_t a = uint64_t(c.localAddress) << 16 | (ports ? c.localPort : 0);
  uint64_t b = uint64_t(c.remoteAddress) << 16 | (ports ? c.remotePort : 0);
  if (a > b) std::swap(a, b);
  const uint64_t kind = uint64_t(Is6(c)) << 8 | (summary ? 0 : c.protocol);
  return HashWords(a, b ^ kind << 48);
}

// A slot holds the upper half of its key's hash beside the conversation
// number, so that probing past other keys reads no record. A key's first
// slot is given by the top bits of its hash, which that half holds too.
void ConversationTable::IndexInsert(uint32_t i, const uint64_t* hash) {
  const size_t mask = slots_.size() - 1;
  const Conversation& c = at(i);
  const uint64_t h = hash ? *hash : KeyHash(c, indexSummary_), tag = h >> 32 << 32;
  for (size_t s = Home(h);; s = (s + 1) & mask) {
    const uint64_t v = slots_[s];
    if (v == 0) {
      slots_[s] = tag | (i + 1);
      return;
    }
    // An earlier conversation with the same key keeps answering.
    if ((v ^ tag) >> 32 == 0 && Matches(at(uint32_t(v) - 1), c, indexSummary_)) return;
  }
}

void ConversationTable::RebuildIndex() {
  size_t n = 64;
  while (n < count_ * 2 + 2) n *= 2;
  slots_ = PageArray<uint64_t>();  // the old and the new need not coexist
  slots_ = PageArray<uint64_t>(n);
  if (slots_.empty()) {
    useIndex_ = false;  // out of memory: the scan still finds everything
    return;
  }
  homeShift_ = 64 - __builtin_ctzll(n);
  PrefaultPages(slots_.data(), n * sizeof(uint64_t));  // the inserts touch every page
  // Each insert lands on a random slot: fetch the slots a few records ahead.
  for (size_t i = 0; i < count_; i++) {
    if (i + 16 < count_) __builtin_prefetch(&slots_[Home(KeyHash(at(i + 16), indexSummary_))]);
    IndexInsert(uint32_t(i));
  }
}

// Twice the slots, filled from the old ones alone: their tags tell where
// they go, so no record is read, and read in order they land nearly in
// order. False when the memory for both is not there.
bool ConversationTable::GrowIndex() {
  if (homeShift_ <= 32) return false;  // the tag no longer holds the top bits
  PageArray<uint64_t> grown(slots_.size() * 2);
  if (grown.empty()) return false;
  PrefaultPages(grown.data(), grown.size() * sizeof(uint64_t));
  const int shift = homeShift_ - 1;
  const size_t mask = grown.size() - 1;
  for (size_t s = 0; s < slots_.size(); s++) {
    const uint64_t v = slots_[s];
    if (!v) continue;
    size_t t = size_t(v >> shift);
    while (grown[t]) t = (t + 1) & mask;
    grown[t] = v;
  }
  slots_ = std::move(grown);
  homeShift_ = shift;
  return true;
}

Conversation* ConversationTable::FindConversation(const DecodedPacket& d) { return FindHashed(d, nullptr); }

// `hash`, when given, is the packet's KeyHash in the current mode.
Conversation* ConversationTable::FindHashed(const DecodedPacket& d, const uint64_t* hash) {
  const bool summary = SummaryMode();
  if (!useIndex_) {
    for (size_t i = 0; i < count_; i++)
      if (Matches(at(i), d, summary)) return &at(i);
    return nullptr;
  }
  if (summary != indexSummary_ || slots_.empty()) {
    indexSummary_ = summary;
    RebuildIndex();
  }
  const size_t mask = slots_.size() - 1;
  const uint64_t h = hash ? *hash : KeyHash(d, summary);
  for (size_t s = Home(h);; s = (s + 1) & mask) {
    const uint64_t v = slots_[s];
    if (v == 0) return nullptr;
    if ((v ^ h) >> 32 == 0 && Matches(at(uint32_t(v) - 1), d, summary)) return &at(uint32_t(v) - 1);
  }
}

// The caller fills the record before the index sees it.
Conversation* ConversationTable::Append() {
  if ((count_ >> kBlockShift) >= blocks_.size()) {
    PageArray<Conversation> block;
    {
      std::lock_guard<std::mutex> l(spare_.lock);
      block = std::move(spare_.block);
    }
    if (block.empty()) {
      block = PageArray<Conversation>(size_t(1) << kBlockShift);
      if (block.empty()) return nullptr;
      PrefaultPages(block.data(), block.size() * sizeof(Conversation));
    }
    blocks_.push_back(std::move(block));
    spare_.wanted = true;
  }
  return new (&at(count_++)) Conversation();
}

void ConversationTable::IndexAppended(const uint64_t* hash) {
  if (useIndex_) {
    // The packet's hash is the record's while the index keeps its mode.
    if (indexSummary_ != SummaryMode()) hash = nullptr;
    if (slots_.empty() || count_ * 2 > slots_.size()) {
      if (!slots_.empty() && indexSummary_ == SummaryMode() && GrowIndex()) {
        IndexInsert(uint32_t(count_ - 1), hash);
        return;
      }
      indexSummary_ = SummaryMode();
      RebuildIndex();
    } else {
      IndexInsert(uint32_t(count_ - 1), hash);
    }
  }
}

Conversation* ConversationTable::UpdateConversation(const uint8_t* packet, const PacketHeader& h,
                                                     uint64_t recordOffset) {
  DecodedPacket d;
  if (!Decode(packet, h, d)) return nullptr;
  return UpdateDecoded(d, h.time, recordOffset);
}

bool ConversationTable::Decode(const uint8_t* packet, const PacketHeader& h, DecodedPacket& d) {
  if (DecodePacket(packet, int32_t(h.length), d, Side(), h.dstMac, h.srcMac)) return true;
  skipped[d.skip]++;
  return false;
}

bool ConversationTable::PairFragment(DecodedPacket& d, FileTime time, uint64_t recordOffset) {
  if (d.fragment == kFirstFragment) {
    fragments_.Remember(d);
    // Its later fragments that came first count now, before it, as their
    // records lie before its.
    fragments_.TakeWaiting(d, [&](DecodedPacket& w, FileTime t, uint64_t record) {
      skipped[kSkipFragmentWithoutFirst]--;
      UpdateDecoded(w, t, record);
    });
  }
  // An ICMP key has no ports: a later ICMP fragment needs no first.
  if (d.fragment != kLaterFragment || fragments_.Recall(d) || d.protocol == kProtoIcmp) return true;
  // Counted as skipped until its first comes, if it does.
  fragments_.Wait(d, time, recordOffset);
  skipped[kSkipFragmentWithoutFirst]++;
  return false;
}

uint32_t ConversationTable::NewChunk() {
  if (chunks_ / kChunksPerPage >= pages_.size()) {
    if ((pages_.size() + 1) * kChunkSize * kChunksPerPage > recordIndexLimit_) return 0;
    uint8_t* page = new (std::nothrow) uint8_t[kChunkSize * kChunksPerPage];
    if (!page) return 0;
    pages_.emplace_back(page);
  }
  const uint32_t n = chunks_++;
  memset(Chunk(n) + kChunkData, 0, kChunkSize - kChunkData);
  return n;
}

void ConversationTable::NoteRecord(size_t index, uint64_t offset) {
  if (records_.size() <= index) {
    // Reports account packets that lie in no packet file: nothing to keep.
    if (offset == kNoRecord) return;
    // Conversations in between saw only such packets.
    const size_t from = records_.size();
    records_.resize(index + 1);
    for (size_t i = from; i < index; i++) records_[i].complete = 0;
  }
  RecordIndex& r = records_[index];
  if (!r.complete) return;
  if (offset == kNoRecord || offset >> 56) {
    r.complete = 0;
    return;
  }
  // A record before the last (a fragment that waited for its first) is a 0,
  // which no step forward can be, then how far back it lies.
  uint8_t bytes[11];
  size_t n = 0;
  if (offset <= r.last) bytes[n++] = 0;
  for (uint64_t v = offset <= r.last ? r.last - offset : offset - r.last;; v >>= 7) {
    if (v < 0x80) {
      bytes[n++] = uint8_t(v);
      break;
    }
    bytes[n++] = uint8_t(v | 0x80);
  }
  for (size_t i = 0; i < n; i++) {
    if (!r.tail || r.fill == kChunkData) {
      const uint32_t c = NewChunk();
      if (!c) {
        r.complete = 0;  // out of memory or past the limit: loads fall back to the scan
        return;
      }
      if (r.tail) StoreLe32(Chunk(r.tail) + kChunkData, c);
      else r.head = c;
      r.tail = c;
      r.fill = 0;
    }
    Chunk(r.tail)[r.fill++] = bytes[i];
  }
  r.last = offset;
}

bool ConversationTable::RecordOffsets(size_t index, std::vector<uint64_t>* out) const {
  out->clear();
  if (index >= records_.size() || !records_[index].complete) return false;
  const RecordIndex& r = records_[index];
  uint64_t pos = 0, v = 0;
  int shift = 0;
  bool back = false;
  for (uint32_t c = r.head; c; c = c == r.tail ? 0 : LoadLe32(Chunk(c) + kChunkData)) {
    const uint8_t* data = Chunk(c);
    const uint32_t used = c == r.tail ? r.fill : kChunkData;
    for (uint32_t i = 0; i < used; i++) {
      v |= uint64_t(data[i] & 0x7F) << shift;
      shift += 7;
      if (!(data[i] & 0x80)) {
        if (!v && !back) {
          back = true;
        } else {
          pos = back ? pos - v : pos + v;
          out->push_back(pos);
          back = false;
        }
        v = 0;
        shift = 0;
      }
    }
  }
  return true;
}

// Decoding a batch first lets the index slots and the records of a group
// of its packets be fetched from memory at once instead of one miss after
// another.
void ConversationTable::AccountGroup(DecodedPacket* d, const FileTime* times, const uint64_t* offsets, int n) {
  uint64_t hash[kUpdateGroup];
  bool hashed[kUpdateGroup] = {};
  // The prefetches stand here, not in helpers: a call whose only effect is
  // a prefetch counts as without effect, and the compiler drops it.
  const bool indexed = useIndex_ && !slots_.empty() && indexSummary_ == SummaryMode();
  if (indexed) {
    size_t home6[kUpdateGroup][2];
    int sixes = 0;
    for (int i = 0; i < n; i++) {
      if (d[i].family != 6 || d[i].fragment) continue;
      home6[i][0] = addresses_.Home6(d[i].local6);
      home6[i][1] = addresses_.Home6(d[i].remote6);
      addresses_.PrefetchSlot6(home6[i][0]);
      addresses_.PrefetchSlot6(home6[i][1]);
      sixes++;
    }
    for (int step = 0; step < 2 && sixes; step++) {
      for (int i = 0; i < n; i++) {
        if (d[i].family != 6 || d[i].fragment) continue;
        for (size_t home : home6[i]) {
          if (step == 0) addresses_.PrefetchEntry6(home);
          else addresses_.PrefetchBytes6(home);
        }
      }
    }
    for (int i = 0; i < n; i++) {
      if (d[i].fragment == kLaterFragment) continue;  // the key needs the first fragment's ports
      if (d[i].family == 6) {
        // The key needs the address entries, and fragments their first.
        if (d[i].fragment) continue;
        d[i].localAddress = addresses_.Find6(d[i].local6);
        d[i].remoteAddress = addresses_.Find6(d[i].remote6);
        if (!d[i].localAddress || !d[i].remoteAddress) continue;
      }
      hashed[i] = true;
      hash[i] = KeyHash(d[i], indexSummary_);
      __builtin_prefetch(&slots_[Home(hash[i])]);
      if (d[i].family != 6) {  // in case the packet opens a conversation, whose either side may be new
        __builtin_prefetch(addresses_.HomeOf(d[i].localAddress));
        __builtin_prefetch(addresses_.HomeOf(d[i].remoteAddress));
      }
    }
    for (int i = 0; i < n; i++) {
      if (!hashed[i]) continue;
      if (const uint64_t v = slots_[Home(hash[i])]) {
        const char* r = reinterpret_cast<const char*>(&at(uint32_t(v) - 1));
        // A record of 120 bytes spans three cache lines at most offsets,
        // and the counters lie in the middle one too.
        __builtin_prefetch(r);
        __builtin_prefetch(r + 64);
        __builtin_prefetch(r + sizeof(Conversation) - 1);
      }
    }
  }
  // The hashes stay right while the index grows: they depend on the mode alone.
  for (int i = 0; i < n; i++)
    UpdateDecoded(d[i], times[i], offsets[i], hashed[i] ? &hash[i] : nullptr);
}

uint32_t ConversationTable::EntryOf6(const uint8_t* address) {
  const uint32_t id = addresses_.Intern6(address);
  if (countries && !addresses_.CountryLooked(id)) {
    char text[64] = "";
    countries->Lookup6(IpAddress::V6(address), text);
    addresses_.SetCountry(id, text);
  }
  if (options_.UseDnsQueriesForHostNames) {
    DnsNameCache& cache = dnsCache ? *dnsCache : GlobalDnsNameCache();
    if (cache.size() && !addresses_.Name(id)[0])
      if (const char* n = cache.Name(cache.FindIPv6(address))) addresses_.SetName(id, n);
  }
  return id;
}

uint32_t ConversationTable::EntryOf(uint32_t address) {
  const uint32_t id = addresses_.Intern(address);
  if (countries && address && !addresses_.CountryLooked(id)) {
    char text[64] = "";
    countries->Lookup(address, text);
    addresses_.SetCountry(id, text);
  }
  if (options_.UseDnsQueriesForHostNames) {
    DnsNameCache& cache = dnsCache ? *dnsCache : GlobalDnsNameCache();
    if (cache.size() && !addresses_.Name(id)[0])
      if (const char* n = cache.Name(cache.FindIPv4(address))) addresses_.SetName(id, n);
  }
  return id;
}

Conversation* ConversationTable::UpdateDecoded(DecodedPacket& d, FileTime time, uint64_t recordOffset,
                                               const uint64_t* hash) {
  const bool summary = SummaryMode();
  if (!PairFragment(d, time, recordOffset)) return nullptr;
  if (d.family == 6) {
    // An IPv6 key holds the entries of its addresses; without both no
    // conversation can have them yet. Entries found for the group stay.
    if (!d.localAddress) d.localAddress = addresses_.Find6(d.local6);
    if (!d.remoteAddress) d.remoteAddress = addresses_.Find6(d.remote6);
  }
  Conversation* c = d.family == 6 && (!d.localAddress || !d.remoteAddress) ? nullptr : FindHashed(d, hash);
  if (c) {
    c->flags &= uint8_t(~kRowTextCurrent);
  } else {
    if (d.headerLength >= d.totalSize) return nullptr;  // only data opens a conversation
    const uint32_t localEntry = d.family == 6 ? EntryOf6(d.local6) : EntryOf(d.localAddress);
    const uint32_t remoteEntry = d.family == 6 ? EntryOf6(d.remote6) : EntryOf(d.remoteAddress);
    if (d.family == 6) {
      d.localAddress = localEntry;
      d.remoteAddress = remoteEntry;
    }
    c = Append();
    if (!c) return nullptr;
    c->localAddress = d.localAddress;
    c->remoteAddress = d.remoteAddress;
    c->localPort = d.localPort;
    c->remotePort = d.remotePort;
    c->protocol = summary ? kProtoAny : d.protocol;
    c->flags = uint8_t(kRowTextCurrent | (d.family == 6 ? kConvIPv6 : 0));
    c->index = uint32_t(count_);
    c->localEntry = localEntry;
    c->remoteEntry = remoteEntry;
    c->firstTime = time;
    memcpy(c->localMac, d.localMac, 6);
    memcpy(c->remoteMac, d.remoteMac, 6);
    IndexAppended(hash);
    if (processes && !importMode) processes->Run(*this);
  }
  if (summary) c->protocol = kProtoAny;
  const uint32_t payload = uint32_t(d.totalSize - d.headerLength);
  c->packets += 1;
  c->totalSize += uint32_t(d.totalSize);
  c->dataSize += payload;
  c->lastTime = time;
  // Speed from the packet times, so a rebuilt table shows the capture's speed.
  if (c->lastTime > c->firstTime) {
    const double ms = double(c->lastTime - c->firstTime) / 10000.0;
    c->speed = double(c->dataSize) * 1000.0 / (ms * 1024.0);
    c->speedValid = 1;
  } else {
    c->speedValid = 0;
  }
  if (d.outgoing) {
    c->outPackets += 1;
    c->outTotalSize += uint32_t(d.totalSize);
    c->outDataSize += payload;
  }
  // Reports account packets that lie in no packet file: nothing to note.
  if (recordOffset != kNoRecord || c->index <= records_.size()) NoteRecord(c->index - 1, recordOffset);
  return c;
}

bool ConversationTable::IsVisible(const Conversation& c) const {
  // State 0 means "no system connection matched"; without an attribution
  // pass nothing ever matches, and the state says nothing.
  if (options_.ShowOnlyActiveConnections &&
      ((c.connectionState == 0 && processes) || c.connectionState == 1 || c.connectionState == 11))
    return false;
  if (c.protocol == kProtoTcp && !options_.DisplayTCP) return false;
  if (c.protocol == kProtoUdp && !options_.DisplayUDP) return false;
  if (c.protocol == kProtoIcmp && !options_.DisplayICMP) return false;
  if (!displayFilter.empty() &&
      (Is6(c) ? !MatchFilter(displayFilter, c.protocol, c.localPort, c.remotePort, LocalIp(c), RemoteIp(c))
              : !MatchFilter(displayFilter, c.protocol, c.localPort, c.remotePort, NetToHost32(c.localAddress),
                             NetToHost32(c.remoteAddress))))
    return false;
  return true;
}

// Runs on the table's own thread: the resolver queues its results there.
void ConversationTable::SetHostName(uint32_t address, const char* name) { SetHostNames({{address, name}}); }

void ConversationTable::SetHostName(const IpAddress& address, const char* name) {
  if (!address.is6()) return SetHostName(address.v4(), name);
  if (const uint32_t id = addresses_.Find6(address.bytes)) {
    addresses_.SetName(id, name);
    namesChanged = 1;
  }
}

// The list draws its texts on demand, so a name needs no row marked.
void ConversationTable::SetHostNames(const std::vector<std::pair<uint32_t, std::string>>& names) {
  for (const auto& n : names) {
    if (const uint32_t id = addresses_.Find(n.first)) {
      addresses_.SetName(id, n.second.c_str());
      namesChanged = 1;
    }
  }
}

void ConversationTable::FillNamesFrom(const DnsNameCache& cache) {
  for (uint32_t id = 1; id <= addresses_.size(); id++)
    if (!addresses_.Name(id)[0])
      if (const char* n = cache.Name(addresses_.is6(id) ? cache.FindIPv6(addresses_.address6(id))
                                                        : cache.FindIPv4(addresses_.address(id))))
        addresses_.SetName(id, n);
}

// Entries are numbered in the order the conversations first named their
// addresses, local before remote: the order of a walk over the rows.
void ConversationTable::QueueNameLookups() {
  lookupList.clear();
  if (!options_.ResolveIPAddr || !resolver) return;
  for (uint32_t id = 1; id <= addresses_.size(); id++)
    if (addresses_.address(id) && !addresses_.Name(id)[0]) lookupList.push_back(addresses_.address(id));
  for (uint32_t a : lookupList) resolver->Request(a);
  for (uint32_t id = 1; id <= addresses_.size(); id++)
    if (addresses_.is6(id) && !addresses_.Name(id)[0]) resolver->Request6(addresses_.Address(id));
}

ConversationTable::Feeder::Feeder(ConversationTable& table)
    : table_(table), side_(*table.Side()), pipe_(new BatchPipe<Batch, kWaitingBatches>) {
  pipe_->StartTaker(&Take, &table, kAccountingStack);
  batch_ = &pipe_->Free();
  batch_->n = 0;
}

void ConversationTable::Feeder::Take(void* table, Batch& b) {
  ConversationTable& t = *static_cast<ConversationTable*>(table);
  for (int i = 0; i < b.n; i += kUpdateGroup)
    t.AccountGroup(b.decoded + i, b.times + i, b.offsets + i, b.n - i < kUpdateGroup ? b.n - i : kUpdateGroup);
}

void ConversationTable::Feeder::Add(const uint8_t* packet, int32_t length, const uint8_t* dstMac,
                                     const uint8_t* srcMac, FileTime time, uint64_t recordOffset) {
  static const uint8_t kNoMac[6] = {};
  DecodedPacket& d = batch_->decoded[batch_->n];
  d = DecodedPacket();
  if (!DecodePacket(packet, length, d, &side_, dstMac ? dstMac : kNoMac, srcMac ? srcMac : kNoMac)) {
    skipped_[d.skip]++;
    return;
  }
  batch_->times[batch_->n] = time;
  batch_->offsets[batch_->n] = recordOffset;
  if (++batch_->n == kBatchPackets) Send();
}

void ConversationTable::MakeSpareBlock() {
  if (!spare_.wanted.exchange(false)) return;
  PageArray<Conversation> block(size_t(1) << kBlockShift);
  PrefaultPages(block.data(), block.size() * sizeof(Conversation));
  std::lock_guard<std::mutex> l(spare_.lock);
  if (spare_.block.empty()) spare_.block = std::move(block);
}

void ConversationTable::Feeder::Send() {
  // Only while the accounting lags does this thread have time to spare.
  if (pipe_->Send()) table_.MakeSpareBlock();
  batch_ = &pipe_->Free();
  batch_->n = 0;
}

void ConversationTable::Feeder::Drain() {
  if (!batch_) return;
  if (batch_->n) Send();
  pipe_->Drain();
}

void ConversationTable::Feeder::Finish(bool quietly) {
  if (!batch_) return;
  const bool pending = batch_->n > 0;
  batch_ = nullptr;
  for (int k = 0; k < kSkipReasonCount; k++) table_.skipped[k] += skipped_[k];
  if (pending) pipe_->Send();
  pipe_->Finish(quietly);
}

bool ConversationTable::RebuildFromFile(ReadProgress* progress) {
  if (resolver) resolver->AbandonPending();
  const bool opened = file_ && file_->OpenForReading();
  replays++;
  {
    // Out of memory on either thread leaves the replay: the table must not
    // stay in it, nor the file open.
    struct Leave {
      ConversationTable& t;
      ~Leave() {
        t.replaying = false;
        if (t.file_) t.file_->CloseReading();
      }
    } leave{*this};
    replaying = true;
    if (opened) {
      // This thread reads and decodes; a second one accounts.
      if (!readBuffer_) readBuffer_.reset(new uint8_t[kPacketBufferSize]);
      Feeder feeder(*this);
      PacketHeader h;
      for (uint32_t n = 1;; n++) {
        const uint8_t* packet = file_->NextPacket(readBuffer_.get(), h);
        if (!packet) break;
        feeder.Add(packet, int32_t(h.length), h.dstMac, h.srcMac, h.time, file_->recordOffset());
        // The progress may paint rows: the table must be at rest.
        if (progress && n % kPacketsPerProgress == 0) {
          feeder.Drain();
          if (!progress->Continue(file_->recordOffset())) break;
        }
      }
      feeder.Finish();
    }
  }
  QueueNameLookups();
  return opened;
}
