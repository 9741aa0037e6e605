// Enrichment costs, side by side: country lookups by the CSV's sorted index
// against the scan of every row, mmdb lookups, and a table rebuilt with
// countries and process attribution on against off.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/byte_cursor.h"
#include "base/options.h"
#include "capture/conversation_table.h"
#include "enrich/country_csv.h"
#include "enrich/mmdb.h"
#include "enrich/process_attribution.h"
#include "geo_writers.h"
#include "packetfile/packet_file.h"

namespace {
void StoreBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i));
}
uint32_t HostToNet32(uint32_t v) {
  uint8_t b[4];
  StoreBe32(b, v);
  uint32_t n;
  memcpy(&n, b, 4);
  return n;
}

constexpr int kRows = 200000;
constexpr int kConversations = 200000;
const char* const kCodes[] = {"US", "DE", "FR", "JP", "BR", "CN", "GB", "IN", "CA", "AU"};

// Contiguous ranges of random widths over the whole address space, as the
// real list has them.
const CountryRangeTable& Csv() {
  static CountryRangeTable t = [] {
    std::mt19937 rng(1);
    std::string text = "# generated\n";
    uint64_t at = 1u << 24;
    for (int i = 0; i < kRows && at < 0xFF000000u; i++) {
      const uint64_t width = 256 + rng() % 40000;
      text += std::to_string(at) + "," + std::to_string(at + width - 1) + ",x,1," + kCodes[i % 10] + "\n";
      at += width;
    }
    CountryRangeTable t;
    t.Parse(text.data(), text.size());
    return t;
  }();
  return t;
}

std::vector<uint32_t> Addresses(size_t n) {
  std::mt19937 rng(2);
  std::vector<uint32_t> a(n);
  for (uint32_t& x : a) x = uint32_t(rng());
  return a;
}

// The scan is slow enough that a few hundred addresses make a round.
void CsvLookups(benchmark::State& state, bool indexed) {
  const CountryRangeTable& t = Csv();
  const std::vector<uint32_t> a = Addresses(indexed ? 100000 : 200);
  char text[64];
  int64_t n = 0;
  for (auto _ : state) {
    for (uint32_t x : a) benchmark::DoNotOptimize(indexed ? t.Lookup(x, text) : t.LookupLinear(x, text));
    n += int64_t(a.size());
  }
  state.SetItemsProcessed(n);
  state.counters["rows"] = double(t.rows().size());
}
void BM_CsvIndexed(benchmark::State& s) { CsvLookups(s, true); }
void BM_CsvLinearScan(benchmark::State& s) { CsvLookups(s, false); }

void BM_MmdbLookup(benchmark::State& state) {
  static MmdbDatabase db = [] {
    std::mt19937 rng(4);
    MmdbWriter w(6, 28);
    for (int i = 0; i < 50000; i++) {
      const Bytes v = mmdb::Map(mmdb::Fields{
          {"city", mmdb::Map(mmdb::Fields{{"names", mmdb::Map(mmdb::Fields{{"en", mmdb::Str("Springfield")}})}})},
          {"country", mmdb::Map(mmdb::Fields{{"iso_code", mmdb::Str(kCodes[i % 10])}})},
          {"postal", mmdb::Map(mmdb::Fields{{"code", mmdb::Str("12345")}})}});
      w.Add(uint32_t(rng()) & 0xFFFFFF00u, 24, v);
    }
    MmdbDatabase db;
    std::string error;
    db.Load(w.Build(), &error);
    return db;
  }();
  const std::vector<uint32_t> a = Addresses(100000);
  char text[64];
  int64_t n = 0, found = 0;
  for (auto _ : state) {
    for (uint32_t x : a) found += db.Lookup(x, text);
    n += int64_t(a.size());
  }
  state.SetItemsProcessed(n);
  state.counters["found_share"] = double(found) / double(n);
}

// A machine's endpoint tables: some connections of the capture among others.
class BenchTables : public SystemTables {
 public:
  BenchTables() {
    for (int i = 0; i < 120; i++) {
      EndpointEntry e;
      e.kind = 1;
      e.state = 5;
      e.localAddress = HostToNet32(0x0A000005);
      e.localPort = EndpointPortField(uint16_t(20000 + i * 7));
      e.remoteAddress = HostToNet32(0x08000000u + uint32_t(i) * 4099);
      e.remotePort = EndpointPortField(443);
      e.pid = 1000 + uint32_t(i % 9);
      entries.push_back(e);
    }
  }
  bool Supported() override { return true; }
  bool ReadEndpoints(std::vector<EndpointEntry>* out) override {
    *out = entries;
    return true;
  }
  void DescribeProcess(uint32_t pid, char (&path)[261], char (&user)[64]) override {
    snprintf(path, sizeof path, "C:\\Program Files\\App\\app%u.exe", pid);
    snprintf(user, sizeof user, "HOST\\user");
  }
  std::vector<EndpointEntry> entries;
};

// Two packets for each of 200 000 conversations between the local address
// and public addresses.
const std::vector<Bytes>& Packets() {
  static std::vector<Bytes> packets = [] {
    std::vector<Bytes> p;
    for (int i = 0; i < kConversations; i++) {
      const uint32_t remote = 0x08000000u + uint32_t(i) * 4099;
      const uint16_t port = uint16_t(20000 + (i % 40000) * 7 % 40000);
      Bytes b(20 + 20 + 40, 0);
      b[0] = 0x45;
      b[2] = uint8_t(b.size() >> 8), b[3] = uint8_t(b.size());
      b[8] = 64, b[9] = 6;
      StoreBe32(&b[12], 0x0A000005);
      StoreBe32(&b[16], remote);
      b[20] = uint8_t(port >> 8), b[21] = uint8_t(port), b[22] = 1, b[23] = 0xBB;
      b[32] = 0x50;
      p.push_back(b);
      Bytes r = b;
      StoreBe32(&r[12], remote);
      StoreBe32(&r[16], 0x0A000005);
      std::swap(r[20], r[22]);
      std::swap(r[21], r[23]);
      p.push_back(r);
    }
    return p;
  }();
  return packets;
}

class CsvCountries : public CountryLookup {
 public:
  void Lookup(uint32_t address, char (&text)[64]) override { Csv().Lookup(NetToHost32(address), text); }
};

void Rebuild(benchmark::State& state, bool enrich) {
  const std::vector<Bytes>& packets = Packets();
  Csv();
  Options o;
  o.ResolveIPAddr = 0;
  o.GetProcessInfo = enrich;
  BenchTables tables;
  CsvCountries countries;
  int64_t n = 0;
  size_t attributed = 0;
  for (auto _ : state) {
    ConversationTable t(o, nullptr);
    ProcessAttributor attributor(o, tables);
    t.local.v4 = HostToNet32(0x0A000005);
    if (enrich) {
      t.countries = &countries;
      t.processes = &attributor;
    }
    PacketHeader h;
    for (const Bytes& p : packets) {
      h.length = uint32_t(p.size());
      t.UpdateConversation(p.data(), h);
    }
    attributed = 0;
    for (size_t i = 0; i < t.count(); i++) attributed += t.at(i).processIndex >= 0;
    n += int64_t(t.count());
  }
  state.SetItemsProcessed(n);
  state.counters["attributed"] = double(attributed);
}
void BM_RebuildPlain(benchmark::State& s) { Rebuild(s, false); }
void BM_RebuildEnriched(benchmark::State& s) { Rebuild(s, true); }

}  // namespace

BENCHMARK(BM_CsvIndexed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvLinearScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MmdbLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildEnriched)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
