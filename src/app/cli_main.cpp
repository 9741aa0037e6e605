// The native command-line pakrill: reports over capture files.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "base/options.h"
#include "app/report.h"
#include "base/strings.h"
#include "enrich/country_data.h"
#include "base/language.h"

static const char kUsage[] =
    "Usage: pakrill /stext|/stab|/stabular|/shtml|/sverhtml|/sxml OUT CAPTURE [options]\n"
    "       pakrill /sconvert OUT.pcap|OUT.pcapng CAPTURE [options]\n"
    "       pakrill /sextracthttp FOLDER CAPTURE\n"
    "       pakrill /sstreams FILE txt|html|raw|rawlocal|rawremote CAPTURE\n"
    "       pakrill /countrydb DATABASE /stab OUT CAPTURE\n"
    "\n"
    "Reads CAPTURE (a Pakrill packet file, classic pcap or pcapng, recognised by\n"
    "content), groups its IPv4 and IPv6 TCP, UDP and ICMP packets into conversations and\n"
    "writes one row per conversation to OUT: /stext as text, /stab tab-delimited,\n"
    "/stabular in fixed-width columns, /shtml and /sverhtml as HTML tables,\n"
    "/sxml as XML. /sconvert writes the packets as a pcap or pcapng file.\n"
    "/sextracthttp writes every HTTP response body into FOLDER; /sstreams writes\n"
    "every conversation's content to FILE.\n"
    "\n"
    "Options: /LoadConfig FILE reads that configuration after pakrill.cfg next to\n"
    "the program; /noloadsettings reads none.\n"
    "\n"
    "The country columns come from DATABASE (IpToCountry.csv, GeoLiteCity.dat(.gz),\n"
    "GeoIP.dat or an .mmdb file), or else from the first of those next to pakrill.\n"
    "\n"
    "Exit codes: 0 done; 1 the capture could not be read; 2 usage;\n"
    "3 the capture is damaged and the report holds the packets before the damage;\n"
    "4 a file could not be written (each is named, with the system's reason).\n";

static std::string ExecutablePath(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return argv0;
  path[n] = 0;
  return path;
}

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
    const std::string path = ExecutablePath(argv[0]);
    haveCountries = countries.LoadFromFolder(path.substr(0, path.find_last_of('/') + 1));
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
  const std::string exe = ExecutablePath(argv[0]);
  LoadLanguageFile(LanguageFilePathFor(exe));
  Options options;
  std::string message;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (EqualNoCase(argv[1], "/sextracthttp") || EqualNoCase(argv[1], "/sstreams")) {
    const bool extract = EqualNoCase(argv[1], "/sextracthttp");
    const std::vector<std::string> a = PlainArguments(args, 1);
    if (a.size() != (extract ? 2u : 3u)) {
      fprintf(stderr, "pakrill: wrong arguments for %s\n\n%s", argv[1], kUsage);
      return 2;
    }
    const int rc = !LoadReportSettings(args, DefaultConfigPath(exe), options, message) ? kExitFailure
                   : extract ? RunExtractHttp(options, a[0].c_str(), a[1].c_str(), message)
                             : RunExportStreams(options, a[0].c_str(), a[1].c_str(), a[2].c_str(), message);
    if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
    return rc;
  }
  if (!ReportFormatOfSwitch(argv[1]) && !EqualNoCase(argv[1], "/sconvert")) {
    fprintf(stderr, "pakrill: %s: unknown switch\n\n%s", argv[1], kUsage);
    return 2;
  }
  const int rc = RunReportCommand(args, DefaultConfigPath(exe), message, haveCountries ? &countries : nullptr);
  if (!message.empty()) fprintf(stderr, "pakrill: %s\n%s", message.c_str(), rc == kExitUsage ? "\n" : "");
  if (rc == kExitUsage) fputs(kUsage, stderr);
  return rc;
}
