// One libFuzzer entry per reader of outside data; PAKRILL_FUZZ_TARGET picks it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>
#include <unistd.h>

#include "app/config.h"
#include "app/report.h"
#include "base/language.h"
#include "base/services.h"
#include "base/strings.h"
#include "export/summary_export.h"
#include "capture/capture_engine.h"
#include "capture/tls.h"
#include "stream/http.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"
#include "enrich/country_csv.h"
#include "enrich/geo_legacy.h"
#include "enrich/mmdb.h"

namespace {

// Accounts whatever the readers deliver, so their output is exercised too.
struct TableSink : PacketSniffer {
  Options options;
  ConversationTable table{options, nullptr};
  DnsNameCache cache;
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src, FileTime t) override {
    LearnDnsAnswers(p, n, cache);
    PacketHeader h;
    h.length = uint32_t(n);
    h.time = t;
    table.UpdateConversation(p, h);
  }
};

// The input as a file, removed again when the run of one input ends.
struct [[maybe_unused]] TempInput {
  TempInput(const uint8_t* data, size_t size, const char* suffix)
      : path(std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/pakrill-fuzz-" + std::to_string(getpid()) +
             suffix) {
    if (FILE* f = fopen(path.c_str(), "wb")) {
      fwrite(data, 1, size, f);
      fclose(f);
    }
  }
  ~TempInput() { remove(path.c_str()); }
  const std::string path;
};

