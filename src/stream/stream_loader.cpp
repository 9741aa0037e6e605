#include "stream/stream_loader.h"

#include <cstring>
#include <memory>
#include <vector>

#include "capture/conversation_table.h"

#include "packetfile/packet_file.h"

namespace {
// A retransmission lies at most a send window behind; a window rarely
// passes a few MiB.
constexpr int32_t kMaxRetransmitBehind = 16 << 20;
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
  const bool ports = c.protocol != kProtoIcmp;
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
  };
  constexpr size_t kFragmented = 64;
  Fragmented fragmented[kFragmented] = {};
  size_t fragments = 0;
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
  int previous = 0;
  bool first = true, stopped = false;
  PacketHeader h;
  while (read(buf.get(), h)) {
    DecodedPacket p;
    if (!DecodePacket(buf.get(), int32_t(h.length), p, 0, false, nullptr, nullptr)) continue;
    // A first fragment without payload still places its later ones (when
    // the records are not chosen by the table, which counts only data).
    const bool empty = p.headerLength >= p.totalSize;
    if (empty && p.fragment != kFirstFragment && !p.tcpSyn) continue;
    int direction = 0;
    Fragmented* of = nullptr;  // a later fragment's first
    size_t skip = 0;           // its bytes that overlap the first's transport header
    if (p.fragment != kLaterFragment) {
      direction = PacketDirection(c, p, local6, remote6);
    } else if (p.protocol == c.protocol) {
      // The newest first of that identification: identifications come round.
      for (size_t k = 0; k < fragments && k < kFragmented; k++) {
        Fragmented& f = fragmented[(fragments - 1 - k) % kFragmented];
        if (f.id == p.fragmentId && !memcmp(f.source, p.local6, 16) && !memcmp(f.destination, p.remote6, 16)) {
          of = &f;
          direction = f.direction;
          if (p.fragmentOffset < f.transportStart) skip = f.transportStart - p.fragmentOffset;
          p.tcpSequence = f.sequence + (p.fragmentOffset + uint32_t(skip) - f.transportStart);
          break;
        }
      }
    }
    if (!direction) continue;
    if (p.fragment == kFirstFragment) {
      Fragmented& f = fragmented[fragments++ % kFragmented];
      memcpy(f.source, p.local6, 16);
      memcpy(f.destination, p.remote6, 16);
      f.id = p.fragmentId;
      f.sequence = p.tcpSequence;
      f.transportStart = uint32_t(p.headerLength - p.fragmentStart);
      f.direction = direction;
      f.block = ~uint64_t(0);
    }
    // A new connection on the same ports: its numbers owe nothing to the old one's.
    if (p.tcpSyn) sent[direction] = false;
    if (empty) continue;
    // The captured bytes may end before the IP total length (a cut capture).
    const size_t end = size_t(p.totalSize) < h.length ? size_t(p.totalSize) : h.length;
    size_t from = size_t(p.headerLength) + skip;
    const bool tcp = p.protocol == kProtoTcp;
    if (tcp && sent[direction] && from < end) {
      // Bytes this direction's earlier blocks already hold: a retransmission
      // seen after the other side spoke, which must not repeat them. Far
      // behind is a new connection on the same ports, not a retransmission.
      const int32_t behind = int32_t(sentEnd[direction] - p.tcpSequence);
      if (behind > 0 && behind <= kMaxRetransmitBehind) {
        if (size_t(behind) >= end - from) continue;
        from += size_t(behind);
        p.tcpSequence += uint32_t(behind);
      }
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
      break;
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
  }
  file.CloseReading();
  if (stopped || exhausted()) return LoadResult::BudgetExhausted;
  if (previous) {
    block.direction = previous;
    sink.OnBlock(block);
  }
  return LoadResult::Complete;
}
