// Importing foreign capture files through the frame handler.
#pragma once
#include <cstdint>
#include <string>

#include "capture/frame.h"
#include "packetfile/capture_reader.h"
#include "packetfile/packet_file.h"

class PacketSniffer;

struct ImportResult {
  bool opened = false;    // the file was readable and of a known format
  std::string error;      // why it could not be read, or where it is damaged
  bool damaged = false;   // frames before the damage were delivered
  bool cancelled = false;  // the progress asked to stop; earlier frames were delivered
  uint64_t frames = 0;
  FrameStats stats;
};

// The format of a file by its content; Unknown also when it cannot be read.
CaptureFormat DetectFileFormat(const char* path, std::string* error = nullptr);

// Hands every frame of a pcap or pcapng source to `sniffer` with its own
// time stamp converted to local time.
// `progress` hears of the bytes read every few thousand frames.
ImportResult ImportCapture(ByteSource& source, PacketSniffer& sniffer, ReadProgress* progress = nullptr);
ImportResult ImportCaptureFile(const char* path, PacketSniffer& sniffer, ReadProgress* progress = nullptr);

// A reader outside the core (the packet capture library) that takes pcap and
// pcapng files first: false when it is missing or cannot open the file, and
// then the core reader does. It fills `result` as ImportCapture would.
using LibraryImporter = bool (*)(const char* path, PacketSniffer& sniffer, ReadProgress* progress,
                                 ImportResult& result);

// Where Network Monitor's own library is installed, its files are read
// through it; the importer answers false when it cannot, and ours reads them.
using NetMonFileImporter = bool (*)(PacketSniffer& sniffer, const char* path);
void SetNetMonFileImporter(NetMonFileImporter importer);
