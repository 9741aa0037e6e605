// The native command-line pakrill: reports over capture files.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/options.h"
#include "app/report.h"
#include "app/strings.h"
#include "enrich/country_data.h"

#include <unistd.h>

static const char kUsage[] =
    "Usage: pakrill /stab OUT CAPTURE\n"
    "       pakrill /sextracthttp FOLDER CAPTURE\n"
    "       pakrill /sstreams FILE txt|html|raw|rawlocal|rawremote CAPTURE\n"
    "       pakrill /countrydb DATABASE /stab OUT CAPTURE\n"
    "\n"
    "Reads CAPTURE (a Pakrill packet file, classic pcap or pcapng, recognised by\n"
    "content), groups its IPv4 TCP, UDP and ICMP packets into conversations and\n"
    "writes one tab-delimited row per conversation to OUT. /sextracthttp writes\n"
    "every HTTP response body into FOLDER; /sstreams writes every conversation's\n"
    "content to FILE.\n"
    "\n"
    "The country columns come from DATABASE (IpToCountry.csv, GeoLiteCity.dat(.gz),\n"
    "GeoIP.dat or an .mmdb file), or else from the first of those next to pakrill.\n"
    "\n"
    "Exit codes: 0 done; 1 the capture or the output failed; 2 usage;\n"
    "3 the capture is damaged and the report holds the packets before the damage.\n";

int main(int argc, char** argv) {
  CountryData countries;
  bool haveCountries = false;
  const char* countryFile = nullptr;
  if (argc >= 3 && EqualNoCase(argv[1], "/countrydb")) {
    countryFile = argv[2];
    haveCountries = countries.LoadFile(countryFile);
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  } else {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
      const std::string path(exe, size_t(n));
      haveCountries = countries.LoadFromFolder(path.substr(0, path.find_last_of('/') + 1));
    }
  }
  if (countryFile && !haveCountries) {
    fprintf(stderr, "pakrill: %s: not a country database that can be read\n", countryFile);
    return 1;
  }
  if (argc < 2 || EqualNoCase(argv[1], "--help") || EqualNoCase(argv[1], "-h") ||
      EqualNoCase(argv[1], "/?")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  Options options;
  std::string message;
  if (EqualNoCase(argv[1], "/sextracthttp") || EqualNoCase(argv[1], "/sstreams")) {
    const bool extract = EqualNoCase(argv[1], "/sextracthttp");
    if (argc != (extract ? 4 : 5)) {
      fprintf(stderr, "pakrill: wrong arguments for %s\n\n%s", argv[1], kUsage);
      return 2;
    }
    const int rc = extract ? RunExtractHttp(options, argv[2], argv[3], message)
                           : RunExportStreams(options, argv[2], argv[3], argv[4], message);
    if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
    return rc;
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
  int rc = RunReport(options, format, argv[2], argv[3], message, haveCountries ? &countries : nullptr);
  if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
  return rc;
}
