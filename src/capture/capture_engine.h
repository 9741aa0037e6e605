// The packet pipeline: every capture method and every import hands its
// packets to OnPacket.
#pragma once
#include <cstdint>

#include "base/options.h"
#include "base/platform.h"
#include "capture/conversation_table.h"
#include "capture/tls.h"
#include "filter/filter.h"

class PacketFile;
class DnsNameCache;

// The capture base: receives IPv4 packets with link headers removed.
class PacketSniffer {
 public:
  virtual ~PacketSniffer() = default;
  // `time` is the packet's own local time (imports); 0 stamps it now.
  virtual void OnPacket(const uint8_t* packet, int32_t length, const uint8_t* dstMac,
                        const uint8_t* srcMac, FileTime time = 0) = 0;
  bool running = false;
};

// Told when the packet count changed and no notice is pending.
class StatusNotifier {
 public:
  virtual ~StatusNotifier() = default;
  virtual void PacketCountChanged() = 0;
  // Told once per capture when the packet file refused a write (full disk).
  virtual void PacketFileWriteFailed() {}
};

class CaptureEngine : public PacketSniffer {
 public:
  CaptureEngine(Options& options, ConversationTable& table, PacketFile& file);

  void OnPacket(const uint8_t* packet, int32_t length, const uint8_t* dstMac,
                const uint8_t* srcMac, FileTime time = 0) override;

  // Capture start: count 0, a notice may be posted, capture filter parsed.
  void ResetCounters();

  int32_t packetCount = 0;
  bool statusPending = true;
  FilterRuleList captureFilter;
  StatusNotifier* notifier = nullptr;
  DnsNameCache* dnsCache = nullptr;  // defaults to the process-wide cache
  // An import accounts each packet it stores here, as the rebuild of the
  // stored file would.
  ConversationTable::Feeder* importFeeder = nullptr;
  bool writeFailed = false;          // the packet file refused a write

 private:
  void NoteWriteFailure();
  Options& options_;
  ConversationTable& table_;
  PacketFile& file_;
  TlsNameLearner tls_;
  // The capture filter's own: it judges a later fragment by its first
  // one's ports, whether or not the first passed.
  FragmentMemory filterFragments_;
};
