#include "test_support.h"

#include "base/ip_address.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#ifdef _WIN32
#include <direct.h>
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/byte_cursor.h"
#include "capture/columns.h"
#include "export/summary_export.h"
#include "gtest/gtest.h"

namespace {
Platform* RealPlatform() {
  SetPlatform(nullptr);
  return &GetPlatform();
}
Platform* g_real = nullptr;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
}  // namespace

FakePlatform::FakePlatform() {
  if (!g_real) g_real = RealPlatform();
  now = SystemTimeToFileTime({2024, 3, 0, 5, 10, 20, 30, 250});
  SetPlatform(this);
}
FakePlatform::~FakePlatform() { SetPlatform(nullptr); }

void FakePlatform::GroupDigits(const char* d, char* out, size_t outSize) {
  std::string s;
  size_t n = strlen(d);
  for (size_t i = 0; i < n; i++) {
    if (i && (n - i) % 3 == 0) s += ',';
    s += d[i];
  }
  snprintf(out, outSize, "%s", s.c_str());
}

void FakePlatform::FormatDateTime(const SystemTime& st, char* out, size_t outSize) {
  snprintf(out, outSize, "%04d-%02d-%02d %02d:%02d:%02d", st.year, st.month, st.day, st.hour,
           st.minute, st.second);
}

const char* FakePlatform::ServiceName(uint16_t port) {
  auto it = services.find(port);
  return it == services.end() ? nullptr : it->second.c_str();
}

bool FakePlatform::CreateTempFile(const char* prefix, char* path, size_t pathSize) {
  return g_real->CreateTempFile(prefix, path, pathSize);
}
bool FakePlatform::RemoveFile(const char* path) { return g_real->RemoveFile(path); }

uint32_t Addr(const char* dotted) {
  unsigned a, b, c, d;
  sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
  uint8_t bytes[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
  uint32_t v;
  memcpy(&v, bytes, 4);
  return v;
}

Bytes WithPayload(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                  const Bytes& payload) {
  const size_t th = proto == 6 ? 20 : 8;
  Bytes p(20 + th);
  p[0] = 0x45;
  const size_t total = 20 + th + payload.size();
  p[2] = uint8_t(total >> 8);
  p[3] = uint8_t(total);
  p[8] = 64;
  p[9] = proto;
  uint32_t s = Addr(src), d = Addr(dst);
  memcpy(&p[12], &s, 4);
  memcpy(&p[16], &d, 4);
  uint8_t* t = &p[20];
  if (proto == 6 || proto == 17) {
    t[0] = uint8_t(sport >> 8);
    t[1] = uint8_t(sport);
    t[2] = uint8_t(dport >> 8);
    t[3] = uint8_t(dport);
  }
  if (proto == 6) t[12] = 0x50;
  if (proto == 1) t[0] = 8;  // echo request
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Bytes Tcp(const char* src, const char* dst, uint16_t sport, uint16_t dport, uint32_t seq,
          const std::string& data) {
  Bytes p = WithPayload(6, src, dst, sport, dport, Bytes(data.begin(), data.end()));
  for (int i = 0; i < 4; i++) p[24 + i] = uint8_t(seq >> (24 - 8 * i));
  return p;
}

Bytes Ipv4Packet(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport,
                 size_t payload, uint32_t seq, uint8_t fill) {
  if (proto == 6) return Tcp(src, dst, sport, dport, seq, std::string(payload, char(fill)));
  return WithPayload(proto, src, dst, sport, dport, Bytes(payload, fill));
}

std::vector<Bytes> Session() {
  return {
      WithPayload(17, "10.0.0.1", "10.0.0.5", 53, 4000, DnsResponse("web.example", {Addr("10.0.0.9")})),
      Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 0),
      Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 300),
      Ipv4Packet(6, "10.0.0.9", "10.0.0.5", 80, 1025, 1400),
      Ipv4Packet(17, "10.0.0.5", "10.0.0.7", 5000, 5001, 20),
      Ipv4Packet(1, "10.0.0.7", "10.0.0.5", 0, 0, 56),
  };
}

