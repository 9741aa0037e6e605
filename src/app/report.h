// Command-line reports over a capture file, without a window.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "base/options.h"
#include "capture/conversation_table.h"
#include "app/import.h"
#include "packetfile/packet_file.h"

// The options of report mode: the default configuration file unless
// `/noloadsettings` is given, then the file after `/LoadConfig`. Nothing is
// written back. False (and why in `message`) when the file after
// `/LoadConfig` cannot be read.
bool LoadReportSettings(const std::vector<std::string>& args, const std::string& defaultConfig, Options& o,
                        std::string& message);

// Report switch to summary format; 0 when `arg` is none.
int ReportFormatOfSwitch(const char* arg);

struct LoadOutcome {
  bool ok = false;       // the table holds what the file gave
  bool damaged = false;  // reading stopped early; earlier packets are kept
  bool writeFailed = false;  // the temporary packet file could not be written (!ok)
  bool cancelled = false;  // the progress stopped the import; earlier packets are kept
  std::string message;   // the reason when !ok, or the damage
};

// Accounts the frames that `import` hands over straight to `table`, as the
// report switches do, with names from the DNS answers among them.
ImportResult ImportForReport(ConversationTable& table, const Options& options,
                             const std::function<ImportResult(PacketSniffer&)>& import);

// Builds `table` from an own packet file (in place) or a pcap/pcapng file.
// A foreign file gets no local address, as a fresh import would.
LoadOutcome LoadCaptureForReport(const char* path, ConversationTable& table, PacketFile& file,
                                 const Options& options, ReadProgress* progress = nullptr);

// As LoadCaptureForReport, but a foreign file is imported into a temporary
// packet file first, so that conversations' content can be loaded.
// `progress` hears of the import (which it may stop) and then of the rebuild.
// `library`, when given, reads pcap and pcapng files before the core reader.
LoadOutcome LoadCaptureWithPackets(const char* path, ConversationTable& table, PacketFile& file,
                                   const Options& options, ReadProgress* progress = nullptr,
                                   LibraryImporter library = nullptr);

// `/sextracthttp FOLDER CAPTURE`: every HTTP response body into FOLDER.
int RunExtractHttp(const Options& options, const char* folder, const char* capturePath, std::string& message);
// `/sstreams FILE FORMAT CAPTURE` with FORMAT txt, html, raw, rawlocal or rawremote.
int RunExportStreams(const Options& options, const char* outPath, const char* format, const char* capturePath,
                     std::string& message);

// Runs `/switch OUT CAPTURE`; returns the process exit code and writes
// messages for the user to `message`.
// `countries`, when given, fills the country columns.
int RunReport(const Options& options, int format, const char* outPath, const char* capturePath,
              std::string& message, CountryLookup* countries = nullptr);

// `/sconvert OUT CAPTURE`: the packets of CAPTURE as pcap, or pcapng when
// OUT ends in ".pcapng".
int RunConvert(const Options& options, const char* outPath, const char* capturePath, std::string& message);

// A summary report or conversion from the command line: `/stext`, `/stab`,
// `/stabular`, `/shtml`, `/sverhtml`, `/sxml` or `/sconvert`, then OUT and
// CAPTURE, then any of `/LoadConfig FILE` and `/noloadsettings`. The same in
// both programs.
int RunReportCommand(const std::vector<std::string>& args, const std::string& defaultConfig, std::string& message,
                     CountryLookup* countries = nullptr);

// Exit codes of the report mode.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDamaged = 3;  // report written from the packets before the damage
constexpr int kExitWriteFailed = 4;  // a file could not be written (a full disk, say)
