#include "app/report.h"


#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "app/command_line.h"
#include "app/config.h"
#include "base/strings.h"
#include "capture/capture_engine.h"
#include "capture/dns.h"
#include "export/summary_export.h"
#include "packetfile/capture_writer.h"
#include "app/import.h"
#include "base/raw_file.h"
#include "stream/http.h"
#include "stream/stream_export.h"
#include "stream/stream_loader.h"

#ifdef _WIN32
#include <direct.h>
#define MAKE_DIR(p) _mkdir(p)
#else
#include <sys/stat.h>
#define MAKE_DIR(p) mkdir(p, 0755)
#endif

namespace {

// Accounts imported packets straight to the table: the same conversations
// as storing them in a packet file and rebuilding from it, without the copy.
// The import's thread reads, decodes and learns names; a second thread
// accounts the decoded packets in batches, its lookups in groups that
// overlap their misses. The table meets no name before the end, when every
// address takes the first name the capture gave it, as accounting them in
// one thread would have it too (the cache keeps an address's first name).
class DirectSink : public PacketSniffer {
 public:
  DirectSink(ConversationTable& t, const Options& o, DnsNameCache& cache) : options_(o), cache_(cache), feeder_(t) {}
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src,
                FileTime time) override {
    if (options_.UseDnsQueriesForHostNames && n > 0 && (options_.CaptureIPv6 || (p[0] >> 4) != 6)) {
      LearnDnsAnswers(p, n, cache_);
      tls_.Learn(p, n, cache_);
    }
    if (n <= 0) return;
    if (uint32_t(n) > kMaxPacketLength) n = int32_t(kMaxPacketLength);  // kept cut, as the capture keeps it
    // Saturated as the packet file would store it.
    const FileTime t = time ? time : GetPlatform().LocalFileTimeNow();
    feeder_.Add(p, n, dst, src, t < kMaxFileTime ? t : kMaxFileTime);
  }
  // The table is complete on return.
  void Finish() { feeder_.Finish(); }

 private:
  const Options& options_;
  DnsNameCache& cache_;
  TlsNameLearner tls_;
  ConversationTable::Feeder feeder_;
};

// The table's name cache while its packets are accounted on another thread
// than the one that learns names; the one before again however it ends
// (the other thread may throw out of memory), and the table back out of
// import mode.
class CacheSwap {
 public:
  CacheSwap(ConversationTable& t, DnsNameCache* during) : table_(t), before_(t.dnsCache) { t.dnsCache = during; }
  ~CacheSwap() {
    table_.dnsCache = before_;
    table_.importMode = 0;
  }
  CacheSwap(const CacheSwap&) = delete;
  CacheSwap& operator=(const CacheSwap&) = delete;

 private:
  ConversationTable& table_;
  DnsNameCache* before_;
};

// An import left by an exception (out of memory, a second thread's fault)
// keeps no part of the capture, in the table or in a packet file that Save
// could copy, as an import whose writes failed.
class ImportUnwinding {
 public:
  ImportUnwinding(ConversationTable& t, PacketFile& f) : table_(t), file_(f) {}
  ~ImportUnwinding() {
    if (done) return;
    file_.Discard();
    table_.Clear();
    table_.foreign = true;
  }
  ImportUnwinding(const ImportUnwinding&) = delete;
  ImportUnwinding& operator=(const ImportUnwinding&) = delete;
  bool done = false;

 private:
  ConversationTable& table_;
  PacketFile& file_;
};

// Hears of an import's progress only with the feeder's table at rest (the
// progress may paint rows), and at most every kProgressMs: each rest stops
// the second thread.
class DrainingProgress : public ReadProgress {
 public:
  DrainingProgress(ReadProgress* inner, ConversationTable::Feeder& feeder) : inner_(inner), feeder_(feeder) {}
  bool Continue(uint64_t bytesRead) override {
    const auto now = std::chrono::steady_clock::now();
    if (told_ && now - last_ < std::chrono::milliseconds(kProgressMs)) return true;
    told_ = true;
    last_ = now;
    feeder_.Drain();
    return inner_->Continue(bytesRead);
  }
  void Rebuilding() override { inner_->Rebuilding(); }

 private:
  static constexpr int kProgressMs = 50;
  ReadProgress* inner_;
  ConversationTable::Feeder& feeder_;
  std::chrono::steady_clock::time_point last_;
  bool told_ = false;
};

