// Importing foreign capture files through the frame handler.
#pragma once
#include <cstdint>
#include <string>

#include "capture/frame.h"
#include "packetfile/capture_reader.h"

class PacketSniffer;

struct ImportResult {
  bool opened = false;    // the file was readable and of a known format
  std::string error;      // why it could not be read, or where it is damaged
  bool damaged = false;   // frames before the damage were delivered
  uint64_t frames = 0;
  FrameStats stats;
};

// The format of a file by its content; Unknown also when it cannot be read.
CaptureFormat DetectFileFormat(const char* path, std::string* error = nullptr);

// Hands every frame of a pcap or pcapng source to `sniffer` with its own
// time stamp converted to local time.
ImportResult ImportCapture(ByteSource& source, PacketSniffer& sniffer);
ImportResult ImportCaptureFile(const char* path, PacketSniffer& sniffer);

// Where Network Monitor's own library is installed, its files are read
// through it; the importer answers false when it cannot, and ours reads them.
using NetMonFileImporter = bool (*)(PacketSniffer& sniffer, const char* path);
void SetNetMonFileImporter(NetMonFileImporter importer);

// UTC to local FILETIME, asking the platform once per quarter hour.
class LocalTimeConverter {
 public:
  FileTime Convert(FileTime utc);

 private:
  uint64_t bucket_ = ~uint64_t(0);
  int64_t offset_ = 0;
};
