#include "stream/stream_loader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/hash.h"
#include "capture/conversation_table.h"

#include "packetfile/packet_file.h"

namespace {
// A retransmission lies at most a send window behind; a window rarely
// passes a few MiB.
constexpr int32_t kMaxRetransmitBehind = 16 << 20;

// A first fragment's bytes, to tell it sent again from a new datagram
// whose identification came round.
uint64_t PartHash(const uint8_t* p, size_t n) {
  uint64_t h = HashWords(n, 0), w;
  for (; n >= 8; p += 8, n -= 8) h = HashWords(h, (memcpy(&w, p, 8), w));
  w = 0;
  memcpy(&w, p, n);
  return HashWords(h, w);
}

// The parts of a datagram placed so far, to know a fragment sent again.
struct PlacedParts {
  static constexpr size_t kParts = 8;  // past this a scattered part is not noted
  uint32_t from[kParts], to[kParts];
  size_t n = 0;
  // Whether [a, b) lies in a part placed already; notes it otherwise.
  bool Note(uint32_t a, uint32_t b) {
    for (size_t i = 0; i < n; i++)
      if (from[i] <= a && b <= to[i]) return true;
    for (size_t i = 0; i < n;) {
      if (from[i] > b || to[i] < a) {
        i++;
        continue;
      }
      a = std::min(a, from[i]);
      b = std::max(b, to[i]);
      n--;
      from[i] = from[n];
      to[i] = to[n];
    }
    if (n < kParts) {
      from[n] = a;
      to[n++] = b;
    }
    return false;
  }
};
}  // namespace

void PlacePayload(StreamBlock& b, bool tcp, uint32_t seq, const uint8_t* payload, size_t n) {
  const size_t len = b.bytes.length();
  if (len == 0 || !tcp) {
    b.bytes.Append(payload, n);
    b.captured += n;
    b.baseSequence = seq;
    return;
  }
  const int32_t e = int32_t(seq - b.baseSequence);  // wraps with the sequence space
  if (e <= -kMaxSequenceBefore) return;                                // too far before the block
  if (e >= 0 && int64_t(e) - int64_t(len) >= kMaxSequenceGap) return;  // too far past its end
  // Zero bytes this segment leaves: the gap after the block's end, or the
  // part of the moved start that the segment itself does not cover.
  const uint64_t back = e < 0 ? uint64_t(-int64_t(e)) : 0;
  const uint64_t zeros = e < 0 ? (back > n ? back - n : 0) : (size_t(e) > len ? size_t(e) - len : 0);
  if (zeros && b.zeroFilled + zeros > b.captured + n + kMaxZeroFill) return;
  if (e < 0) {
    if (!b.bytes.PrependZeros(size_t(back))) return;
    b.MovedFront(size_t(back));
    b.baseSequence = seq;
  }
  const size_t at = e < 0 ? 0 : size_t(e);
  if (!b.bytes.WriteAt(at, payload, n)) return;
  b.Gap(e < 0 ? n : len, e < 0 ? size_t(back) : at);
  b.Filled(at, n);
  b.captured += n;
  b.zeroFilled += zeros;
}

int PacketDirection(const Conversation& c, const DecodedPacket& p, const uint8_t* local6, const uint8_t* remote6) {
  if (p.protocol != c.protocol) return 0;
  // A later fragment carries no ports: its addresses tell whether it may be ours.
  const bool ports = c.protocol != kProtoIcmp && p.fragment != kLaterFragment;
  // Addresses as the decoder gives them: IPv6 ones against the row's bytes.
  bool ll, rr, lr, rl, loop;
  if (local6) {
    if (p.family != 6) return 0;
    ll = !memcmp(p.local6, local6, 16);
    rr = !memcmp(p.remote6, remote6, 16);
    lr = !memcmp(p.local6, remote6, 16);
    rl = !memcmp(p.remote6, local6, 16);
    loop = !memcmp(local6, remote6, 16);
  } else {
    if (p.family == 6) return 0;
    ll = p.localAddress == c.localAddress;
    rr = p.remoteAddress == c.remoteAddress;
    lr = p.localAddress == c.remoteAddress;
    rl = p.remoteAddress == c.localAddress;
    loop = c.localAddress == c.remoteAddress;
  }
  const bool forward = ll && rr && (!ports || (p.localPort == c.localPort && p.remotePort == c.remotePort));
  const bool backward = lr && rl && (!ports || (p.localPort == c.remotePort && p.remotePort == c.localPort));
  if (!forward && !backward) return 0;
  if (loop) return forward ? 1 : 2;  // loopback: the ports decide
  return ll && rr ? 1 : 2;
}