// What an import that found no IP packet skipped, and why; "" otherwise.
std::string SkippedFramesText(const ImportResult& r) {
  if (!r.opened || r.frames == 0 || r.stats.handed > 0) return "";
  std::string text = "no IP packet: " + std::to_string(r.frames) + (r.frames == 1 ? " frame" : " frames") +
                     " skipped (";
  const struct {
    uint64_t count;
    const char* why;
  } kReasons[] = {{r.stats.notIPv4, "neither IPv4 nor IPv6"},
                  {r.stats.unsupported, "of an unsupported link type or frame kind"},
                  {r.stats.truncated, "link header cut short"}};
  bool first = true;
  for (const auto& k : kReasons) {
    if (!k.count) continue;
    text += (first ? "" : ", ") + std::to_string(k.count) + " " + k.why;
    first = false;
  }
  if (first) text += "none decoded";
  return text + ")";
}

// Packets the table could not place (fragments, IPv6 chains), by their named condition.
std::string SkippedPacketsText(const ConversationTable& t) {
  std::string text;
  for (SkipReason k : {kSkipFragmentWithoutFirst, kSkipBadExtensionChain})
    if (t.skipped[k])
      text += (text.empty() ? "" : ", ") + std::to_string(t.skipped[k]) + " " + kSkipReasonNames[k];
  return text.empty() ? text : "packets in no conversation: " + text;
}

// The exit code of a load that left nothing to work on; kExitOk otherwise.
int LoadExit(const LoadOutcome& load, const char* capturePath, std::string& message) {
  if (load.writeFailed) {
    message = load.message;
    return kExitWriteFailed;
  }
  if (!load.ok) {
    message = std::string(capturePath) + ": " + load.message;
    return kExitFailure;
  }
  return kExitOk;
}

// The exit code once the output is written: damage and skipped frames still reach the user.
int Finish(const LoadOutcome& load, const char* capturePath, std::string& message, const char* output = "output") {
  if (load.damaged) {
    message = std::string(capturePath) + ": " + load.message + "; the " + output + " holds the packets before it";
    return kExitDamaged;
  }
  if (!load.message.empty()) message = std::string(capturePath) + ": " + load.message;
  return kExitOk;
}

struct ExtractSink : BlockSink {
  HttpExtractor& x;
  explicit ExtractSink(HttpExtractor& e) : x(e) {}
  void OnBlock(const StreamBlock& b) override { x.OnBlock(b.bytes.data(), b.bytes.length(), b.lacking()); }
};

}  // namespace

int ReportFormatOfSwitch(const char* arg) {
  static const struct {
    const char* name;
    int format;
  } kSwitches[] = {{"/stext", 1}, {"/stab", 2},    {"/stabular", 3},
                   {"/shtml", 4}, {"/sverhtml", 5}, {"/sxml", 6}};
  for (const auto& s : kSwitches)
    if (EqualNoCase(arg, s.name)) return s.format;
  return 0;
}

bool LoadReportSettings(const std::vector<std::string>& args, const std::string& defaultConfig, Options& o,
                        std::string& message) {
  if (FindArgument(args, "/noloadsettings") < 0) LoadSettings(defaultConfig, o);
  const int lc = FindArgument(args, "/LoadConfig");
  const char* const path = lc >= 0 ? ArgumentAt(args, size_t(lc) + 1) : "";
  if (lc >= 0 && !path[0]) {
    message = "/LoadConfig needs the name of a configuration file";
    return false;
  }
  // A file named on purpose that cannot be read would give a report made
  // with settings other than the ones asked for.
  if (path[0] && !LoadSettings(path, o)) {
    message = std::string(path) + ": cannot read the configuration file: " + RawFile::LastErrorText();
    return false;
  }
  return true;
}

ImportResult ImportForReport(ConversationTable& table, const Options& options,
                             const std::function<ImportResult(PacketSniffer&)>& import) {
  table.local.v4 = 0;
  table.local.v6.clear();
  DnsNameCache cache, none;
  ImportResult r;
  {
    const CacheSwap swap(table, &none);
    auto sink = std::make_unique<DirectSink>(table, options, cache);
    r = import(*sink);
    sink->Finish();
  }
  table.dnsCache = nullptr;
  if (options.UseDnsQueriesForHostNames) table.FillNamesFrom(cache);
  table.QueueNameLookups();
  return r;
}

