#include "packetfile/capture_writer.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "packetfile/packet_file.h"
#include "base/raw_file.h"

namespace {

constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kLinkRawIp = 101;
constexpr uint32_t kSnapLength = 262144;
constexpr size_t kFlushSize = 1u << 20;

bool HasMacs(const PacketHeader& h) {
  static const uint8_t kZero[6] = {};
  return memcmp(h.srcMac, kZero, 6) != 0 || memcmp(h.dstMac, kZero, 6) != 0;
}

class Output {
 public:
  bool Open(const char* path) {
    buf_.reserve(kFlushSize + kPacketBufferSize + 64);
    return file_.OpenWrite(path);
  }
  void U16(uint16_t v) { Put(&v, 2); }
  void U32(uint32_t v) { Put(&v, 4); }
  void Put(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
  }
  bool MaybeFlush() { return buf_.size() < kFlushSize || Flush(); }
  bool Flush() {
    const bool ok = buf_.empty() || file_.Write(buf_.data(), buf_.size());
    buf_.clear();
    return ok;
  }
  bool Close() { return file_.Close(); }

 private:
  RawFile file_;
  std::vector<uint8_t> buf_;
};

// Whether every packet has MACs, so that all can be Ethernet frames.
bool AllHaveMacs(PacketFile& source, uint8_t* packet) {
  if (!source.OpenForReading()) return false;
  PacketHeader h;
  bool all = true;
  while (all && source.ReadNextPacket(packet, h)) all = HasMacs(h);
  source.CloseReading();
  return all;
}

void PutFrame(Output& out, const PacketHeader& h, bool ethernet, const uint8_t* packet) {
  if (ethernet) {
    out.Put(h.dstMac, 6);
    out.Put(h.srcMac, 6);
    const bool six = h.length && (packet[0] >> 4) == 6;
    const uint8_t type[2] = {uint8_t(six ? 0x86 : 0x08), uint8_t(six ? 0xDD : 0x00)};
    out.Put(type, 2);
  }
  out.Put(packet, h.length);
}

// The packet's length when it was sent: a packet cut by the capture's
// snapshot length keeps it in its IP header.
uint32_t SentLength(const uint8_t* p, uint32_t n) {
  uint32_t total = 0;
  if (n >= 4 && p[0] >> 4 == 4) total = uint32_t(p[2] << 8 | p[3]);
  if (n >= 6 && p[0] >> 4 == 6 && (p[4] | p[5])) total = 40 + uint32_t(p[4] << 8 | p[5]);
  return total > n ? total : n;
}

}  // namespace

CaptureFormat CaptureFormatOfName(const char* path) {
  const size_t n = strlen(path);
  const char* ext = ".pcapng";
  if (n >= 7) {
    bool same = true;
    for (size_t i = 0; i < 7; i++) {
      char c = path[n - 7 + i];
      if (c >= 'A' && c <= 'Z') c = char(c + 32);
      same = same && c == ext[i];
    }
    if (same) return CaptureFormat::PcapNg;
  }
  return CaptureFormat::Pcap;
}

ConvertResult WriteCaptureFile(PacketFile& source, const char* path, CaptureFormat format) {
  ConvertResult r;
  if (source.name()[0] && RawFile::SameFile(source.name(), path)) {
    // Writing would truncate the file while it is being read.
    r.error = "the output is the packet file being read";
    return r;
  }
  std::unique_ptr<uint8_t[]> packet(new uint8_t[kPacketBufferSize]);
  const bool ng = format == CaptureFormat::PcapNg;
  // One link type per file: libpcap refuses a pcapng file whose interfaces differ.
  const bool ethernet = AllHaveMacs(source, packet.get());
  if (!source.OpenForReading()) {
    r.error = std::string("cannot read the packet file: ") + RawFile::LastErrorText();
    return r;
  }
  CreatedFile created(path);
  Output out;
  if (!out.Open(path)) {
    r.error = std::string("cannot create the file: ") + RawFile::LastErrorText();
    source.CloseReading();
    return r;
  }
  if (ng) {
    // Section header, then the one interface, with 100 ns stamps so the
    // times stay exact.
    out.U32(0x0A0D0D0A);
    out.U32(28);
    out.U32(0x1A2B3C4D);
    out.U16(1);
    out.U16(0);
    out.U32(0xFFFFFFFF);
    out.U32(0xFFFFFFFF);
    out.U32(28);
    out.U32(1);
    out.U32(32);
    out.U16(uint16_t(ethernet ? kLinkEthernet : kLinkRawIp));
    out.U16(0);
    out.U32(kSnapLength);
    out.U16(9);  // if_tsresol
    out.U16(1);
    const uint8_t resol[4] = {7, 0, 0, 0};
    out.Put(resol, 4);
    out.U32(0);  // opt_endofopt
    out.U32(32);
  } else {
    out.U32(0xA1B2C3D4);
    out.U16(2);
    out.U16(4);
    out.U32(0);
    out.U32(0);
    out.U32(kSnapLength);
    out.U32(ethernet ? kLinkEthernet : kLinkRawIp);
  }
  LocalToUtcConverter clock;
  PacketHeader h;
  bool ok = true;
  bool late = false;
  while (ok && source.ReadNextPacket(packet.get(), h)) {
    const uint32_t len = h.length + (ethernet ? 14 : 0);
    const uint32_t sent = SentLength(packet.get(), h.length) + (ethernet ? 14 : 0);
    const FileTime utc = clock.Convert(h.time);
    const uint64_t units = utc > kFileTimeUnixEpoch ? utc - kFileTimeUnixEpoch : 0;  // 100 ns since 1970
    if (!ng && units / 10000000 > 0xFFFFFFFFu) {
      late = true;
      break;
    }
    if (ng) {
      const uint32_t padded = (len + 3) & ~3u;
      out.U32(6);
      out.U32(32 + padded);
      out.U32(0);
      out.U32(uint32_t(units >> 32));
      out.U32(uint32_t(units));
      out.U32(len);
      out.U32(sent);
      PutFrame(out, h, ethernet, packet.get());
      const uint8_t pad[3] = {};
      out.Put(pad, padded - len);
      out.U32(32 + padded);
    } else {
      out.U32(uint32_t(units / 10000000));
      out.U32(uint32_t(units % 10000000 / 10));
      out.U32(len);
      out.U32(sent);
      PutFrame(out, h, ethernet, packet.get());
    }
    r.packets++;
    ok = out.MaybeFlush();
  }
  if (ok) ok = out.Flush();
  if (source.damage()) {
    r.damaged = true;
    r.error = std::string("damaged file: ") + source.damage() + " at offset " +
              std::to_string(source.recordOffset());
  }
  source.CloseReading();
  if (!out.Close()) ok = false;
  if (late) {
    r.error = "packet " + std::to_string(r.packets + 1) +
              " is stamped after 2106-02-07, which a pcap file cannot hold (a pcapng file can)";
    return r;
  }
  if (!ok) {
    r.error = std::string("write failed: ") + RawFile::LastErrorText();
    return r;
  }
  r.ok = true;
  created.Keep();
  return r;
}
