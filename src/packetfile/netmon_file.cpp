#include "packetfile/netmon_file.h"

#include <cstring>
#include <iterator>

#include "base/byte_cursor.h"
#include "packetfile/link_type.h"
#include "packetfile/capture_reader.h"

namespace {
constexpr size_t kHeaderBytes = 32;  // magic, version, media, start time, frame table
constexpr uint64_t kMaxDeltaUs = 100ULL * 366 * 86400 * 1000000;  // a century

size_t TrailerBytes(uint8_t major, uint8_t minor) {
  if (major != 2 || minor == 0) return 0;
  if (minor == 1) return 2;   // media
  if (minor == 2) return 6;   // media, process index
  return 15;                  // media, process index, UTC time, zone index
}

FileTime StartTime(const uint8_t* h) {
  SystemTime st{LoadLe16(h), LoadLe16(h + 2), LoadLe16(h + 4), LoadLe16(h + 6),
                LoadLe16(h + 8), LoadLe16(h + 10), LoadLe16(h + 12), LoadLe16(h + 14)};
  if (st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12 || st.day < 1 || st.day > 31 ||
      st.hour > 23 || st.minute > 59 || st.second > 59 || st.milliseconds > 999)
    return 0;
  return SystemTimeToFileTime(st);
}
}  // namespace

bool NetMonReader::Damaged(const char* what) {
  error_ = std::string("damaged file: ") + what + " (frame " + std::to_string(next_) + ")";
  return false;
}

bool NetMonReader::Claim(uint64_t begin, uint64_t end) {
  auto next = claimed_.upper_bound(begin);
  if (next != claimed_.end() && next->first < end) return false;
  if (next != claimed_.begin()) {
    auto prev = std::prev(next);
    if (prev->second > begin) return false;
    if (prev->second == begin) {  // frames in file order: one span grows
      prev->second = end;
      if (next != claimed_.end() && next->first == end) {
        prev->second = next->second;
        claimed_.erase(next);
      }
      return true;
    }
  }
  if (next != claimed_.end() && next->first == end) {
    const uint64_t last = next->second;
    claimed_.erase(next);
    claimed_.emplace(begin, last);
  } else {
    claimed_.emplace(begin, end);
  }
  return true;
}

bool NetMonReader::ReadAt(uint64_t offset, uint8_t* dst, size_t n) { return ReadUpTo(offset, dst, n) == n; }

size_t NetMonReader::ReadUpTo(uint64_t offset, uint8_t* dst, size_t n) {
  if (!src_.Seek(offset)) return 0;
  size_t got = 0;
  while (got < n) {
    const long r = src_.Read(dst + got, n - got);
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

bool NetMonReader::Open() {
  uint8_t h[kHeaderBytes];
  if (!ReadAt(0, h, sizeof h)) {
    error_ = "damaged file: truncated Network Monitor header";
    return false;
  }
  const bool v1 = memcmp(h, "RTSS", 4) == 0;
  if (!v1 && memcmp(h, "GMBU", 4) != 0) {
    error_ = "not a Network Monitor capture file";
    return false;
  }
  minor_ = h[4];
  major_ = h[5];
  if (major_ != (v1 ? 1 : 2)) {
    error_ = "unsupported Network Monitor version " + std::to_string(major_) + "." + std::to_string(minor_);
    return false;
  }
  media_ = LoadLe16(h + 6);
  // The start is the capturing machine's local time; frame offsets count
  // from it in real time, so they are added to it as UTC.
  const FileTime start = StartTime(h + 8);
  start_ = start ? LocalToUtcConverter().Convert(start) : 0;
  tableOffset_ = LoadLe32(h + 24);
  const uint32_t tableBytes = LoadLe32(h + 28);
  if (tableBytes % 4) return Damaged("frame table length not a multiple of 4");
  count_ = tableBytes / 4;
  window_.resize(size_t(kNetMonTableWindow) * 4);
  return true;
}

bool NetMonReader::Next(CaptureFrame& f) {
  if (!error_.empty() || next_ >= count_) return false;
  if (next_ < windowFirst_ || next_ >= windowFirst_ + windowCount_) {
    const uint32_t n = count_ - next_ < kNetMonTableWindow ? count_ - next_ : kNetMonTableWindow;
    // A table cut short still names the frames of the entries it holds.
    const size_t whole = ReadUpTo(uint64_t(tableOffset_) + uint64_t(next_) * 4, window_.data(), size_t(n) * 4) / 4;
    if (!whole) return Damaged("frame table cut short");
    windowFirst_ = next_;
    windowCount_ = uint32_t(whole);
  }
  const uint32_t offset = LoadLe32(window_.data() + size_t(next_ - windowFirst_) * 4);
  const size_t headerBytes = major_ == 1 ? 8 : 16;
  uint8_t h[16];
  if (!ReadAt(offset, h, headerBytes)) return Damaged("frame header beyond the end");
  uint64_t delta;  // microseconds since the start
  uint32_t orig, incl;
  if (major_ == 1) {
    delta = uint64_t(LoadLe32(h)) * 1000;
    orig = LoadLe16(h + 4);
    incl = LoadLe16(h + 6);
  } else {
    delta = uint64_t(LoadLe32(h + 4)) << 32 | LoadLe32(h);
    orig = LoadLe32(h + 8);
    incl = LoadLe32(h + 12);
  }
  if (incl > kMaxNetMonRecord) return Damaged("frame length beyond the limit");
  const size_t trailer = TrailerBytes(major_, minor_);
  if (record_.size() < kMaxNetMonRecord + 16) record_.resize(kMaxNetMonRecord + 16);
  if (!ReadAt(uint64_t(offset) + headerBytes, record_.data(), incl + trailer)) return Damaged("frame cut short");
  if (!Claim(offset, uint64_t(offset) + headerBytes + incl + trailer))
    return Damaged("frame table names overlapping frames");
  if (claimed_.size() > kMaxNetMonSpans) return Damaged("frames scattered over too many places");
  const uint8_t* t = record_.data() + incl;
  const uint16_t media = trailer ? LoadLe16(t) : media_;
  // Media 0 appears in some captures whose frames are Ethernet.
  f.linkType = media == kNetMonMediaEthernet || media == kNetMonMediaWifi || media == 0 ? kLinkNetMon : 0xFFFFFFFFu;
  f.data = record_.data();
  f.caplen = incl;
  f.wireLength = orig;
  f.utcTime = 0;
  const uint64_t utc = trailer >= 14 ? (uint64_t(LoadLe32(t + 10)) << 32 | LoadLe32(t + 6)) : 0;
  if (utc) f.utcTime = utc;
  else if (start_ && delta <= kMaxDeltaUs) f.utcTime = start_ + delta * 10;
  if (f.utcTime > kMaxFileTime) f.utcTime = kMaxFileTime;
  f.hasTime = f.utcTime != 0;
  next_++;
  return true;
}
