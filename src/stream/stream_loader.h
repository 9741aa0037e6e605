// One conversation's content, rebuilt from the packet file as blocks of
// same-direction data with TCP segments placed by sequence number.
#pragma once
#include <cstdint>
#include <map>

#include "base/platform.h"
#include "capture/conversation.h"
#include "stream/grow_buffer.h"

class PacketFile;

// Segments may move a block's start back by less than this, and may start
// less than kMaxSequenceGap past its end; others are dropped.
constexpr int32_t kMaxSequenceBefore = 32768;
constexpr int64_t kMaxSequenceGap = 65536;
// The zero bytes a block gets for gaps between its segments (and before a
// segment that moved its start back) stay within the bytes actually
// captured plus this; a segment that would pass it is dropped. A few
// hundred KB of capture can otherwise make a block of gigabytes.
constexpr uint64_t kMaxZeroFill = 4u << 20;
// While a capture runs, a load may take this long.
constexpr uint32_t kCaptureLoadBudgetMs = 100;

enum class StreamOutputKind {
  Display = 1,
  TextFile,
  HtmlFile,
  RawFile,
  RawLocalFile,
  RawRemoteFile,
  HttpExtract,
};

struct StreamBlock {
  GrowBuffer bytes{16384};
  int direction = 0;  // 1 local to remote, 2 remote to local
  FileTime startTime = 0;
  uint32_t baseSequence = 0;
  uint64_t captured = 0;    // payload bytes placed
  uint64_t zeroFilled = 0;  // zero bytes added for gaps
  uint64_t uncaptured = 0;  // payload bytes a snapshot length cut off
  void Reset() {
    bytes.Clear();
    captured = zeroFilled = uncaptured = 0;
    holes.clear();
    front = 0;
    holesLost = false;
  }
  // Whether bytes of the conversation are missing here (zeros or cut off).
  // A gap that a later (reordered) segment filled lacks nothing.
  bool lacking() const { return !holes.empty() || holesLost || uncaptured; }
  // Zero bytes [from, to) of `bytes` wait for a segment.
  void Gap(size_t from, size_t to) {
    if (from >= to) return;
    if (holes.size() >= kMaxHoles) holesLost = true;
    else holes.emplace(front + int64_t(from), front + int64_t(to));
  }
  // Bytes [at, at + n) of `bytes` were written.
  void Filled(size_t at, size_t n) {
    const int64_t p = front + int64_t(at), q = p + int64_t(n);
    auto it = holes.upper_bound(p);
    if (it != holes.begin()) --it;
    while (it != holes.end() && it->first < q) {
      const int64_t s = it->first, e = it->second;
      if (e <= p) {
        ++it;
        continue;
      }
      it = holes.erase(it);
      if (s < p) holes.emplace(s, p);
      if (e > q) {
        holes.emplace(q, e);
        break;
      }
    }
  }
  void MovedFront(size_t back) { front -= int64_t(back); }

 private:
  static constexpr size_t kMaxHoles = 4096;  // past this every gap counts as missing
  std::map<int64_t, int64_t> holes;  // start to end, counted from the first byte placed
  int64_t front = 0;                 // where bytes[0] lies in that count
  bool holesLost = false;
};

class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual void OnBlock(const StreamBlock& block) = 0;
};

enum class LoadResult { NoFile, Complete, BudgetExhausted };

// Places n payload bytes with sequence number `seq` in the block; drops
// them when they lie too far from it or would pass kMaxZeroFill.
void PlacePayload(StreamBlock& block, bool tcp, uint32_t seq, const uint8_t* payload, size_t n);

// Whether a packet decoded with the direction decision off belongs to `c`,
// and in which direction (1 or 2; 0 when it does not belong). An IPv6 `c`
// needs its addresses' bytes. A later fragment is judged by its addresses.
int PacketDirection(const Conversation& c, const DecodedPacket& p, const uint8_t* local6 = nullptr,
                    const uint8_t* remote6 = nullptr);

class ConversationTable;

// Reads the packet file and hands every block of `c` to `sink`. While
// `captureRunning`, the load stops after kCaptureLoadBudgetMs. With a table
// that knows where the conversation's records lie, only those are read; an
// IPv6 conversation needs its table.
LoadResult LoadStream(PacketFile& file, const Conversation& c, BlockSink& sink, bool captureRunning,
                      const ConversationTable* table = nullptr);
