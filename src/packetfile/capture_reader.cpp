#include "packetfile/capture_reader.h"

#include <cstring>

#include "base/byte_cursor.h"
#include "packetfile/packet_file.h"

namespace {
constexpr size_t kChunk = 1 << 18;
constexpr uint32_t kShb = 0x0A0D0D0A;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

uint32_t Get32(const uint8_t* p, bool big) { return big ? LoadBe32(p) : LoadLe32(p); }
uint16_t Get16(const uint8_t* p, bool big) { return big ? LoadBe16(p) : LoadLe16(p); }
}  // namespace

CaptureFormat DetectCaptureFormat(const uint8_t* h, size_t n) {
  if (n >= 8 && (memcmp(h, "PKRLF200", 8) == 0 || memcmp(h, "PKRLF100", 8) == 0))
    return CaptureFormat::PacketFile;
  if (n >= 4) {
    const uint32_t le = LoadLe32(h), be = LoadBe32(h);
    for (uint32_t m : {0xA1B2C3D4u, 0xA1B23C4Du, 0xA1B2CD34u})
      if (le == m || be == m) return CaptureFormat::Pcap;
    if (le == kShb) return CaptureFormat::PcapNg;
    if (memcmp(h, "GMBU", 4) == 0 || memcmp(h, "RTSS", 4) == 0) return CaptureFormat::NetMon;
  }
  return CaptureFormat::Unknown;
}

long MemorySource::Read(uint8_t* dst, size_t n) {
  size_t k = size_ - pos_ < n ? size_ - pos_ : n;
  memcpy(dst, data_ + pos_, k);
  pos_ += k;
  return long(k);
}

bool MemorySource::Seek(uint64_t offset) {
  if (offset > size_) return false;
  pos_ = size_t(offset);
  return true;
}

CaptureReader::CaptureReader(ByteSource& source) : src_(source) {}

bool CaptureReader::Refill(size_t n) {
  if (pos_ > 0) {
    memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
    len_ -= pos_;
    pos_ = 0;
  }
  if (buf_.size() < kChunk) buf_.resize(kChunk);
  while (len_ < n && !eof_) {
    // Grown as bytes come, not to the length a record claims: a short
    // file claiming a large block costs what it holds.
    if (len_ == buf_.size()) buf_.resize(n < buf_.size() * 2 ? n : buf_.size() * 2);
    long r = src_.Read(buf_.data() + len_, buf_.size() - len_);
    if (r <= 0) {
      eof_ = true;
      if (r < 0 && error_.empty()) error_ = "read error";
      break;
    }
    len_ += size_t(r);
  }
  return len_ - pos_ >= n;
}

bool CaptureReader::Damaged(const char* what) {
  error_ = std::string("damaged file: ") + what + " at offset " + std::to_string(consumed_);
  return false;
}

bool CaptureReader::Open() {
  if (!Ensure(4)) {
    error_ = "not a capture file";
    return false;
  }
  format_ = DetectCaptureFormat(Peek(), len_ - pos_);
  if (format_ == CaptureFormat::Pcap) {
    if (!Ensure(24)) return Damaged("truncated file header");
    const uint32_t le = LoadLe32(Peek());
    big_ = !(le == 0xA1B2C3D4u || le == 0xA1B23C4Du || le == 0xA1B2CD34u);
    const uint32_t magic = Get32(Peek(), big_);
    nano_ = magic == 0xA1B23C4Du;
    recordHeader_ = magic == 0xA1B2CD34u ? 24 : 16;
    linkType_ = Get32(Peek() + 20, big_) & 0xFFFF;
    Consume(24);
    return true;
  }
  if (format_ == CaptureFormat::PcapNg) return ReadSectionHeader();
  if (format_ == CaptureFormat::NetMon) {
    netmon_.reset(new NetMonReader(src_));
    if (netmon_->Open()) return true;
    error_ = netmon_->error();
    return false;
  }
  error_ = "not a capture file";
  return false;
}

bool CaptureReader::Next(CaptureFrame& f) {
  if (!error_.empty()) return false;
  if (format_ == CaptureFormat::Pcap) return NextPcap(f);
  if (format_ == CaptureFormat::PcapNg) return NextPcapNg(f);
  if (netmon_) {
    if (netmon_->Next(f)) return true;
    error_ = netmon_->error();
  }
  return false;
}

bool CaptureReader::NextPcap(CaptureFrame& f) {
  if (!Ensure(1)) return false;  // clean end
  if (!Ensure(recordHeader_)) return Damaged("truncated record header");
  const uint8_t* h = Peek();
  const uint32_t sec = Get32(h, big_), frac = Get32(h + 4, big_);
  const uint32_t incl = Get32(h + 8, big_), orig = Get32(h + 12, big_);
  if (incl > kMaxPcapRecord) return Damaged("record length beyond the limit");
  if (!Ensure(recordHeader_ + incl)) return Damaged("truncated record");
  f.linkType = linkType_;
  f.data = Peek() + recordHeader_;
  f.caplen = incl;
  f.wireLength = orig;
  f.hasTime = true;
  const uint64_t sub100ns = nano_ ? frac / 100 : uint64_t(frac) * 10;
  f.utcTime = UnixToFileTime(sec, 0, sub100ns);
  Consume(recordHeader_ + incl);
  return true;
}

