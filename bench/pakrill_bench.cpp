// Rebuild throughput of the conversation table and the load of one
// conversation's content, each side by side with the plain read of the same
// bytes. PAKRILL_BENCH_PKP names the packet file.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <new>

#include "base/options.h"
#include "capture/conversation_table.h"
#include "packetfile/packet_file.h"
#include "stream/stream_loader.h"

static std::atomic<uint64_t> g_allocations{0};
void* operator new(size_t n) {
  g_allocations++;
  if (void* p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }  // NOLINT
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

const char* File() {
  const char* f = getenv("PAKRILL_BENCH_PKP");
  return f ? f : "bench/out/capture.pkp";
}

uint64_t CountPackets() {
  PacketFile f;
  f.SetName(File());
  static uint8_t buf[kPacketBufferSize];
  uint64_t n = 0;
  PacketHeader h;
  if (f.OpenForReading())
    while (f.ReadNextPacket(buf, h)) n++;
  return n;
}

// The table takes the capturing adapter's address from the file's header.
void ReadLocalAddress(PacketFile& f, ConversationTable& t) {
  f.OpenForReading();
  t.local.v4 = f.headerAddress;
  f.CloseReading();
}

// A table rebuilt from a packet file, without name resolution.
struct RebuiltTable {
  Options o;
  PacketFile f;
  ConversationTable t{o, &f};
  explicit RebuiltTable(const std::string& path) {
    o.ResolveIPAddr = 0;
    f.SetName(path.c_str());
    ReadLocalAddress(f, t);
    t.RebuildFromFile();
  }
};

// Reading the records only: the floor under any rebuild.
void BM_ReadPacketFile(benchmark::State& state) {
  uint64_t n = 0;
  for (auto _ : state) n += CountPackets();
  state.SetItemsProcessed(int64_t(n));
}

void BM_RebuildFromFile(benchmark::State& state) {
  Options o;
  o.ResolveIPAddr = 0;
  PacketFile f;
  f.SetName(File());
  uint64_t packets = 0, conversations = 0, allocs = 0;
  const uint64_t perRun = CountPackets();
  for (auto _ : state) {
    ConversationTable t(o, &f);
    ReadLocalAddress(f, t);
    const uint64_t before = g_allocations;
    t.RebuildFromFile();
    allocs += g_allocations - before;
    conversations = t.count();
    packets += perRun;
  }
  state.SetItemsProcessed(int64_t(packets));
  state.counters["conversations"] = double(conversations);
  state.counters["allocs_per_packet"] = double(allocs) / double(packets);
}

// The per-packet lookup with the full table, by hash index or by scan.
void Lookups(benchmark::State& state, bool index) {
  RebuiltTable r(File());
  PacketFile& f = r.f;
  ConversationTable& t = r.t;
  t.SetUseIndex(index);
  // Packets spread evenly over the file, so the scan meets early and late
  // conversations alike.
  const uint64_t kSample = index ? 200000 : 2000;
  const uint64_t stride = CountPackets() / kSample + 1;
  std::vector<DecodedPacket> sample;
  {
    static uint8_t buf[kPacketBufferSize];
    PacketHeader h;
    f.OpenForReading();
    for (uint64_t i = 0; f.ReadNextPacket(buf, h); i++) {
      DecodedPacket d;
      if (i % stride == 0 &&
          DecodePacket(buf, int32_t(h.length), d, t.local.v4, true, nullptr, nullptr))
        sample.push_back(d);
    }
    f.CloseReading();
  }
  int64_t n = 0;
  for (auto _ : state) {
    for (const DecodedPacket& d : sample) benchmark::DoNotOptimize(t.FindConversation(d));
    n += int64_t(sample.size());
  }
  state.SetItemsProcessed(n);
  state.counters["conversations"] = double(t.count());
}
void BM_LookupIndexed(benchmark::State& s) { Lookups(s, true); }
void BM_LookupLinearScan(benchmark::State& s) { Lookups(s, false); }

// Loading one small conversation's content: the record index against the
// full scan of the packet file.
struct NullSink : BlockSink {
  size_t bytes = 0;
  void OnBlock(const StreamBlock& b) override { bytes += b.bytes.length(); }
};
void LoadOne(benchmark::State& state, bool index) {
  RebuiltTable r(File());
  PacketFile& f = r.f;
  ConversationTable& t = r.t;
  const Conversation& c = t.at(t.count() / 2);
  NullSink sink;
  for (auto _ : state) LoadStream(f, c, sink, false, index ? &t : nullptr);
  state.counters["conversation_packets"] = double(c.packets);
}
void BM_LoadConversationIndexed(benchmark::State& s) { LoadOne(s, true); }
void BM_LoadConversationFullScan(benchmark::State& s) { LoadOne(s, false); }

// Reassembly of the one large download against reading the same records:
// FILE.large holds them alone (written by bench_gen).
std::string LargeFile() { return std::string(File()) + ".large"; }
uint64_t FileSize(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  fseek(f, 0, SEEK_END);
  const long n = ftell(f);
  fclose(f);
  return n > 0 ? uint64_t(n) : 0;
}

void BM_ReadLargeRecordsLikeCat(benchmark::State& state) {
  const std::string path = LargeFile();
  std::vector<char> buf(128 << 10);
  for (auto _ : state) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return state.SkipWithError("no .large file: run bench_gen with LARGE_MB");
    while (fread(buf.data(), 1, buf.size(), f) > 0) benchmark::ClobberMemory();
    fclose(f);
  }
  state.SetBytesProcessed(int64_t(FileSize(path) * state.iterations()));
}

void Reassemble(benchmark::State& state, bool fromLargeOnly) {
  RebuiltTable r(fromLargeOnly ? LargeFile() : File());
  PacketFile& f = r.f;
  ConversationTable& t = r.t;
  const Conversation* large = nullptr;
  for (size_t i = 0; i < t.count(); i++)
    if (!large || t.at(i).dataSize > large->dataSize) large = &t.at(i);
  if (!large) return state.SkipWithError("no conversation");
  NullSink sink;
  for (auto _ : state) LoadStream(f, *large, sink, false, &t);
  state.SetBytesProcessed(int64_t(FileSize(LargeFile()) * state.iterations()));
  state.counters["payload_MB"] = double(sink.bytes) / double(state.iterations()) / 1048576.0;
}
void BM_ReassembleLargeIndexed(benchmark::State& s) { Reassemble(s, false); }
void BM_ReassembleLargeAlone(benchmark::State& s) { Reassemble(s, true); }

}  // namespace

BENCHMARK(BM_LoadConversationIndexed)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK(BM_LoadConversationFullScan)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ReadLargeRecordsLikeCat)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReassembleLargeIndexed)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReassembleLargeAlone)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadPacketFile)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_RebuildFromFile)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();  // two threads
BENCHMARK(BM_LookupIndexed)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LookupLinearScan)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_MAIN();
