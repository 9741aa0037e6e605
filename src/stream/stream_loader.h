// One conversation's content, rebuilt from the packet file as blocks of
// same-direction data with TCP segments placed by sequence number.
#pragma once
#include <cstdint>

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
  }
  // Whether bytes of the conversation are missing here (zeros or cut off).
  bool lacking() const { return zeroFilled || uncaptured; }
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
// needs its addresses' bytes.
int PacketDirection(const Conversation& c, const DecodedPacket& p, const uint8_t* local6 = nullptr,
                    const uint8_t* remote6 = nullptr);

class ConversationTable;

// Reads the packet file and hands every block of `c` to `sink`. While
// `captureRunning`, the load stops after kCaptureLoadBudgetMs. With a table
// that knows where the conversation's records lie, only those are read; an
// IPv6 conversation needs its table.
LoadResult LoadStream(PacketFile& file, const Conversation& c, BlockSink& sink, bool captureRunning,
                      const ConversationTable* table = nullptr);
