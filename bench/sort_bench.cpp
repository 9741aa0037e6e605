// Sorting the list's rows by one column, on 250 000 generated conversations.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "app/list_tools.h"
#include "base/options.h"
#include "base/strings.h"

namespace {

constexpr size_t kRows = 250000;

AddressBook book;

const std::vector<Conversation>& Rows() {
  static std::vector<Conversation> rows = [] {
    std::vector<Conversation> v(kRows);
    std::mt19937 rng(15);
    for (size_t i = 0; i < kRows; i++) {
      Conversation& c = v[i];
      c.index = uint32_t(i + 1);
      c.protocol = rng() % 3 == 0 ? kProtoUdp : kProtoTcp;
      c.localAddress = 0x0100007F;
      c.remoteAddress = uint32_t(rng());
      c.localPort = uint16_t(1024 + rng() % 60000);
      c.remotePort = uint16_t(rng() % 4 ? 443 : rng());
      c.packets = rng() % 100000;
      c.outPackets = c.packets / 2;
      c.dataSize = rng() % 100000000;
      c.totalSize = c.dataSize + c.packets * 40;
      c.firstTime = 133000000000000000ULL + rng() % 864000000000ULL;
      c.lastTime = c.firstTime + rng() % 36000000000ULL;
      c.speed = double(rng() % 100000) / 10;
      c.speedValid = 1;
      for (int k = 0; k < 6; k++) c.remoteMac[k] = uint8_t(rng());
      char text[64];
      c.remoteEntry = book.Intern(c.remoteAddress);
      snprintf(text, sizeof text, "host%u.example.test", unsigned(rng() % 50000));
      book.SetName(c.remoteEntry, text);
      snprintf(text, sizeof text, "Country %u", unsigned(rng() % 200));
      book.SetCountry(c.remoteEntry, text);
    }
    return v;
  }();
  return rows;
}

void BM_SortByColumn(benchmark::State& state) {
  Options o;
  ColumnContext ctx{o, nullptr, &book};
  std::vector<const Conversation*> ptrs;
  for (const Conversation& c : Rows()) ptrs.push_back(&c);
  const std::vector<int> keys{int(state.range(0)) | (state.range(1) ? kSortDescending : 0)};
  for (auto _ : state) benchmark::DoNotOptimize(SortOrder(ptrs, keys, ctx));
  state.SetLabel(GetBuiltinString(ColumnById(int(state.range(0))).titleString));
}

}  // namespace

BENCHMARK(BM_SortByColumn)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kColumnCount - 1, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK_MAIN();
