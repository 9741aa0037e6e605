// The conversations seen so far, in creation order, with a hash index that
// finds the same conversation a scan from the first one would.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/options.h"
#include "base/pages.h"
#include "base/parallel.h"
#include "capture/fragments.h"
#include "capture/address_book.h"
#include "capture/conversation.h"
#include "filter/filter.h"
#include "packetfile/packet_file.h"

class PacketFile;
class ReadProgress;
class DnsNameCache;

// Reverse lookups of addresses that still have no name (resolver issue).
class NameResolver {
 public:
  virtual ~NameResolver() = default;
  virtual void Request(uint32_t address) = 0;
  virtual void Request6(const IpAddress&) {}
  // Results of pending lookups are no longer applied.
  virtual void AbandonPending() = 0;
};

// Country text of an address (network order) into a 64-byte field.
class CountryLookup {
 public:
  virtual ~CountryLookup() = default;
  virtual void Lookup(uint32_t address, char (&text)[64]) = 0;
  virtual void Lookup6(const IpAddress&, char (&)[64]) {}
};

// Fills processIndex and connectionState of the table's conversations.
class ProcessAttribution {
 public:
  virtual ~ProcessAttribution() = default;
  virtual void Run(class ConversationTable& table) = 0;
};

class ConversationTable {
 public:
  ConversationTable(const Options& options, PacketFile* file);

  // Accounts one packet; returns its conversation, or nullptr when the packet
  // does not decode or would open a conversation without payload.
  // `recordOffset` is where the packet lies in the packet file, when it is
  // stored there; loads of the conversation then read only its records.
  static constexpr uint64_t kNoRecord = ~uint64_t(0);
  Conversation* UpdateConversation(const uint8_t* packet, const PacketHeader& header,
                                   uint64_t recordOffset = kNoRecord);
  // The file offsets of the records of conversation `index`, in the order
  // they were counted: file order, but for later fragments that waited for
  // their first; false when they are not all known (then a full scan is
  // needed).
  bool RecordOffsets(size_t index, std::vector<uint64_t>* out) const;
  // Packets are accounted in groups whose memory is fetched at once.
  static constexpr int kUpdateGroup = 16;
  // Accounts packets on a second thread while the caller reads and decodes
  // them: from its making until Drain or Finish returns, nothing but the
  // feeder may touch the table. Packets that do not decode are counted
  // among the skipped ones at Finish.
  class Feeder {
   public:
    explicit Feeder(ConversationTable& table);
    ~Feeder() { Finish(true); }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;
    void Add(const uint8_t* packet, int32_t length, const uint8_t* dstMac, const uint8_t* srcMac, FileTime time,
             uint64_t recordOffset = kNoRecord);
    // Returns with every packet added accounted; the feeder goes on after.
    // Both throw what the accounting threw (out of memory), unless quietly.
    void Drain();
    void Finish(bool quietly = false);

   private:
    static constexpr int kBatchPackets = 64 * kUpdateGroup;
    static constexpr int kWaitingBatches = 8;  // about 1 MiB whatever the input
    static constexpr size_t kAccountingStack = 256 * 1024;
    struct Batch {
      DecodedPacket decoded[kBatchPackets];
      FileTime times[kBatchPackets];
      uint64_t offsets[kBatchPackets];
      int n;
    };
    static void Take(void* table, Batch& b);
    void Send();
    ConversationTable& table_;
    LocalSide side_;
    std::unique_ptr<BatchPipe<Batch, kWaitingBatches>> pipe_;
    Batch* batch_ = nullptr;
    uint64_t skipped_[kSkipReasonCount] = {};
  };
  Conversation* FindConversation(const DecodedPacket& decoded);
  bool IsVisible(const Conversation& c) const;
  void SetHostName(uint32_t address, const char* name);
  void SetHostName(const IpAddress& address, const char* name);
  // All of a batch in one pass over the table; a later name for an address
  // wins, as one SetHostName after another would have it.
  void SetHostNames(const std::vector<std::pair<uint32_t, std::string>>& names);
  void QueueNameLookups();
  // Names of the cache for the addresses that still have none.
  void FillNamesFrom(const DnsNameCache& cache);
  // Replays every packet of the packet file (the caller clears first).
  // Returns false when the file cannot be opened.
  // `progress` hears of each group of records and may stop the replay.
  bool RebuildFromFile(ReadProgress* progress = nullptr);
  void Clear();
  void ParseDisplayFilter();

  size_t count() const { return count_; }
  Conversation& at(size_t i) { return blocks_[i >> kBlockShift][i & kBlockMask]; }
  const Conversation& at(size_t i) const { return blocks_[i >> kBlockShift][i & kBlockMask]; }
  // Host names and countries of the conversations' addresses.
  const AddressBook& addresses() const { return addresses_; }
  const char* LocalHost(const Conversation& c) const { return addresses_.Name(c.localEntry); }
  const char* RemoteHost(const Conversation& c) const { return addresses_.Name(c.remoteEntry); }
  static bool IsIPv6(const Conversation& c) { return c.flags & kConvIPv6; }
  IpAddress LocalIp(const Conversation& c) const {
    return IsIPv6(c) ? addresses_.Address(c.localEntry) : IpAddress::V4(c.localAddress);
  }
  IpAddress RemoteIp(const Conversation& c) const {
    return IsIPv6(c) ? addresses_.Address(c.remoteEntry) : IpAddress::V4(c.remoteAddress);
  }
  // Packets that reached the decoder and joined no conversation, by reason.
  uint64_t skipped[kSkipReasonCount] = {};

