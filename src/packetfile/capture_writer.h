// Writes the packets of a packet file as a pcap or pcapng capture, so that
// other analysers open what Pakrill captured.
#pragma once
#include <cstdint>
#include <string>

#include "packetfile/capture_reader.h"

class PacketFile;

struct ConvertResult {
  bool ok = false;        // the output holds every packet read
  std::string error;      // why not, or where the source is damaged
  bool damaged = false;   // the source ended in damage; earlier packets written
  uint64_t packets = 0;
};

// The kind of capture a file name asks for: PcapNg for ".pcapng", else Pcap.
CaptureFormat CaptureFormatOfName(const char* path);

// Writes every record of `source` (a named own-format file) to `path` in
// `format` (Pcap or PcapNg), each with its own time: as Ethernet frames when
// every packet has its MAC addresses, else as raw IPv4.
ConvertResult WriteCaptureFile(PacketFile& source, const char* path, CaptureFormat format);