bool CaptureReader::ReadSectionHeader() {
  if (!Ensure(12)) return Damaged("truncated section header");
  const uint32_t bom = LoadLe32(Peek() + 8);
  if (bom == kByteOrderMagic) big_ = false;
  else if (bom == 0x4D3C2B1A) big_ = true;
  else return Damaged("bad byte-order magic");
  const uint32_t total = Get32(Peek() + 4, big_);
  if (total < 28 || total % 4 || total > kMaxPcapngBlock) return Damaged("bad section header length");
  if (!Ensure(total)) return Damaged("truncated section header");
  if (Get32(Peek() + total - 4, big_) != total) return Damaged("block length mismatch");
  interfaces_.clear();
  Consume(total);
  return true;
}

bool CaptureReader::ParseInterface(const uint8_t* body, size_t len) {
  if (len < 8) return Damaged("short interface block");
  if (interfaces_.size() >= kMaxPcapngInterfaces) return Damaged("too many interfaces");
  Interface ifc{Get16(body, big_), Get32(body + 4, big_), 1000000, 0};
  size_t p = 8;
  while (p + 4 <= len) {
    const uint16_t code = Get16(body + p, big_), olen = Get16(body + p + 2, big_);
    p += 4;
    if (code == 0 || p + olen > len) break;  // end of options
    if (code == 9 && olen >= 1) {
      const uint8_t r = body[p];
      const unsigned e = r & 0x7F;
      uint64_t units = 1;
      if (r & 0x80) {
        if (e > 63) return Damaged("bad time resolution");
        units = uint64_t(1) << e;
      } else {
        if (e > 19) return Damaged("bad time resolution");
        for (unsigned i = 0; i < e; i++) units *= 10;
      }
      ifc.unitsPerSecond = units;
    } else if (code == 14 && olen >= 8) {
      const uint64_t hi = Get32(body + p + (big_ ? 0 : 4), big_);
      const uint64_t lo = Get32(body + p + (big_ ? 4 : 0), big_);
      ifc.offsetSeconds = int64_t(hi << 32 | lo);
    }
    p += (olen + 3u) & ~3u;
  }
  interfaces_.push_back(ifc);
  return true;
}

FileTime CaptureReader::ToFileTime(uint64_t ts, const Interface& ifc) const {
  const uint64_t sec = ts / ifc.unitsPerSecond, frac = ts % ifc.unitsPerSecond;
  const uint64_t sub = uint64_t((long double)frac * 10000000.0L / (long double)ifc.unitsPerSecond);
  return UnixToFileTime(sec, ifc.offsetSeconds, sub);
}

bool CaptureReader::NextPcapNg(CaptureFrame& f) {
  for (;;) {
    if (!Ensure(1)) return false;  // clean end
    if (!Ensure(8)) return Damaged("truncated block header");
    const uint32_t type = Get32(Peek(), big_);
    if (type == kShb) {
      if (!ReadSectionHeader()) return false;
      continue;
    }
    const uint32_t total = Get32(Peek() + 4, big_);
    if (total < 12 || total % 4 || total > kMaxPcapngBlock) return Damaged("bad block length");
    if (!Ensure(total)) return Damaged("truncated block");
    const uint8_t* b = Peek();
    if (Get32(b + total - 4, big_) != total) return Damaged("block length mismatch");
    const uint8_t* body = b + 8;
    const size_t len = total - 12;
    if (type == 1) {
      if (!ParseInterface(body, len)) return false;
      Consume(total);
      continue;
    }
    if (type == 6 || type == 2) {  // enhanced / obsolete packet block
      if (len < 20) return Damaged("short packet block");
      const uint32_t id = type == 6 ? Get32(body, big_) : Get16(body, big_);
      if (id >= interfaces_.size()) return Damaged("packet of an undefined interface");
      const uint32_t caplen = Get32(body + 12, big_);
      if (caplen > len - 20) return Damaged("packet longer than its block");
      const Interface& ifc = interfaces_[id];
      f.linkType = ifc.linkType;
      f.data = body + 20;
      f.caplen = caplen;
      f.wireLength = Get32(body + 16, big_);
      f.hasTime = true;
      f.utcTime = ToFileTime(uint64_t(Get32(body + 4, big_)) << 32 | Get32(body + 8, big_), ifc);
      lastTime_ = f.utcTime;
      Consume(total);
      return true;
    }
    if (type == 3) {  // simple packet block: interface 0, no time stamp
      if (len < 4) return Damaged("short packet block");
      if (interfaces_.empty()) return Damaged("packet of an undefined interface");
      const Interface& ifc = interfaces_[0];
      uint32_t caplen = Get32(body, big_);
      if (ifc.snapLen && caplen > ifc.snapLen) caplen = ifc.snapLen;
      if (caplen > len - 4) caplen = uint32_t(len - 4);
      f.linkType = ifc.linkType;
      f.data = body + 4;
      f.caplen = caplen;
      f.wireLength = Get32(body, big_);
      f.hasTime = false;
      f.utcTime = lastTime_;  // the time of the packet before it
      Consume(total);
      return true;
    }
    Consume(total);  // blocks we do not use
  }
}

FileTime LocalTimeConverter::Convert(FileTime utc) {
  constexpr uint64_t kQuarterHour = 15ULL * 60 * 10000000;  // zone changes fall on these
  const uint64_t b = utc / kQuarterHour;
  if (b != bucket_) {
    const FileTime start = b * kQuarterHour;
    offset_ = int64_t(GetPlatform().UtcToLocalFileTime(start) - start);
    bucket_ = b;
  }
  return FileTime(int64_t(utc) + offset_);
}