Bytes Ethernet(const Bytes& ip, uint16_t type, int vlanTags) {
  Bytes f = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
  for (int i = 0; i < vlanTags; i++) {
    Put16(f, i == 0 && vlanTags > 1 ? 0x88A8 : 0x8100);
    Put16(f, uint16_t(100 + i));
  }
  Put16(f, type);
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

Bytes DnsResponse(const std::string& name, const std::vector<uint32_t>& addresses) {
  Bytes m = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, uint8_t(addresses.size()), 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(uint8_t(dot - start));
    m.insert(m.end(), name.begin() + long(start), name.begin() + long(dot));
    start = dot + 1;
  }
  m.push_back(0);
  m.insert(m.end(), {0, 1, 0, 1});
  for (uint32_t a : addresses) {
    m.insert(m.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
    uint8_t b[4];
    memcpy(b, &a, 4);
    m.insert(m.end(), b, b + 4);
  }
  return m;
}

Bytes PcapFile(const std::vector<Frame>& frames, uint32_t linkType, bool big, bool nano) {
  PcapngWriter b(big);  // for its field writers
  for (uint32_t v : {nano ? 0xA1B23C4Du : 0xA1B2C3D4u, big ? 0x00020004u : 0x00040002u, 0u, 0u, 262144u, linkType})
    b.U32(v);
  for (const Frame& f : frames) {
    for (uint32_t v : {uint32_t(f.seconds), f.fraction, uint32_t(f.data.size()), uint32_t(f.data.size())}) b.U32(v);
    b.bytes.insert(b.bytes.end(), f.data.begin(), f.data.end());
  }
  return b.bytes;
}

void PcapngWriter::U16(uint16_t v) {
  bytes.push_back(uint8_t(big_ ? v >> 8 : v));
  bytes.push_back(uint8_t(big_ ? v : v >> 8));
}
void PcapngWriter::U32(uint32_t v) {
  for (int i = 0; i < 4; i++) bytes.push_back(uint8_t(big_ ? v >> (24 - 8 * i) : v >> (8 * i)));
}

void PcapngWriter::Block(uint32_t type, const Bytes& body) {
  Bytes padded = body;
  while (padded.size() % 4) padded.push_back(0);
  const uint32_t total = uint32_t(12 + padded.size());
  U32(type);
  U32(total);
  bytes.insert(bytes.end(), padded.begin(), padded.end());
  U32(total);
}

PcapngWriter& PcapngWriter::Section(bool big) {
  big_ = big;
  PcapngWriter tmp(big);
  for (uint32_t v : {0x1A2B3C4Du, big ? 0x00010000u : 1u, ~0u, ~0u}) tmp.U32(v);  // version 1.0, length unknown
  Block(0x0A0D0D0A, tmp.bytes);
  return *this;
}

PcapngWriter& PcapngWriter::Interface(uint16_t linkType, int tsresol) {
  PcapngWriter tmp(big_);
  tmp.U16(linkType);
  tmp.U16(0);
  tmp.U32(262144);
  if (tsresol >= 0) {
    tmp.U16(9);
    tmp.U16(1);
    tmp.bytes.insert(tmp.bytes.end(), {uint8_t(tsresol), 0, 0, 0});
    tmp.U16(0);
    tmp.U16(0);
  }
  Block(1, tmp.bytes);
  return *this;
}

PcapngWriter& PcapngWriter::Enhanced(uint32_t iface, const Bytes& data, uint64_t ts) {
  PcapngWriter tmp(big_);
  for (uint32_t v : {iface, uint32_t(ts >> 32), uint32_t(ts), uint32_t(data.size()), uint32_t(data.size())}) tmp.U32(v);
  tmp.bytes.insert(tmp.bytes.end(), data.begin(), data.end());
  Block(6, tmp.bytes);
  return *this;
}

PcapngWriter& PcapngWriter::Simple(const Bytes& data) {
  PcapngWriter tmp(big_);
  tmp.U32(uint32_t(data.size()));
  tmp.bytes.insert(tmp.bytes.end(), data.begin(), data.end());
  Block(3, tmp.bytes);
  return *this;
}

PcapngWriter& PcapngWriter::Unknown(uint32_t type) {
  Block(type, Bytes(13, 0xEE));
  return *this;
}

namespace {
std::string TempDir() {
  const char* dir = getenv("TMPDIR");
#ifdef _WIN32
  if (!dir) dir = getenv("TEMP");
#endif
  return dir ? dir : "/tmp";
}
// The process id keeps runs of the same test in parallel (other time
// zones, other builds) out of each other's files.
std::string TempPrefix() { return "pakrill_" + std::to_string(getpid()) + "_"; }

// What the tests of this run left in the temporary folder goes at its end;
// at its start, what runs that crashed or were killed left (their process
// is gone), ours and the fuzz targets' alike.
class TempCleanup : public ::testing::Environment {
 public:
  void SetUp() override {
#ifndef _WIN32
    Sweep([](const std::string& name) {
      for (const char* prefix : {"pakrill_", "pakrill-fuzz-"}) {
        if (name.rfind(prefix, 0) != 0) continue;
        const long pid = strtol(name.c_str() + strlen(prefix), nullptr, 10);
        return pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH;
      }
      return false;
    });
#endif
  }
  void TearDown() override {
    Sweep([](const std::string& name) { return name.rfind(TempPrefix(), 0) == 0; });
  }

 private:
  template <typename F>
  static void Sweep(F doomed) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> paths;
    for (const auto& e : fs::directory_iterator(TempDir(), ec))
      if (doomed(e.path().filename().string())) paths.push_back(e.path());
    for (const fs::path& p : paths) fs::remove_all(p, ec);
  }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new TempCleanup);
}  // namespace