LoadOutcome LoadCaptureForReport(const char* path, ConversationTable& table, PacketFile& file,
                                 const Options& options, ReadProgress* progress) {
  LoadOutcome out;
  std::string error;
  CaptureFormat fmt = DetectFileFormat(path, &error);
  if (fmt == CaptureFormat::Unknown) {
    out.message = error;
    return out;
  }
  table.Clear();
  table.foreign = true;
  if (fmt == CaptureFormat::PacketFile) {
    file.ResetFile(false);
    file.SetName(path);
    if (!file.OpenForReading()) {
      out.message = "cannot read the packet file";
      return out;
    }
    table.local.v4 = file.headerAddress;
    table.local.v6 = file.headerAddresses6;
    file.CloseReading();
    if (progress) progress->Rebuilding();
    table.RebuildFromFile(progress);
    out.ok = true;
    out.message = SkippedPacketsText(table);
    if (file.damage()) {
      out.damaged = true;
      out.message = std::string("damaged file: ") + file.damage() + " at offset " +
                    std::to_string(file.recordOffset());
    }
    return out;
  }
  const ImportResult r =
      ImportForReport(table, options, [path](PacketSniffer& sink) { return ImportCaptureFile(path, sink); });
  out.ok = r.opened;
  out.damaged = r.damaged;
  out.message = r.error;
  if (out.message.empty()) out.message = SkippedFramesText(r);
  if (out.message.empty()) out.message = SkippedPacketsText(table);
  return out;
}

int RunReport(const Options& options, int format, const char* outPath, const char* capturePath,
              std::string& message, CountryLookup* countries) {
  PacketFile file;
  ConversationTable table(options, &file);
  table.countries = countries;
  LoadOutcome load = LoadCaptureForReport(capturePath, table, file, options);
  if (const int code = LoadExit(load, capturePath, message)) return code;
  ColumnContext ctx{options, nullptr, &table.addresses()};
  std::string error;
  if (!WriteSummaryFile(
          outPath, format, table.count(), [&](size_t i) -> const Conversation& { return table.at(i); },
          ExportColumnsOf(options), ctx, options.AddExportHeaderLine != 0, &error)) {
    message = std::string(outPath) + ": cannot write the report: " + error;
    return kExitWriteFailed;
  }
  return Finish(load, capturePath, message, "report");
}

LoadOutcome LoadCaptureWithPackets(const char* path, ConversationTable& table, PacketFile& file,
                                   const Options& options, ReadProgress* progress, LibraryImporter library) {
  LoadOutcome out;
  std::string error;
  const CaptureFormat fmt = DetectFileFormat(path, &error);
  if (fmt == CaptureFormat::Unknown) {
    out.message = error;
    return out;
  }
  if (fmt == CaptureFormat::PacketFile) return LoadCaptureForReport(path, table, file, options, progress);
  // The import of the window: frames through the pipeline into a new
  // temporary packet file, each accounted to the table as it is stored.
  Options importOptions = options;
  file.ResetFile(true);
  file.headerAddress = 0;
  file.headerAddresses6.clear();
  if (!file.CreateForWriting()) {
    out.message = std::string(file.name()[0] ? file.name() : "temporary packet file") +
                  ": cannot create the temporary packet file: " + file.writeError();
    out.writeFailed = true;
    return out;
  }
  if (table.resolver) table.resolver->AbandonPending();  // lookups of the rows before
  table.Clear();
  table.foreign = true;
  table.local.v4 = 0;
  table.local.v6.clear();
  ImportUnwinding unwinding(table, file);
  CaptureEngine engine(importOptions, table, file);
  table.importMode = 1;
  file.SetBatchedWrites(true);
  // Each packet is accounted as it is stored, on a second thread, as a
  // rebuild from the stored file would account it, without reading the file
  // back. This thread learns names meanwhile: the table meets them at the
  // end, each address the first the cache holds, as a rebuild would.
  DnsNameCache none;
  DnsNameCache* const names = table.dnsCache;
  engine.dnsCache = names;
  const CacheSwap swap(table, &none);
  ImportResult r;
  bool viaLibrary;
  {
    ConversationTable::Feeder feeder(table);
    engine.importFeeder = &feeder;
    DrainingProgress drained(progress, feeder);
    ReadProgress* const steps = progress ? &drained : nullptr;
    viaLibrary = library && (fmt == CaptureFormat::Pcap || fmt == CaptureFormat::PcapNg) &&
                 library(path, engine, steps, r);
    if (!viaLibrary) r = ImportCaptureFile(path, engine, steps);
    feeder.Finish();
    engine.importFeeder = nullptr;
  }
  table.importMode = 0;
  file.CloseWriting();
  file.SetBatchedWrites(false);
  unwinding.done = true;
  if (!file.writeError().empty()) {
    // What was stored is only a part of the capture: nothing may be made of it.
    out.message = std::string(file.name()) + ": cannot write the temporary packet file: " + file.writeError();
    file.Discard();
    table.Clear();
    table.foreign = true;
    out.writeFailed = true;
    return out;
  }
  table.dnsCache = names;
  if (options.UseDnsQueriesForHostNames) table.FillNamesFrom(names ? *names : GlobalDnsNameCache());
  table.QueueNameLookups();
  out.ok = r.opened;
  out.cancelled = r.cancelled;
  out.damaged = r.damaged;
  out.message = r.error;
  if (out.message.empty()) out.message = SkippedFramesText(r);
  return out;
}

