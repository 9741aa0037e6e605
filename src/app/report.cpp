#include "app/report.h"

#include "app/strings.h"

#include <cerrno>
#include <cstring>

#include "capture/capture_engine.h"
#include "capture/dns.h"
#include "export/summary_export.h"
#include "packetfile/import.h"
#include "packetfile/raw_file.h"

namespace {


// Accounts imported packets straight to the table: the same conversations
// as storing them in a packet file and rebuilding from it, without the copy.
class DirectSink : public PacketSniffer {
 public:
  DirectSink(ConversationTable& t, const Options& o, DnsNameCache& cache)
      : table_(t), options_(o), cache_(cache) {}
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src,
                FileTime time) override {
    if (options_.UseDnsQueriesForHostNames) LearnDnsAnswers(p, n, cache_);
    if (n <= 0 || uint32_t(n) > kMaxPacketLength) return;  // the packet file would refuse it
    PacketHeader h;
    h.length = uint32_t(n);
    h.time = time ? time : GetPlatform().LocalFileTimeNow();
    if (dst) memcpy(h.dstMac, dst, 6);
    if (src) memcpy(h.srcMac, src, 6);
    table_.UpdateConversation(p, h);
  }

 private:
  ConversationTable& table_;
  const Options& options_;
  DnsNameCache& cache_;
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

LoadOutcome LoadCaptureForReport(const char* path, ConversationTable& table, PacketFile& file,
                                 const Options& options) {
  LoadOutcome out;
  std::string error;
  CaptureFormat fmt = DetectFileFormat(path, &error);
  if (fmt == CaptureFormat::Unknown) {
    out.message = error;
    return out;
  }
  table.Clear();
  if (fmt == CaptureFormat::PacketFile) {
    file.ResetFile(false);
    file.SetName(path);
    if (!file.OpenForReading()) {
      out.message = "cannot read the packet file";
      return out;
    }
    table.LocalAddress = file.headerAddress;
    file.CloseReading();
    table.RebuildFromFile();
    out.ok = true;
    if (file.damage()) {
      out.damaged = true;
      out.message = std::string("damaged file: ") + file.damage() + " at offset " +
                    std::to_string(file.recordOffset());
    }
    return out;
  }
  table.LocalAddress = 0;
  DnsNameCache cache;
  table.dnsCache = &cache;
  DirectSink sink(table, options, cache);
  ImportResult r = ImportCaptureFile(path, sink);
  if (options.UseDnsQueriesForHostNames) {
    // Names learned later in the file, as a rebuild after the import sees them.
    for (size_t i = 0; i < table.count(); i++) {
      Conversation& c = table.at(i);
      if (!c.localHost[0])
        if (const char* n = cache.Name(cache.FindIPv4(c.localAddress))) CopyHostName(c.localHost, n);
      if (!c.remoteHost[0])
        if (const char* n = cache.Name(cache.FindIPv4(c.remoteAddress))) CopyHostName(c.remoteHost, n);
    }
  }
  table.dnsCache = nullptr;
  table.QueueNameLookups();
  out.ok = r.opened;
  out.damaged = r.damaged;
  out.message = r.error;
  if (r.opened && r.frames > 0 && r.stats.handed == 0 && r.stats.unsupported == r.frames)
    out.message = "no frame of a supported link type";
  return out;
}

int RunReport(const Options& options, int format, const char* outPath, const char* capturePath,
              std::string& message) {
  PacketFile file;
  ConversationTable table(options, &file);
  LoadOutcome load = LoadCaptureForReport(capturePath, table, file, options);
  if (!load.ok) {
    message = std::string(capturePath) + ": " + load.message;
    return kExitFailure;
  }
  RawFile out;
  if (!out.OpenWrite(outPath)) {
    message = std::string(outPath) + ": cannot create the report: " + RawFile::LastErrorText();
    return kExitFailure;
  }
  const std::vector<int> columns = DefaultExportColumns();
  ColumnContext ctx{options};
  std::string buf;
  buf.reserve(1 << 17);
  bool ok = true;
  for (size_t i = 0; i < table.count() && ok; i++) {
    AppendSummaryRow(buf, table.at(i), format, columns, ctx);
    if (buf.size() >= (1 << 16)) {
      ok = out.Write(buf.data(), buf.size());
      buf.clear();
    }
  }
  if (ok && !buf.empty()) ok = out.Write(buf.data(), buf.size());
  if (!ok) {
    message = std::string(outPath) + ": write failed: " + RawFile::LastErrorText();
    return kExitFailure;
  }
  out.Close();
  if (load.damaged) {
    message = std::string(capturePath) + ": " + load.message +
              "; the report holds the packets before it";
    return kExitDamaged;
  }
  if (!load.message.empty()) message = std::string(capturePath) + ": " + load.message;
  return kExitOk;
}
