// The program's own packet file: a 14-byte header, then one record per
// packet (u16 header length 24, the 24-byte PacketHeader, the packet).
// The header's payload is the adapter's IPv4 address, then its IPv6
// addresses (16 bytes each) when it has any: readers that take only the
// first four bytes still read such files.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "base/parallel.h"
#include "base/platform.h"
#include "base/raw_file.h"

// The largest packet the writer stores: a full 64 KiB capture snapshot.
constexpr uint32_t kMaxPacketLength = 65536;
// Buffers that receive packets from the file hold this many bytes (a NUL
// follows every packet).
constexpr uint32_t kPacketBufferSize = kMaxPacketLength + 1;
constexpr uint32_t kFileHeaderSize = 14;
// IPv6 addresses the header keeps: the payload stays within the 255 bytes
// that every reader of the format accepts.
constexpr size_t kMaxHeaderIPv6 = 15;
constexpr uint32_t kRecordOverhead = 26;

// Told how far a long read of a file has come; false asks it to stop.
class ReadProgress {
 public:
  virtual ~ReadProgress() = default;
  virtual bool Continue(uint64_t bytesRead) = 0;
  // The file's records are replayed into the table from here on.
  virtual void Rebuilding() {}
};

struct PacketHeader {
  uint32_t length = 0;
  FileTime time = 0;  // local time
  uint8_t srcMac[6] = {};
  uint8_t dstMac[6] = {};
};

class PacketFile {
 public:
  PacketFile() = default;
  ~PacketFile();
  PacketFile(const PacketFile&) = delete;
  PacketFile& operator=(const PacketFile&) = delete;

  // Closes both handles, deletes the current file when it is temporary and
  // forgets its name.
  void ResetFile(bool temporary);
  // As ResetFile(true) for a file nothing may be made of (an import left
  // half done): throws nothing, whatever the writing thread met.
  void Discard();
  bool CreateForWriting();
  // Stamps the record with `time`, or with the current local time when 0.
  // Refuses empty packets and packets above kMaxPacketLength. After a
  // failed write (a full disk) every further append is refused and
  // writeError() holds the system's reason.
  bool AppendPacket(const uint8_t* packet, uint32_t length, const uint8_t* dstMac,
                    const uint8_t* srcMac, FileTime time = 0);
  // Writes what a batch holds, then closes.
  void CloseWriting();
  // The system's reason for the first failed write since CreateForWriting;
  // empty while every write succeeded.
  const std::string& writeError() const { return writeError_; }
  // Imports gather records and write them a megabyte at a time, on a
  // thread of their own; a live capture writes each at once, so that the
  // stream loader sees it.
  void SetBatchedWrites(bool on);
  // A write failed (batched or not): records after the last good write are lost.
  bool writeFailed() const { return !writeError_.empty(); }

  bool OpenForReading();
  // Reads the next record into `buffer` (kPacketBufferSize bytes). False at
  // the end of the file or at a damaged record (see damaged()).
  bool ReadNextPacket(uint8_t* buffer, PacketHeader& header);
  // The same without the copy where it can: the packet's bytes, in the
  // read buffer or in `buffer`, valid until the next read; nullptr where
  // ReadNextPacket gives false.
  const uint8_t* NextPacket(uint8_t* buffer, PacketHeader& header);
  // Reads the record at `offset` (as recordOffset() gave it); reads that go
  // forward within the read buffer cost no system call.
  bool ReadPacketAt(uint64_t offset, uint8_t* buffer, PacketHeader& header);
  // File offset of the record the last AppendPacket wrote.
  uint64_t lastAppendOffset() const { return lastAppend_; }
  void CloseReading();

  // Why the last reading stopped early; nullptr when it reached a clean end.
  const char* damage() const { return damage_; }
  // File offset of the damaged record, or of the record read last.
  uint64_t recordOffset() const { return recordOffset_; }

  void SetName(const char* path);
  const char* name() const { return name_; }
  bool temporary() const { return temporary_; }
  bool writing() const { return writer_.IsOpen(); }

  uint32_t headerAddress = 0;  // network byte order
  // The adapter's IPv6 addresses: the writer keeps the first kMaxHeaderIPv6,
  // the reader restores them.
  std::vector<IpAddress> headerAddresses6;
  FileTime lastPacketTime = 0;

 private:
  bool Fill(void* dst, size_t n, size_t* got);
  bool ReadRecordSlowly(uint8_t* buffer, PacketHeader& header);
  // Quietly: what the writing thread threw is dropped, not thrown here.
  bool FlushBatch(bool quietly = false);
  static constexpr size_t kBatchSize = 1u << 20;
  static constexpr int kWritesWaiting = 3;
  static constexpr size_t kWriterStack = 64 * 1024;
  struct WriteBatch {
    std::unique_ptr<uint8_t[]> data;
    size_t length = 0;
  };
  static void WriteTake(void* file, WriteBatch& b);
  bool NextBatch();

  char name_[261] = "";
  bool temporary_ = false;
  RawFile writer_;
  RawFile reader_;
  std::unique_ptr<uint8_t[]> writeBuf_;
  std::unique_ptr<uint8_t[]> readBuf_;
  size_t readPos_ = 0, readLen_ = 0;
  uint64_t fileOffset_ = 0;  // offset of readBuf_[readPos_]
  uint64_t recordOffset_ = 0;
  uint64_t writeOffset_ = 0, lastAppend_ = 0;
  const char* damage_ = nullptr;
  std::string writeError_;
  bool batched_ = false;
  // Batched writes: the batch being filled, and the thread that writes the
  // full ones; its failure is seen here at the next append.
  std::unique_ptr<BatchPipe<WriteBatch, kWritesWaiting>> writes_;
  WriteBatch* filling_ = nullptr;
  std::atomic<bool> asyncFailed_{false};
  std::string asyncError_;  // read only once the writing thread is done
};