int RunExtractHttp(const Options& options, const char* folder, const char* capturePath, std::string& message) {
  PacketFile file;
  ConversationTable table(options, &file);
  LoadOutcome load = LoadCaptureWithPackets(capturePath, table, file, options);
  if (const int code = LoadExit(load, capturePath, message)) return code;
  MAKE_DIR(folder);
  RawFile probe;
  const std::string probePath = std::string(folder) + "/.pakrill-write-test";
  if (!probe.OpenWrite(probePath.c_str())) {
    message = std::string(folder) + ": cannot write files there: " + RawFile::LastErrorText();
    return kExitWriteFailed;
  }
  probe.Close();
  remove(probePath.c_str());
  HttpExtractor extractor(folder, file.name());
  ExtractSink sink(extractor);
  for (size_t i = table.count(); i-- > 0;) LoadStream(file, table.at(i), sink, false, &table);
  if (extractor.filesFailed()) {
    // Every body that could not be written, then how many.
    message = extractor.FailureReport();
    if (load.damaged) message += "\n" + std::string(capturePath) + ": " + load.message;
    return kExitWriteFailed;
  }
  const int code = Finish(load, capturePath, message);
  if (const std::string holes = extractor.HoleReport(); !holes.empty())
    message = holes + (message.empty() ? "" : "\n" + message);
  return code;
}

// Writing the output would destroy the capture it comes from.
bool IsOwnInput(const char* outPath, const char* capturePath, std::string& message) {
  if (!RawFile::SameFile(outPath, capturePath)) return false;
  message = std::string(outPath) + ": the output is the capture being read";
  return true;
}

int RunExportStreams(const Options& options, const char* outPath, const char* format, const char* capturePath,
                     std::string& message) {
  if (IsOwnInput(outPath, capturePath, message)) return kExitWriteFailed;
  static const char* const kNames[] = {"txt", "html", "raw", "rawlocal", "rawremote"};
  int f = 0;
  for (int i = 0; i < 5; i++)
    if (EqualNoCase(format, kNames[i])) f = i + 1;
  if (!f) {
    message = std::string(format) + ": the format is one of txt, html, raw, rawlocal, rawremote";
    return kExitUsage;
  }
  PacketFile file;
  ConversationTable table(options, &file);
  LoadOutcome load = LoadCaptureWithPackets(capturePath, table, file, options);
  if (const int code = LoadExit(load, capturePath, message)) return code;
  std::vector<const Conversation*> all;
  for (size_t i = table.count(); i-- > 0;) all.push_back(&table.at(i));
  std::string error;
  if (!WriteStreamFile(outPath, f, all, file, ColumnContext{options}, ExportColumnsOf(options), false, &error, &table)) {
    message = std::string(outPath) + ": cannot write: " + error;
    return kExitWriteFailed;
  }
  return Finish(load, capturePath, message);
}

int RunConvert(const Options& options, const char* outPath, const char* capturePath, std::string& message) {
  PacketFile file;
  ConversationTable table(options, &file);
  LoadOutcome load = LoadCaptureWithPackets(capturePath, table, file, options);
  if (const int code = LoadExit(load, capturePath, message)) return code;
  ConvertResult r = WriteCaptureFile(file, outPath, CaptureFormatOfName(outPath));
  if (!r.ok) {
    message = std::string(outPath) + ": " + r.error;
    return kExitWriteFailed;
  }
  return Finish(load, capturePath, message);
}

int RunReportCommand(const std::vector<std::string>& args, const std::string& defaultConfig, std::string& message,
                     CountryLookup* countries) {
  const char* sw = ArgumentAt(args, 0);
  const int format = ReportFormatOfSwitch(sw);
  const bool convert = EqualNoCase(sw, "/sconvert");
  // Options may stand anywhere: the output file and the capture are the
  // first two arguments after the switch that are not options.
  const std::vector<std::string> files = PlainArguments(args, 1);
  if ((!format && !convert) || files.size() < 2) {
    message = std::string(sw) + " needs an output file and a capture file";
    return kExitUsage;
  }
  if (IsOwnInput(files[0].c_str(), files[1].c_str(), message)) return kExitWriteFailed;
  Options options;
  if (!LoadReportSettings(args, defaultConfig, options, message)) return kExitFailure;
  if (convert) return RunConvert(options, files[0].c_str(), files[1].c_str(), message);
  return RunReport(options, format, files[0].c_str(), files[1].c_str(), message, countries);
}
