// Time of TCP segments that each move a block's start back (issue 14): the
// placement keeps room at the front, so the time grows linearly with the
// segment count. BM_PrependByCopy is the former way, one copy of the whole
// block per segment, for comparison. `--benchmark_filter=Prepend` runs them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "stream/stream_loader.h"

namespace {

constexpr size_t kSegment = 1000;

// Segments of one stream sent last first: every byte is real data.
void BM_PrependSegments(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  const std::string seg(kSegment, 'p');
  for (auto _ : state) {
    StreamBlock block;
    for (uint32_t k = 0; k < n; k++)
      PlacePayload(block, true, 0x40000000u - k * uint32_t(kSegment), reinterpret_cast<const uint8_t*>(seg.data()),
                   seg.size());
    benchmark::DoNotOptimize(block.bytes.data());
    if (block.bytes.length() != n * kSegment) state.SkipWithError("bytes lost");
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(int64_t(state.iterations()) * n * int64_t(kSegment));
}

void BM_PrependByCopy(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  const std::string seg(kSegment, 'p');
  for (auto _ : state) {
    std::vector<uint8_t> block;
    for (uint32_t k = 0; k < n; k++) block.insert(block.begin(), seg.begin(), seg.end());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(BM_PrependSegments)->RangeMultiplier(2)->Range(1000, 32000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_PrependByCopy)->RangeMultiplier(2)->Range(1000, 8000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK_MAIN();