std::string TempPath(const std::string& name) {
  const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
  return TempDir() + "/" + TempPrefix() + (t ? std::string(t->name()) + "_" : "") + name;
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  if (FILE* f = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    pclose(f);
  }
  return out;
}

void WriteFileBytes(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int FakePlatform::MimeExtension(const char* type, char* out, size_t outSize) {
  if (!mimeDatabase) return -1;
  auto it = mime.find(type);
  if (it == mime.end()) return 0;
  snprintf(out, outSize, "%s", it->second.c_str());
  return 1;
}

std::string ReadFileText(const std::string& path) {
  const Bytes b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

void MakeDir(const std::string& path) {
#ifdef _WIN32
  _mkdir(path.c_str());
#else
  mkdir(path.c_str(), 0755);
#endif
}

LoadedCapture::LoadedCapture(const std::string& path, bool withPackets, bool dnsNames) {
  options.UseDnsQueriesForHostNames = dnsNames;
  outcome = withPackets ? LoadCaptureWithPackets(path.c_str(), table, file, options)
                        : LoadCaptureForReport(path.c_str(), table, file, options);
}

std::string LoadedCapture::Rows() {
  std::string out;
  ColumnContext ctx{options, nullptr, &table.addresses()};
  for (size_t i = 0; i < table.count(); i++)
    AppendSummaryRow(out, table.at(i), kFormatTabDelimited, DefaultExportColumns(), ctx);
  return out;
}

std::string ReportRows(const std::string& path, bool dnsNames) {
  LoadedCapture c(path, false, dnsNames);
  EXPECT_TRUE(c.outcome.ok) << path << ": " << c.outcome.message;
  return c.Rows();
}

void WritePackets(PacketFile& file, const std::vector<Bytes>& packets) {
  file.ResetFile(true);
  EXPECT_TRUE(file.CreateForWriting());
  for (const Bytes& p : packets) file.AppendPacket(p.data(), uint32_t(p.size()), nullptr, nullptr);
  file.CloseWriting();
}

ImportResult ImportBytes(const Bytes& file, Collector& c, size_t n, ReadProgress* progress) {
  MemorySource src(file.data(), n < file.size() ? n : file.size());
  return ImportCapture(src, c, progress);
}

CaptureRig::CaptureRig(const char* captureFilter) {
  options.CaptureFilter = captureFilter;
  table.local.v4 = Addr("10.0.0.5");
  table.dnsCache = engine.dnsCache = &cache;
  engine.notifier = &notifier;
  file.ResetFile(true);
  EXPECT_TRUE(file.CreateForWriting());
  engine.ResetCounters();
  engine.running = true;
  options.captureActive = 1;
}

size_t CaptureRig::StoredPackets() {
  file.CloseWriting();
  size_t n = 0;
  Bytes buf(kPacketBufferSize);
  PacketHeader h;
  if (file.OpenForReading())
    while (file.ReadNextPacket(buf.data(), h)) n++;
  file.CloseReading();
  return n;
}

void Collector::OnPacket(const uint8_t* p, int32_t n, const uint8_t* d, const uint8_t* s, FileTime t) {
  packets.emplace_back(p, p + n);
  times.push_back(t);
  macs.push_back((d ? 2 : 0) + (s ? 1 : 0));
  dst.emplace_back(d ? d : p, d ? d + 6 : p);
  src.emplace_back(s ? s : p, s ? s + 6 : p);
}

void Place(StreamBlock& b, uint32_t seq, const std::string& s) {
  PlacePayload(b, true, seq, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string ColumnOf(const Conversation& c, int id, const Options& o) {
  char buf[kColumnTextSize];
  ColumnContext ctx{o};
  return ColumnText(c, id, buf, ctx);
}

// Local start 2023-11-14 23:13:20.500: the fake zone's view of Unix time 1700000000.5.
const SystemTime kNetMonStart{2023, 11, 2, 14, 23, 13, 20, 500};

Bytes NetMonFile(uint8_t major, uint8_t minor, uint16_t media, const std::vector<NmFrame>& frames) {
  Bytes f(128, 0);
  memcpy(f.data(), major == 1 ? "RTSS" : "GMBU", 4);
  f[4] = minor;
  f[5] = major;
  StoreLe16(&f[6], media);
  const int start[8] = {kNetMonStart.year, kNetMonStart.month, kNetMonStart.dayOfWeek, kNetMonStart.day,
                        kNetMonStart.hour, kNetMonStart.minute, kNetMonStart.second, kNetMonStart.milliseconds};
  for (int i = 0; i < 8; i++) StoreLe16(&f[8 + 2 * i], uint16_t(start[i]));
  std::vector<uint32_t> table;
  for (const NmFrame& fr : frames) {
    table.push_back(uint32_t(f.size()));
    Bytes h(major == 1 ? 8 : 16, 0);
    if (major == 1) {
      StoreLe32(&h[0], uint32_t(fr.deltaUs / 1000));
      StoreLe16(&h[4], uint16_t(fr.data.size()));
      StoreLe16(&h[6], uint16_t(fr.data.size()));
    } else {
      StoreLe32(&h[0], uint32_t(fr.deltaUs));
      StoreLe32(&h[4], uint32_t(fr.deltaUs >> 32));
      StoreLe32(&h[8], uint32_t(fr.data.size()));
      StoreLe32(&h[12], uint32_t(fr.data.size()));
    }
    f.insert(f.end(), h.begin(), h.end());
    f.insert(f.end(), fr.data.begin(), fr.data.end());
    if (major == 2 && minor >= 1) {
      Bytes t(minor == 1 ? 2 : minor == 2 ? 6 : 15, 0);
      StoreLe16(&t[0], fr.media);
      if (minor >= 3) {
        StoreLe32(&t[6], uint32_t(fr.utc));
        StoreLe32(&t[10], uint32_t(fr.utc >> 32));
      }
      f.insert(f.end(), t.begin(), t.end());
    }
  }
  StoreLe32(&f[24], uint32_t(f.size()));
  StoreLe32(&f[28], uint32_t(table.size() * 4));
  for (uint32_t o : table) {
    f.resize(f.size() + 4);
    StoreLe32(&f[f.size() - 4], o);
  }
  return f;
}

Bytes MonitorFrame(const Bytes& ip, uint8_t flags) {
  Bytes f;
  f.reserve(64 + ip.size());
  f.resize(64);
  f[0] = 0x02;
  f[1] = 0x20;
  f[32] = 0x08;
  f[33] = flags;
  for (int i = 0; i < 6; i++) {
    f[36 + i] = uint8_t(0xD0 + i);  // first address
    f[48 + i] = uint8_t(0x50 + i);  // third address
  }
  f[56] = f[57] = 0xAA;
  f[58] = 0x03;
  f[62] = 0x08;
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

IpAddress V6(const char* text) {
  uint8_t b[16] = {};
  ParseIPv6(text, strlen(text), b);
  return IpAddress::V6(b);
}

Bytes AsIPv6(const Bytes& ip, const char* src, const char* dst,
             const std::vector<std::pair<uint8_t, Bytes>>& extensions) {
  const size_t ihl = size_t(ip[0] & 0x0F) * 4;
  Bytes chain;
  uint8_t first = ip[9];
  for (size_t i = extensions.size(); i-- > 0;) {
    Bytes h = extensions[i].second;
    h[0] = first;
    first = extensions[i].first;
    chain.insert(chain.begin(), h.begin(), h.end());
  }
  const size_t payload = chain.size() + ip.size() - ihl;
  Bytes p = {0x60, 0, 0, 0, uint8_t(payload >> 8), uint8_t(payload), first, 64};
  for (const IpAddress& a : {V6(src), V6(dst)}) p.insert(p.end(), a.bytes, a.bytes + 16);
  p.insert(p.end(), chain.begin(), chain.end());
  p.insert(p.end(), ip.begin() + long(ihl), ip.end());
  return p;
}

Bytes Ip6(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport, const std::string& data,
          uint32_t seq) {
  const Bytes ip = proto == 6 ? Tcp("0.0.0.0", "0.0.0.0", sport, dport, seq, data)
                              : WithPayload(proto, "0.0.0.0", "0.0.0.0", sport, dport, Bytes(data.begin(), data.end()));
  return AsIPv6(ip, src, dst);
}

Bytes Fragment(const Bytes& v6, uint32_t id, size_t from, size_t to) {
  if (v6[0] >> 4 == 4) {
    Bytes p(v6.begin(), v6.begin() + 20);
    p.insert(p.end(), v6.begin() + 20 + long(from), v6.begin() + 20 + long(to));
    const size_t field = from / 8 | (to < v6.size() - 20 ? 0x2000 : 0);
    for (size_t at : {2, 4, 6}) {
      const size_t v = at == 2 ? p.size() : at == 4 ? id : field;
      p[at] = uint8_t(v >> 8);
      p[at + 1] = uint8_t(v);
    }
    return p;
  }
  const uint32_t off = uint32_t(from | (to < v6.size() - 40 ? 1 : 0));
  Bytes p(v6.begin(), v6.begin() + 40);
  p.insert(p.end(), {v6[6], 0, uint8_t(off >> 8), uint8_t(off), uint8_t(id >> 24), uint8_t(id >> 16),
                     uint8_t(id >> 8), uint8_t(id)});
  p.insert(p.end(), v6.begin() + 40 + long(from), v6.begin() + 40 + long(to));
  p[4] = uint8_t((p.size() - 40) >> 8);
  p[5] = uint8_t(p.size() - 40);
  p[6] = 44;
  return p;
}

Conversation* Account(ConversationTable& table, const Bytes& p, FileTime time) {
  PacketHeader h;
  h.length = uint32_t(p.size());
  h.time = time;
  return table.UpdateConversation(p.data(), h);
}
