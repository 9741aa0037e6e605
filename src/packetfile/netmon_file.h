// Capture files of Network Monitor (".cap", versions 1.x and 2.x), read
// without its library: the frame table is followed to every frame.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/platform.h"

class ByteSource;
struct CaptureFrame;

// The largest frame record we accept; larger ones mark the file damaged.
constexpr uint32_t kMaxNetMonRecord = 262144;
// Frames apart from one another that the overlap check remembers: a writer
// puts them one after another (one span), and each apart costs a map node.
constexpr size_t kMaxNetMonSpans = 16384;
// Frame table entries read in one go (the table itself may be any size the
// file can hold: it is read window by window, never whole).
constexpr uint32_t kNetMonTableWindow = 4096;
// Media types of the file header and of the 2.1+ frame trailers.
constexpr uint16_t kNetMonMediaEthernet = 1;
constexpr uint16_t kNetMonMediaWifi = 6;

class NetMonReader {
 public:
  explicit NetMonReader(ByteSource& source) : src_(source) {}
  // Reads the header; false (with error()) when the file is not one we read.
  bool Open();
  // The next frame in table order; false at the end or at damage.
  bool Next(CaptureFrame& frame);
  const std::string& error() const { return error_; }
  uint32_t frameCount() const { return count_; }

 private:
  bool Damaged(const char* what);
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n);
  // The bytes read, fewer than `n` at the end of the file.
  size_t ReadUpTo(uint64_t offset, uint8_t* dst, size_t n);

  ByteSource& src_;
  std::string error_;
  uint8_t major_ = 0, minor_ = 0;
  uint16_t media_ = 0;
  FileTime start_ = 0;  // UTC time of the capture start, 0 when unknown
  uint32_t tableOffset_ = 0, count_ = 0, next_ = 0;
  uint32_t windowFirst_ = 0, windowCount_ = 0;
  // Frame records must not share bytes, so a table naming one frame over
  // and over cannot make a small file deliver gigabytes, nor one frame
  // hide inside another: the byte spans read so far, merged.
  bool Claim(uint64_t begin, uint64_t end);
  std::map<uint64_t, uint64_t> claimed_;
  std::vector<uint8_t> window_;
  std::vector<uint8_t> record_;
};
