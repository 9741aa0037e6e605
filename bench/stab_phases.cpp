// `/stab` in its two phases, timed apart: reading and accounting the
// capture, then writing the rows. The first grows with the packets and the
// table's size, the second with the rows alone.
#include <chrono>
#include <cstdio>

#include "app/report.h"
#include "base/options.h"
#include "export/summary_export.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bench_stab_phases REPORT CAPTURE\n");
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  const auto secs = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  const Clock::time_point t0 = Clock::now();
  const LoadOutcome load = LoadCaptureForReport(argv[2], table, file, options);
  const Clock::time_point t1 = Clock::now();
  if (!load.ok) {
    fprintf(stderr, "%s: %s\n", argv[2], load.message.c_str());
    return 1;
  }
  ColumnContext ctx{options, nullptr, &table.addresses()};
  std::string error;
  const bool written = WriteSummaryFile(
      argv[1], 2, table.count(), [&](size_t i) -> const Conversation& { return table.at(i); },
      ExportColumnsOf(options), ctx, options.AddExportHeaderLine != 0, &error);
  const Clock::time_point t2 = Clock::now();
  if (!written) {
    fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  printf("%.4f %.4f %zu\n", secs(t0, t1), secs(t1, t2), table.count());
  return 0;
}