  // With false, FindConversation scans linearly as a reference (benchmarks).
  void SetUseIndex(bool on) { useIndex_ = on; }
  // The record offsets of all conversations take at most this much memory
  // (a 32-bit program has 2 GiB for everything); the conversations that
  // need more than there is are loaded by reading the whole packet file.
  static constexpr size_t kMaxRecordIndexBytes = size_t(256) << 20;
  void LimitRecordIndex(size_t bytes) { recordIndexLimit_ = bytes; }

  // The capturing adapter's addresses; `ipv6` follows CaptureIPv6.
  LocalSide local;
  int32_t changed = 0;
  int32_t namesChanged = 0;
  int32_t importMode = 0;
  // The rows come from a file read in, not from a capture on this machine:
  // its connection tables say nothing about them (set by loads, cleared by
  // a capture start).
  bool foreign = false;
  uint32_t clears = 0;  // how often the table was cleared
  // Set while RebuildFromFile reads the file back; `replays` counts them.
  bool replaying = false;
  uint32_t replays = 0;
  FilterRuleList displayFilter;
  std::vector<uint32_t> lookupList;

  NameResolver* resolver = nullptr;
  CountryLookup* countries = nullptr;
  ProcessAttribution* processes = nullptr;
  DnsNameCache* dnsCache = nullptr;  // defaults to the process-wide cache

 private:
  // A rebuild's progress hears of it after this many packets.
  static constexpr uint32_t kPacketsPerProgress = 32768;
  static constexpr int kBlockShift = 14;  // blocks of nearly 2 MiB: one huge page
  static constexpr size_t kBlockMask = (size_t(1) << kBlockShift) - 1;

  bool SummaryMode() const { return options_.StatOnly && options_.SummaryMode; }
  template <class A, class B>
  static bool Matches(const A& c, const B& d, bool summary);
  template <class R>
  static uint64_t KeyHash(const R& c, bool summary);
  void IndexInsert(uint32_t i, const uint64_t* hash = nullptr);
  void RebuildIndex();
  bool GrowIndex();
  size_t Home(uint64_t hash) const { return size_t(hash >> homeShift_); }
  Conversation* Append();
  void MakeSpareBlock();
  void IndexAppended(const uint64_t* hash = nullptr);
  // The update after decoding; `hash` is the packet's KeyHash when known.
  Conversation* UpdateDecoded(DecodedPacket& d, FileTime time, uint64_t recordOffset,
                              const uint64_t* hash = nullptr);
  Conversation* FindHashed(const DecodedPacket& d, const uint64_t* hash);
  void AccountGroup(DecodedPacket* d, const FileTime* times, const uint64_t* offsets, int n);
  uint32_t EntryOf(uint32_t address);
  uint32_t EntryOf6(const uint8_t* address);
  const LocalSide* Side() {
    local.ipv6 = options_.CaptureIPv6 != 0;
    return &local;
  }
  bool Decode(const uint8_t* packet, const PacketHeader& h, DecodedPacket& d);
  // Later fragments take the ports of their first one; those that come
  // before it count when it comes.
  FragmentMemory fragments_;
  bool PairFragment(DecodedPacket& d, FileTime time, uint64_t recordOffset);

  void NoteRecord(size_t index, uint64_t offset);

  const Options& options_;
  PacketFile* file_;
  AddressBook addresses_;
  std::vector<PageArray<Conversation>> blocks_;
  size_t count_ = 0;
  PageArray<uint64_t> slots_;  // hash tag, conversation index + 1; 0 = empty
  int homeShift_ = 64;        // 64 - log2 of the slots
  bool indexSummary_ = false;
  bool useIndex_ = true;
  std::unique_ptr<uint8_t[]> readBuffer_;
  // Per conversation: its records' offsets as varint deltas, the last one,
  // and whether every record of it was noted. The deltas lie in chunks of
  // shared pages (kChunkData bytes, then the number of the next chunk), so
  // noting a record allocates only once per page.
  static constexpr uint32_t kChunkSize = 16, kChunkData = 12, kChunksPerPage = 4096;
  struct RecordIndex {
    uint32_t head = 0, tail = 0;  // chunk numbers; 0 = none
    uint64_t last : 56;           // offset of the last record
    uint64_t fill : 7;            // delta bytes in the tail chunk
    uint64_t complete : 1;
    RecordIndex() : last(0), fill(0), complete(1) {}
  };
  uint8_t* Chunk(uint32_t n) const { return pages_[n / kChunksPerPage].get() + (n % kChunksPerPage) * kChunkSize; }
  uint32_t NewChunk();
  std::vector<RecordIndex> records_;
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  uint32_t chunks_ = 1;  // chunk 0 stands for none
  size_t recordIndexLimit_ = kMaxRecordIndexBytes;
  // The next block, mapped by a Feeder's reading thread while the
  // accounting one fills the block before: mapping fresh pages costs the
  // accounting about a fifth of its time when most packets open a
  // conversation.
  struct alignas(64) SpareBlock {
    std::mutex lock;
    PageArray<Conversation> block;
    std::atomic<bool> wanted{false};
  } spare_;
};
