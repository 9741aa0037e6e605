// The native command-line pakrill: reports over capture files.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/options.h"
#include "app/report.h"
#include "app/strings.h"

static const char kUsage[] =
    "Usage: pakrill /stab OUT CAPTURE\n"
    "\n"
    "Reads CAPTURE (a Pakrill packet file, classic pcap or pcapng, recognised by\n"
    "content), groups its IPv4 TCP, UDP and ICMP packets into conversations and\n"
    "writes one tab-delimited row per conversation to OUT.\n"
    "\n"
    "Exit codes: 0 done; 1 the capture or the output failed; 2 usage;\n"
    "3 the capture is damaged and the report holds the packets before the damage.\n";

int main(int argc, char** argv) {
  if (argc < 2 || EqualNoCase(argv[1], "--help") || EqualNoCase(argv[1], "-h") ||
      EqualNoCase(argv[1], "/?")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const int format = ReportFormatOfSwitch(argv[1]);
  if (format != 2) {
    fprintf(stderr, "pakrill: %s: %s\n\n%s", argv[1],
            format ? "this report format is not available yet" : "unknown switch", kUsage);
    return 2;
  }
  if (argc != 4) {
    fprintf(stderr, "pakrill: %s needs an output file and a capture file\n\n%s", argv[1], kUsage);
    return 2;
  }
  Options options;
  std::string message;
  int rc = RunReport(options, format, argv[2], argv[3], message);
  if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
  return rc;
}
