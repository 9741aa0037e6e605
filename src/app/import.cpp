#include "app/import.h"

#include <cerrno>
#include <cstring>

#include "capture/capture_engine.h"
#include "base/raw_file.h"

CaptureFormat DetectFileFormat(const char* path, std::string* error) {
  RawFile f;
  if (!f.OpenRead(path)) {
    if (error) *error = std::string("cannot open: ") + RawFile::LastErrorText();
    return CaptureFormat::Unknown;
  }
  uint8_t head[8] = {};
  long n = f.Read(head, sizeof head);
  if (n < 0) {
    if (error) *error = "cannot read the file";
    return CaptureFormat::Unknown;
  }
  CaptureFormat fmt = DetectCaptureFormat(head, size_t(n));
  if (fmt == CaptureFormat::Unknown && error)
    *error = "not a packet file, pcap, pcapng or Network Monitor capture";
  return fmt;
}

ImportResult ImportCapture(ByteSource& source, PacketSniffer& sniffer, ReadProgress* progress) {
  ImportResult r;
  CaptureReader reader(source);
  if (!reader.Open()) {
    r.error = reader.error();
    r.damaged = reader.format() != CaptureFormat::Unknown;
    r.opened = r.damaged;
    return r;
  }
  r.opened = true;
  LocalTimeConverter clock;
  CaptureFrame f;
  // Progress every few thousand frames, and every few megabytes when the
  // frames are large, so the window keeps answering.
  constexpr uint64_t kProgressBytes = 8u << 20;
  uint64_t nextReport = kProgressBytes;
  while (reader.Next(f)) {
    r.frames++;
    const FileTime t = f.utcTime ? clock.Convert(f.utcTime) : 0;
    HandleLinkFrame(sniffer, f.linkType, f.data, f.caplen, t, &r.stats);
    if (progress && ((r.frames & 4095) == 0 || reader.offset() >= nextReport)) {
      nextReport = reader.offset() + kProgressBytes;
      if (!progress->Continue(reader.offset())) {
        r.cancelled = true;
        return r;
      }
    }
  }
  if (!reader.error().empty()) {
    r.error = reader.error();
    r.damaged = true;
  }
  return r;
}

namespace {
NetMonFileImporter g_netmonImporter = nullptr;
}

void SetNetMonFileImporter(NetMonFileImporter importer) { g_netmonImporter = importer; }

ImportResult ImportCaptureFile(const char* path, PacketSniffer& sniffer, ReadProgress* progress) {
  if (g_netmonImporter && DetectFileFormat(path) == CaptureFormat::NetMon && g_netmonImporter(sniffer, path)) {
    ImportResult r;
    r.opened = true;
    return r;
  }
  FileSource src;
  if (!src.Open(path)) {
    ImportResult r;
    r.error = std::string("cannot open: ") + RawFile::LastErrorText();
    return r;
  }
  return ImportCapture(src, sniffer, progress);
}
