// Fakes and small writers of packets and capture files for the tests.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/import.h"
#include "app/report.h"
#include "base/platform.h"
#include "capture/capture_engine.h"
#include "capture/dns.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"

using Bytes = std::vector<uint8_t>;

// English number layout, a fixed date layout, a few services, a settable clock and zone offset.
class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;
  uint32_t TickCount() override { return tick; }
  FileTime LocalFileTimeNow() override { return now; }
  FileTime UtcToLocalFileTime(FileTime utc) override { return utc + zoneOffset; }
  void GroupDigits(const char* digits, char* out, size_t outSize) override;
  void FormatDateTime(const SystemTime& st, char* out, size_t outSize) override;
  const char* ServiceName(uint16_t port) override;
  bool CreateTempFile(const char* prefix, char* path, size_t pathSize) override;
  bool RemoveFile(const char* path) override;
  int MimeExtension(const char* type, char* out, size_t outSize) override;

  uint32_t tick = 1000;
  bool mimeDatabase = false;  // without one the built-in table answers
  std::map<std::string, std::string> mime;
  FileTime now = 0;
  int64_t zoneOffset = 36000000000LL;  // one hour east
  std::map<uint16_t, std::string> services{{53, "domain"}, {80, "http"}, {443, "https"}};
};

uint32_t Addr(const char* dotted);  // network order
Bytes Ipv4Packet(uint8_t protocol, const char* src, const char* dst, uint16_t sport,
                 uint16_t dport, size_t payload, uint32_t seq = 0, uint8_t fill = 'a');
Bytes WithPayload(uint8_t protocol, const char* src, const char* dst, uint16_t sport,
                  uint16_t dport, const Bytes& payload);
// A TCP segment carrying `data` at sequence number `seq`.
Bytes Tcp(const char* src, const char* dst, uint16_t sport, uint16_t dport, uint32_t seq,
          const std::string& data);
Bytes Ethernet(const Bytes& ip, uint16_t type = 0x0800, int vlanTags = 0);
// A DNS response for `name` with A records of `addresses`, names compressed.
Bytes DnsResponse(const std::string& name, const std::vector<uint32_t>& addresses);

// The packets of a small session: DNS, a TCP exchange, UDP and ICMP.
std::vector<Bytes> Session();

struct Frame {
  Bytes data;
  uint64_t seconds = 1700000000;
  uint32_t fraction = 0;  // micro- or nanoseconds
};
Bytes PcapFile(const std::vector<Frame>& frames, uint32_t linkType = 1, bool bigEndian = false,
               bool nano = false);

// A Network Monitor file: a 128-byte header, frame records with trailers from 2.1 on, the frame table last.
struct NmFrame {
  Bytes data;
  uint64_t deltaUs = 0;
  uint16_t media = 1;
  uint64_t utc = 0;
};
Bytes NetMonFile(uint8_t major, uint8_t minor, uint16_t media, const std::vector<NmFrame>& frames);
// An 802.11 data frame in monitor mode behind the 32-byte metadata header.
Bytes MonitorFrame(const Bytes& ip, uint8_t flags = 0);

// pcapng in pieces, so tests can mix sections, byte orders and block kinds.
class PcapngWriter {
 public:
  explicit PcapngWriter(bool bigEndian = false) : big_(bigEndian) {}
  PcapngWriter& Section(bool bigEndian);
  PcapngWriter& Interface(uint16_t linkType, int tsresol = -1);
  PcapngWriter& Enhanced(uint32_t iface, const Bytes& data, uint64_t ts);
  PcapngWriter& Simple(const Bytes& data);
  PcapngWriter& Unknown(uint32_t type);
  void U16(uint16_t v);
  void U32(uint32_t v);
  Bytes bytes;

 private:
  void Block(uint32_t type, const Bytes& body);
  bool big_;
};

std::string TempPath(const std::string& name);
void WriteFileBytes(const std::string& path, const Bytes& b);
// What a shell command writes to its standard output.
std::string CommandOutput(const std::string& command);
Bytes ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void MakeDir(const std::string& path);

// A capture file loaded as report mode loads it (with its packets for streams).
struct LoadedCapture {
  explicit LoadedCapture(const std::string& path, bool withPackets = false, bool dnsNames = false);
  ~LoadedCapture() { file.ResetFile(false); }
  std::string Rows();  // the summary rows, tab-delimited
  Options options;
  PacketFile file;
  ConversationTable table{options, &file};
  LoadOutcome outcome;
};
// The rows of a capture that must load.
std::string ReportRows(const std::string& path, bool dnsNames = false);

// A temporary packet file holding `packets`, closed and ready to read.
void WritePackets(PacketFile& file, const std::vector<Bytes>& packets);

// What an import hands over.
struct Collector : PacketSniffer {
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src, FileTime t) override;
  std::vector<Bytes> packets;
  std::vector<FileTime> times;
  std::vector<int> macs;        // 2 with a destination, 1 with a source
  std::vector<Bytes> dst, src;  // empty without one
};

// The first `n` bytes of `file` imported into `c`.
ImportResult ImportBytes(const Bytes& file, Collector& c, size_t n = SIZE_MAX, ReadProgress* progress = nullptr);

// A running capture into a temporary packet file; the local address 10.0.0.5.
struct CaptureRig {
  struct Notifier : StatusNotifier {
    int posts = 0;
    void PacketCountChanged() override { posts++; }
  };
  explicit CaptureRig(const char* captureFilter = "");
  ~CaptureRig() { file.ResetFile(false); }
  void Send(const Bytes& p) { engine.OnPacket(p.data(), int32_t(p.size()), nullptr, nullptr); }
  size_t StoredPackets();  // ends the writing
  FakePlatform platform;
  Options options;
  PacketFile file;
  ConversationTable table{options, &file};
  CaptureEngine engine{options, table, file};
  DnsNameCache cache;
  Notifier notifier;
};

// Stream blocks as (direction, bytes).
struct BlockCollector : BlockSink {
  void OnBlock(const StreamBlock& b) override { blocks.emplace_back(b.direction, BlockText(b)); }
  static std::string BlockText(const StreamBlock& b) { return std::string(b.bytes.c_str(), b.bytes.length()); }
  std::vector<std::pair<int, std::string>> blocks;
};
void Place(StreamBlock& b, uint32_t seq, const std::string& s);
// Formatted pieces joined, with their number and the largest one's size.
struct Pieces : PieceSink {
  void Emit(const char* t, size_t n, bool colored, uint32_t color) override {
    if (colored) colors.push_back(color);  // the direction's colour
    text.append(t, n);
    largest = n > largest ? n : largest;
    parts++;
  }
  std::string text;
  std::vector<uint32_t> colors;
  size_t largest = 0, parts = 0;
};

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string ColumnOf(const Conversation& c, int id, const Options& o);

IpAddress V6(const char* text);
// The IPv4 packet `ip` as IPv6 from `src` to `dst`, behind `extensions`
// (type and header; each header's next-header byte is filled in).
Bytes AsIPv6(const Bytes& ip, const char* src, const char* dst,
             const std::vector<std::pair<uint8_t, Bytes>>& extensions = {});
// A TCP (at `seq`), UDP or ICMPv6 packet carrying `data`.
Bytes Ip6(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport, const std::string& data,
          uint32_t seq = 0);
// Bytes [from, to) of the upper-layer part of `v6` (no extensions), or of
// an IPv4 packet's, as fragment `id`.
Bytes Fragment(const Bytes& v6, uint32_t id, size_t from, size_t to);
Conversation* Account(ConversationTable& table, const Bytes& p, FileTime time = 0);