LoadResult LoadStream(PacketFile& file, const Conversation& c, BlockSink& sink, bool captureRunning,
                      const ConversationTable* table) {
  if (!file.OpenForReading()) return LoadResult::NoFile;
  std::vector<uint64_t> offsets;
  const bool indexed = table && c.index > 0 && table->RecordOffsets(c.index - 1, &offsets);
  size_t next = 0;
  auto read = [&](uint8_t* b, PacketHeader& h) {
    if (!indexed) return file.ReadNextPacket(b, h);
    return next < offsets.size() && file.ReadPacketAt(offsets[next++], b, h);
  };
  Platform& platform = GetPlatform();
  const uint32_t start = platform.TickCount();
  auto exhausted = [&] { return captureRunning && platform.TickCount() - start >= kCaptureLoadBudgetMs; };
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kPacketBufferSize]);
  // An IPv6 row's address fields are entries of the table's book; without
  // the table its packets cannot be told.
  const bool v6 = ConversationTable::IsIPv6(c);
  if (v6 && !table) {
    file.CloseReading();
    return LoadResult::Complete;
  }
  const uint8_t* local6 = v6 ? table->addresses().address6(c.localEntry) : nullptr;
  const uint8_t* remote6 = v6 ? table->addresses().address6(c.remoteEntry) : nullptr;
  // Later fragments carry no ports: they take their place from their first
  // one and their offset, so fragments out of order or twice land right.
  struct Fragmented {
    uint8_t source[16], destination[16];
    uint32_t id, sequence;  // the first's payload sequence (TCP)
    uint32_t transportStart;  // the first's payload, into the fragmentable part
    size_t blockStart, blockEnd;  // the datagram's bytes in the block (UDP, ICMP)
    uint64_t block;
    int direction;
    PlacedParts placed;  // of the fragmentable part (UDP, ICMP)
    uint64_t partHash;  // the first's captured bytes (UDP, ICMP)
  };
  constexpr size_t kFragmented = 64;
  Fragmented fragmented[kFragmented] = {};
  size_t fragments = 0;
  // The newest first of a fragment's identification: identifications come round.
  auto newestFirst = [&](const DecodedPacket& p) -> Fragmented* {
    for (size_t k = 0; k < fragments && k < kFragmented; k++) {
      Fragmented& f = fragmented[(fragments - 1 - k) % kFragmented];
      if (f.id == p.fragmentId && !memcmp(f.source, p.local6, 16) && !memcmp(f.destination, p.remote6, 16))
        return &f;
    }
    return nullptr;
  };
  uint64_t blockSerial = 0;
  StreamBlock block;
  // Where each direction's finished TCP blocks end, by sequence number.
  uint32_t sentEnd[3] = {};
  bool sent[3] = {};
  auto noteSent = [&](int direction) {
    if (c.protocol != kProtoTcp || !block.bytes.length()) return;
    sentEnd[direction] = block.baseSequence + uint32_t(block.bytes.length());
    sent[direction] = true;
  };
  // Later fragments that came before their first (some senders send the
  // first last): their records are read again, by offset, once it comes.
  struct Held {
    uint8_t source[16], destination[16];
    uint32_t id;
    uint16_t offset;
    bool waiting;
    uint64_t record;
  };
  // As many as the table keeps, so that both place the same ones.
  constexpr size_t kHeld = FragmentMemory::kWaiting;
  Held held[kHeld] = {};
  size_t holds = 0, waiting = 0;
  int previous = 0;
  bool first = true, stopped = false;
  // Places one record's bytes; a first fragment of the conversation gives
  // its direction, others 0.
  auto handle = [&](DecodedPacket& p, const PacketHeader& h) -> int {
    // A first fragment without payload still places its later ones (when
    // the records are not chosen by the table, which counts only data).
    const bool empty = p.headerLength >= p.totalSize;
    if (empty && p.fragment != kFirstFragment && !p.tcpSyn) return 0;
    int direction = 0;
    Fragmented* of = nullptr;  // a later fragment's first
    size_t skip = 0;           // its bytes that overlap the first's transport header
    if (p.fragment != kLaterFragment) {
      direction = PacketDirection(c, p, local6, remote6);
    } else if (p.protocol == c.protocol && (of = newestFirst(p))) {
      direction = of->direction;
      if (p.fragmentOffset < of->transportStart) skip = of->transportStart - p.fragmentOffset;
      p.tcpSequence = of->sequence + (p.fragmentOffset + uint32_t(skip) - of->transportStart);
    } else if (p.protocol == c.protocol) {
      if (PacketDirection(c, p, local6, remote6)) {
        Held& w = held[holds++ % kHeld];
        if (!w.waiting) waiting++;
        memcpy(w.source, p.local6, 16);
        memcpy(w.destination, p.remote6, 16);
        w.id = p.fragmentId;
        w.offset = p.fragmentOffset;
        w.waiting = true;
        w.record = file.recordOffset();
      }
    }
    if (!direction) return 0;
    // The captured bytes may end before the IP total length (a cut capture).
    const size_t end = size_t(p.totalSize) < h.length ? size_t(p.totalSize) : h.length;
    const bool tcp = p.protocol == kProtoTcp;
    if (p.fragment == kFirstFragment) {
      // The same first sent again: its datagram is placed already. (TCP's
      // sequence numbers place it without this.)
      const size_t start = std::min(size_t(p.fragmentStart), end);
      const uint64_t hash = tcp ? 0 : PartHash(buf.get() + start, end - start);
      const Fragmented* before = tcp ? nullptr : newestFirst(p);
      if (before && before->partHash == hash) return direction;
      Fragmented& f = fragmented[fragments++ % kFragmented];
      f.partHash = hash;
      memcpy(f.source, p.local6, 16);
      memcpy(f.destination, p.remote6, 16);
      f.id = p.fragmentId;
      f.sequence = p.tcpSequence;
      f.transportStart = uint32_t(p.headerLength - p.fragmentStart);
      f.direction = direction;
      f.block = ~uint64_t(0);
      f.placed = PlacedParts();
    }
    const int firstOf = p.fragment == kFirstFragment ? direction : 0;
    // A new connection on the same ports: its numbers owe nothing to the old one's.
    if (p.tcpSyn) sent[direction] = false;
    if (empty) return firstOf;
    size_t from = size_t(p.headerLength) + skip;
    if (tcp && sent[direction] && from < end) {
      // Bytes this direction's earlier blocks already hold: a retransmission
      // seen after the other side spoke, which must not repeat them. Far
      // behind is a new connection on the same ports, not a retransmission.
      const int32_t behind = int32_t(sentEnd[direction] - p.tcpSequence);
      if (behind > 0 && behind <= kMaxRetransmitBehind) {
        if (size_t(behind) >= end - from) return firstOf;
        from += size_t(behind);
        p.tcpSequence += uint32_t(behind);
      }
    }
    if (!tcp && from < end && p.fragment) {
      // A piece sent again once its datagram no longer ends the block: its
      // bytes are in place already, and appended they would be there twice.
      Fragmented& f = of ? *of : fragmented[(fragments - 1) % kFragmented];
      const uint32_t at = of ? p.fragmentOffset + uint32_t(skip) : f.transportStart;
      const bool ends = f.block == blockSerial && f.blockEnd == block.bytes.length();
      if (f.placed.Note(at, at + uint32_t(end - from)) && !ends) return firstOf;
    }
    if (first) {
      block.startTime = h.time;
      first = false;
    }
    if (previous && previous != direction) {
      block.direction = previous;
      noteSent(previous);
      sink.OnBlock(block);
      block.Reset();
      blockSerial++;
      block.startTime = h.time;
    }
    if (exhausted()) {
      stopped = true;
      return 0;
    }
    block.uncaptured += size_t(p.totalSize) - end;
    if (from < end) {
      const uint8_t* data = buf.get() + from;
      const size_t n = end - from;
      if (p.fragment == kFirstFragment && !tcp) {
        Fragmented& f = fragmented[(fragments - 1) % kFragmented];
        f.block = blockSerial;
        f.blockStart = block.bytes.length();
        f.blockEnd = f.blockStart + n;
      }
      if (of && !tcp && of->block == blockSerial && of->blockEnd == block.bytes.length()) {
        // The datagram still ends the block: this piece goes to its place in it.
        // Its gap is bounded as a TCP segment's is.
        const size_t at = of->blockStart + (p.fragmentOffset + skip - of->transportStart);
        const size_t len = block.bytes.length();
        const uint64_t zeros = at > len ? at - len : 0;
        if ((!zeros || block.zeroFilled + zeros <= block.captured + n + kMaxZeroFill) &&
            block.bytes.WriteAt(at, data, n)) {
          block.Gap(len, at);
          block.Filled(at, n);
          block.captured += n;
          block.zeroFilled += zeros;
          if (at + n > of->blockEnd) of->blockEnd = at + n;
        }
      } else {
        PlacePayload(block, tcp, p.tcpSequence, data, n);
      }
    }
    previous = direction;
    return firstOf;
  };
  PacketHeader h;
  while (!stopped && read(buf.get(), h)) {
    DecodedPacket p;
    if (!DecodePacket(buf.get(), int32_t(h.length), p, 0, false, nullptr, nullptr)) continue;
    const int firstOf = handle(p, h);
    if (p.fragment != kFirstFragment || !waiting) continue;
    // The first fragment's held later ones, by offset; then the scan goes
    // on after the first.
    const uint64_t resume = file.recordOffset();
    bool moved = false;
    while (!stopped) {
      Held* w = nullptr;
      for (Held& e : held)
        if (e.waiting && e.id == p.fragmentId && !memcmp(e.source, p.local6, 16) &&
            !memcmp(e.destination, p.remote6, 16) && (!w || e.offset < w->offset))
          w = &e;
      if (!w) break;
      w->waiting = false;
      waiting--;
      // Another conversation's first: the table gave them to it.
      if (!firstOf) continue;
      moved = true;
      DecodedPacket q;
      PacketHeader g;
      if (file.ReadPacketAt(w->record, buf.get(), g) &&
          DecodePacket(buf.get(), int32_t(g.length), q, 0, false, nullptr, nullptr))
        handle(q, g);
    }
    if (moved && !indexed && !file.ReadPacketAt(resume, buf.get(), h)) break;
  }
  file.CloseReading();
  if (stopped || exhausted()) return LoadResult::BudgetExhausted;
  if (previous) {
    block.direction = previous;
    sink.OnBlock(block);
  }
  return LoadResult::Complete;
}
