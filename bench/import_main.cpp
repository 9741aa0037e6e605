// The window's import of a foreign capture, natively: frames through the
// pipeline into a temporary packet file, then the table rebuilt from it.
#include <cstdio>

#include "base/options.h"
#include "app/report.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_import CAPTURE\n");
    return 2;
  }
  Options options;
  PacketFile file;
  ConversationTable table(options, &file);
  const LoadOutcome r = LoadCaptureWithPackets(argv[1], table, file, options);
  printf("%zu conversations%s%s\n", table.count(), r.ok ? "" : ": ", r.message.c_str());
  return r.ok ? 0 : 1;
}
