// Readers of foreign capture files: classic pcap, pcapng and Network Monitor.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/platform.h"
#include "packetfile/netmon_file.h"
#include "base/raw_file.h"

// The largest record a classic pcap file may hold (libpcap's own limit).
constexpr uint32_t kMaxPcapRecord = 262144;
// The largest pcapng block we accept.
constexpr uint32_t kMaxPcapngBlock = 16u << 20;
// Interfaces per pcapng section.
constexpr uint32_t kMaxPcapngInterfaces = 65536;

enum class CaptureFormat { Unknown, PacketFile, Pcap, PcapNg, NetMon };

// Recognises a file by its first bytes (at least 8 are needed).
CaptureFormat DetectCaptureFormat(const uint8_t* head, size_t n);

// Where the bytes come from: a file or memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes read, 0 at the end, -1 on error.
  virtual long Read(uint8_t* dst, size_t n) = 0;
  // To an absolute offset; false when the source cannot seek there.
  virtual bool Seek(uint64_t) { return false; }
};

class FileSource : public ByteSource {
 public:
  bool Open(const char* path) { return file_.OpenRead(path); }
  long Read(uint8_t* dst, size_t n) override { return file_.Read(dst, n); }
  bool Seek(uint64_t offset) override { return file_.Seek(offset); }

 private:
  RawFile file_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  long Read(uint8_t* dst, size_t n) override;
  bool Seek(uint64_t offset) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// UTC to local FILETIME, asking the platform once per quarter hour.
class LocalTimeConverter {
 public:
  FileTime Convert(FileTime utc);

 private:
  uint64_t bucket_ = ~uint64_t(0);
  int64_t offset_ = 0;
};

struct CaptureFrame {
  uint32_t linkType = 0;
  const uint8_t* data = nullptr;  // valid until the next call
  uint32_t caplen = 0;
  uint32_t wireLength = 0;
  bool hasTime = false;
  FileTime utcTime = 0;
};

class CaptureReader {
 public:
  explicit CaptureReader(ByteSource& source);
  // Reads the file header; false (with error()) when it is not a capture file.
  bool Open();
  // The next frame; false at the end or at damage (error() tells which).
  bool Next(CaptureFrame& frame);
  // Empty after a clean end.
  const std::string& error() const { return error_; }
  uint64_t offset() const { return consumed_; }
  CaptureFormat format() const { return format_; }

 private:
  struct Interface {
    uint32_t linkType;
    uint32_t snapLen;
    uint64_t unitsPerSecond;
    int64_t offsetSeconds;
  };

  // Makes n bytes available at Peek; false when the source ends first.
  bool Ensure(size_t n) { return len_ - pos_ >= n || Refill(n); }
  bool Refill(size_t n);
  const uint8_t* Peek() const { return buf_.data() + pos_; }
  void Consume(size_t n) {
    pos_ += n;
    consumed_ += n;
  }
  bool Damaged(const char* what);
  bool NextPcap(CaptureFrame& f);
  bool NextPcapNg(CaptureFrame& f);
  bool ReadSectionHeader();
  bool ParseInterface(const uint8_t* body, size_t len);
  FileTime ToFileTime(uint64_t ts, const Interface& ifc) const;

  ByteSource& src_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
  uint64_t consumed_ = 0;
  std::string error_;
  CaptureFormat format_ = CaptureFormat::Unknown;
  bool big_ = false;
  // classic pcap
  bool nano_ = false;
  size_t recordHeader_ = 16;
  uint32_t linkType_ = 0;
  // pcapng
  std::vector<Interface> interfaces_;
  FileTime lastTime_ = 0;
  std::unique_ptr<NetMonReader> netmon_;
};
