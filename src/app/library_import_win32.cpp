#include "app/library_import_win32.h"

#include <cstring>

#include "capture/pcap_library_win32.h"

namespace {

// Frames per library call: small enough that the window paints and hears
// Escape between calls.
constexpr int kFramesPerSlice = 4096;

struct Reading {
  PacketSniffer* sniffer;
  ImportResult* result;
  uint32_t linkType;
  bool pcapng;
  uint64_t bytes;  // of the file, as far as its records tell
  LocalTimeConverter clock;
};

void OnFrame(unsigned char* user, const void* header, const unsigned char* data) {
  auto& r = *reinterpret_cast<Reading*>(user);
  CaptureLibraryHeader h;
  memcpy(&h, header, sizeof h);
  // The library hands no file offset; the record sizes give one close enough.
  r.bytes += r.pcapng ? 32 + ((uint64_t(h.caplen) + 3) & ~uint64_t(3)) : 16 + uint64_t(h.caplen);
  r.result->frames++;
  const FileTime t = r.clock.Convert(UnixToFileTime(h.tvSec, 0, uint64_t(h.tvUsec) * 10));
  HandleLinkFrame(*r.sniffer, r.linkType, data, h.caplen, t, &r.result->stats);
}

}  // namespace

bool ImportThroughCaptureLibrary(const char* path, PacketSniffer& sniffer, ReadProgress* progress,
                                 ImportResult& result) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  if (!lib.bound() || !lib.pcap_open_offline) return false;
  char error[512] = "";  // the library's PCAP_ERRBUF_SIZE is 256
  pcap_t* handle = lib.pcap_open_offline(path, error);
  if (!handle) return false;
  result = ImportResult();
  result.opened = true;
  Reading r{&sniffer, &result, lib.pcap_datalink ? uint32_t(lib.pcap_datalink(handle)) : uint32_t(kLinkEthernet),
            DetectFileFormat(path) == CaptureFormat::PcapNg, 24, {}};
  for (;;) {
    const int n = lib.pcap_dispatch(handle, kFramesPerSlice, OnFrame, reinterpret_cast<unsigned char*>(&r));
    if (n < 0) {
      const char* why = lib.pcap_geterr ? lib.pcap_geterr(handle) : nullptr;
      result.error = std::string("damaged file: ") + (why && why[0] ? why : "the library stopped reading it");
      result.damaged = true;
      break;
    }
    if (n == 0) break;  // the end of the file
    if (progress && !progress->Continue(r.bytes)) {
      result.cancelled = true;
      break;
    }
  }
  lib.pcap_close(handle);
  return true;
}