// Each piece of the input behind a two-byte length, as a heap copy of its
// exact size so that ASan sees any read past it.
template <class F>
[[maybe_unused]] void ForEachPiece(const uint8_t* data, size_t size, F f) {
  for (size_t pos = 0; pos + 2 <= size;) {
    const size_t n = size_t(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    const std::string piece(reinterpret_cast<const char*>(data + pos), n < size - pos ? n : size - pos);
    f(reinterpret_cast<const uint8_t*>(piece.data()), int32_t(piece.size()));
    pos += piece.size();
  }
}

// Addresses that walk the whole tree: fixed ones and some from the input.
template <class Db>
void LookupSome(const Db& db, const uint8_t* data, size_t size) {
  char text[64];
  const uint32_t fixed[] = {0, 0x08080808, 0x7F000001, 0xC0A80001, 0xFFFFFFFF};
  for (uint32_t a : fixed) db.Lookup(a, text);
  for (size_t i = 0; i + 4 <= size && i < 64; i += 4)
    db.Lookup(uint32_t(data[i]) << 24 | uint32_t(data[i + 1]) << 16 | uint32_t(data[i + 2]) << 8 | data[i + 3], text);
  uint8_t v6[16] = {};
  db.Lookup6(v6, text);
  v6[15] = 1;
  db.Lookup6(v6, text);  // ::1
  memset(v6, 0xFF, 16);
  db.Lookup6(v6, text);
  for (size_t i = 0; i + 16 <= size && i < 128; i += 16) {
    memcpy(v6, data + i, 16);
    db.Lookup6(v6, text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(FUZZ_CAPTURE_READER) || defined(FUZZ_NETMON)
#ifdef FUZZ_NETMON
  // Network Monitor files only: the reader seeks, so offsets are fuzzed too.
  if (size < 4 || (memcmp(data, "GMBU", 4) && memcmp(data, "RTSS", 4))) return 0;
#endif
  TableSink sink;
  MemorySource src(data, size);
  ImportCapture(src, sink);
#elif defined(FUZZ_PACKET_FILE)
  const TempInput input(data, size, ".pkp");
  static uint8_t buf[kPacketBufferSize];
  Options o;
  PacketFile pf;
  pf.SetName(input.path.c_str());
  ConversationTable table(o, &pf);
  if (pf.OpenForReading()) {
    table.local.v4 = pf.headerAddress;
    table.local.v6 = pf.headerAddresses6;
    PacketHeader h;
    while (pf.ReadNextPacket(buf, h)) table.UpdateConversation(buf, h);
    pf.CloseReading();
  }
#elif defined(FUZZ_FRAME)
  if (size < 1) return 0;
  static const uint32_t kTypes[] = {0, 1, 12, 14, 101, 105, 108, 113, 127, 228, 276, kLinkNetMon};
  TableSink sink;
  // A heap copy of the exact size lets ASan see any read past the frame.
  std::string frame(reinterpret_cast<const char*>(data + 1), size - 1);
  HandleLinkFrame(sink, kTypes[data[0] % 12], reinterpret_cast<const uint8_t*>(frame.data()),
                  uint32_t(frame.size()), 1);
#elif defined(FUZZ_DECODE)
  DecodedPacket c;
  DecodePacket(data, int32_t(size), c, 0x0100007F, true, nullptr, nullptr);
  DnsNameCache cache;
  LearnDnsAnswers(data, int32_t(size), cache);
  // Then as packets behind two-byte lengths through one table, so that
  // fragments meet their first (or a forged one).
  TableSink sink;
  sink.table.local.v6.push_back(IpAddress::V6(reinterpret_cast<const uint8_t*>("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1")));
  ForEachPiece(data, size, [&](const uint8_t* p, int32_t n) { sink.OnPacket(p, n, nullptr, nullptr, 1); });
#elif defined(FUZZ_DNS)
  DnsAddressRecord recs[16];
  ParseDnsAddressRecords(data, size, recs, 16);
#elif defined(FUZZ_TLS)
  // The bytes as one hello, then as TCP packets of one learner, each behind
  // a two-byte length.
  char name[kDnsNameMax + 1];
  ParseClientHelloName(data, size, name);
  TlsNameLearner learner;
  DnsNameCache cache;
  ForEachPiece(data, size, [&](const uint8_t* p, int32_t n) { learner.Learn(p, n, cache); });
#elif defined(FUZZ_SERVICES)
  ServiceTable table;
  table.Parse(reinterpret_cast<const char*>(data), size);
  for (uint32_t port = 0; port < 65536; port += 257)
    if (const char* name = table.Name(uint16_t(port))) (void)strlen(name);
#elif defined(FUZZ_FILTER)
  std::string text(reinterpret_cast<const char*>(data), size);
  FilterRuleList list;
  ParseFilter(text.c_str(), list);
  MatchFilter(list, 6, 80, 1025, 0x0A000001, 0xC0A80001);
  MatchFilter(list, 1, 0, 0, 0x7F000001, 0x7F000001);
  const uint8_t doc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};
  const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  MatchFilter(list, 6, 80, 1025, IpAddress::V6(doc), IpAddress::V6(loopback));
#elif defined(FUZZ_CONFIG)
  IniDocument doc;
  doc.Parse(std::string(reinterpret_cast<const char*>(data), size));
  Options o;
  SettingsStore reader(doc, false);
  ReadWriteAll(reader, o);
  SettingsStore writer(doc, true);
  ReadWriteAll(writer, o);
  doc.Serialize();
#elif defined(FUZZ_BINARY)
  // A hexadecimal value as the configuration stores filters, WinPos and Columns.
  IniDocument doc;
  doc.Set("General", "CaptureFilter", std::string(reinterpret_cast<const char*>(data), size));
  SettingsStore reader(doc, false);
  uint8_t small[44];
  reader.Binary("CaptureFilter", small, sizeof small);
  std::vector<uint8_t> big(kMaxFilterText);
  reader.Binary("CaptureFilter", big.data(), big.size());
#elif defined(FUZZ_LANGUAGE)
  const TempInput input(data, size, "_lng.ini");
  if (LoadLanguageFile(input.path)) {
    for (int id : {4, 8, 501, 1001, 1002, 1013, 70000}) GetString(id);
    std::string v, html;
    LanguageLookup("menu_102", "70001", &v);
    LanguageLookup("dialog_108", "caption", &v);
    AppendFileHeader(html, kFormatHtmlHorizontal, DefaultExportColumns(), false);
    AppendFileFooter(html, kFormatHtmlHorizontal);
    ForgetLanguageFile();
  }
#elif defined(FUZZ_STREAM)
  // Packets behind two-byte lengths stored as a packet file, its table
  // rebuilt from it, and the first conversations loaded as a stream export
  // loads them: by their record index, and by reading the whole file.
  const TempInput input(data, 0, ".pkp");
  Options o;
  PacketFile pf;
  pf.SetName(input.path.c_str());
  if (!pf.CreateForWriting()) return 0;
  ForEachPiece(data, size, [&](const uint8_t* p, int32_t n) { pf.AppendPacket(p, uint32_t(n), nullptr, nullptr); });
  pf.CloseWriting();
  ConversationTable table(o, &pf);
  if (!table.RebuildFromFile()) return 0;
  struct Blocks : BlockSink {
    void OnBlock(const StreamBlock&) override {}
  } blocks;
  for (size_t i = 0; i < table.count() && i < 8; i++) {
    LoadStream(pf, table.at(i), blocks, false, &table);
    LoadStream(pf, table.at(i), blocks, false);
  }
  pf.ResetFile(true);
#elif defined(FUZZ_DETECT)
  // Whatever a user opens: recognised by content, then read as what it is.
  const TempInput input(data, size, ".cap");
  Options o;
  PacketFile pf;
  ConversationTable table(o, &pf);
  LoadCaptureForReport(input.path.c_str(), table, pf, o);
#elif defined(FUZZ_PLACEMENT)
  // Segments: u32 sequence number, u8 length, that many bytes.
  StreamBlock block;
  size_t pos = 0;
  while (pos + 5 <= size) {
    uint32_t seq = uint32_t(data[pos]) << 24 | uint32_t(data[pos + 1]) << 16 | uint32_t(data[pos + 2]) << 8 | data[pos + 3];
    size_t n = data[pos + 4];
    pos += 5;
    if (n > size - pos) n = size - pos;
    PlacePayload(block, true, seq, data + pos, n);
    pos += n;
  }
  // The block as a file gets it: rendered in parts, and extracted (into a
  // folder that does not exist, so every body takes the failure path).
  struct NullSink : PieceSink {
    void Emit(const char*, size_t, bool, uint32_t) override {}
  } sink;
  Options o;
  o.DisplayMode = 3;  // the costliest rendering
  // Rendering is linear but slow under the fuzzer's instrumentation (0.4 s
  // for a 4 MiB block): 1 MiB of the block keeps a run within the second.
  StreamBlock shown;
  shown.direction = 1;
  shown.bytes.Set(block.bytes.data(), block.bytes.length() < (1u << 20) ? block.bytes.length() : (1u << 20));
  FormatBlock(shown, FormatterSettings{o, true, false}, sink);
  HttpExtractor extractor("/nonexistent/pakrill-fuzz");
  const std::string request = "GET /index.html HTTP/1.1\r\n\r\n";
  extractor.OnBlock(reinterpret_cast<const uint8_t*>(request.data()), request.size());
  extractor.OnBlock(block.bytes.data(), block.bytes.length());
#elif defined(FUZZ_HTTP)
  std::string block(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  std::string url, decoded, name;
  while (pos < block.size() && UrlListEntry(block.c_str(), &pos, &url)) {
  }
  HttpResponseDecoder(data, size, &decoded, true);
  DechunkBody(data, size, &decoded);
  HttpFileName(block.c_str(), &name);
#elif defined(FUZZ_GEO_LEGACY)
  LegacyGeoDatabase db;
  if (db.Load(std::vector<uint8_t>(data, data + size))) LookupSome(db, data, size);
#elif defined(FUZZ_MMDB)
  MmdbDatabase db;
  std::string error;
  if (db.Load(std::vector<uint8_t>(data, data + size), &error)) LookupSome(db, data, size);
#elif defined(FUZZ_COUNTRY_CSV)
  // A heap copy of the exact size lets ASan see any read past the text.
  std::vector<char> text(data, data + size);
  CountryRangeTable t;
  t.Parse(text.data(), text.size());
  // The index must answer as the scan does. The scan costs the whole table
  // per address: a sample of at most 256 rows keeps a run linear.
  const std::vector<CountryRange>& rows = t.rows();
  for (size_t i = 0; i < rows.size(); i += rows.size() / 256 + 1)
    for (uint32_t a : {rows[i].first, rows[i].last, rows[i].first - 1, rows[i].last + 1}) {
      char x[64], y[64];
      if (t.Lookup(a, x) != t.LookupLinear(a, y) || strcmp(x, y) != 0) __builtin_trap();
    }
#else
#error "no fuzz target selected"
#endif
  return 0;
}
