#include "capture/capture_engine.h"

#include "base/byte_cursor.h"

#include <cstring>

#include "capture/conversation_table.h"
#include "capture/dns.h"
#include "packetfile/packet_file.h"


CaptureEngine::CaptureEngine(Options& options, ConversationTable& table, PacketFile& file)
    : options_(options), table_(table), file_(file) {}

void CaptureEngine::ResetCounters() {
  packetCount = 0;
  statusPending = true;
  writeFailed = false;
  ParseFilter(options_.CaptureFilter.c_str(), captureFilter);
  filterFragments_.Clear();
}

void CaptureEngine::NoteWriteFailure() {
  if (writeFailed || file_.writeError().empty()) return;
  writeFailed = true;
  if (notifier) notifier->PacketFileWriteFailed();
}

void CaptureEngine::OnPacket(const uint8_t* packet, int32_t length, const uint8_t* dstMac,
                             const uint8_t* srcMac, FileTime time) {
  if (running && !options_.captureActive) return;  // suspended
  if (length <= 0) return;
  // A frame an adapter joined past what a record holds is kept cut, as a
  // snapshot length cuts one: its IP header still gives its length.
  if (uint32_t(length) > kMaxPacketLength) length = int32_t(kMaxPacketLength);
  // Off, IPv6 is neither kept nor learnt from, as if it were never sent.
  if (!options_.CaptureIPv6 && (packet[0] >> 4) == 6) return;
  PacketHeader header;
  header.length = uint32_t(length);
  if (dstMac) memcpy(header.dstMac, dstMac, 6);
  if (srcMac) memcpy(header.srcMac, srcMac, 6);

  IpAddress lateServer;  // 0.0.0.0: none
  if (options_.UseDnsQueriesForHostNames) {
    DnsNameCache& cache = dnsCache ? *dnsCache : GlobalDnsNameCache();
    LearnDnsAnswers(packet, length, cache);
    bool late = false;
    const IpAddress server = tls_.Learn(packet, length, cache, &late);
    if (late) lateServer = server;
  }

  if (table_.importMode) {
    // A failed write stays in file_.writeError() for the importer.
    if (!file_.AppendPacket(packet, header.length, dstMac, srcMac, time)) NoteWriteFailure();
    else if (importFeeder) importFeeder->Add(packet, length, dstMac, srcMac, file_.lastPacketTime, file_.lastAppendOffset());
    return;
  }
  if (!captureFilter.empty()) {
    DecodedPacket d;
    LocalSide& side = table_.local;
    side.ipv6 = options_.CaptureIPv6 != 0;
    // A later fragment is judged by its first one's ports; without a first
    // seen, the table decides (it counts the fragment as without one).
    const bool decoded = DecodePacket(packet, length, d, &side, dstMac, srcMac);
    if (decoded && d.fragment == kFirstFragment) filterFragments_.Remember(d);
    if (decoded && (d.fragment != kLaterFragment || filterFragments_.Recall(d) || d.protocol == kProtoIcmp) &&
        !(d.family == 6 ? MatchFilter(captureFilter, d.protocol, d.localPort, d.remotePort,
                                      IpAddress::V6(d.local6), IpAddress::V6(d.remote6))
                        : MatchFilter(captureFilter, d.protocol, d.localPort, d.remotePort,
                                      NetToHost32(d.localAddress), NetToHost32(d.remoteAddress))))
      return;
  }
  uint64_t record = ConversationTable::kNoRecord;
  if (options_.StatOnly) {
    file_.lastPacketTime = time ? time : GetPlatform().LocalFileTimeNow();
  } else if (file_.AppendPacket(packet, header.length, dstMac, srcMac, time)) {
    record = file_.lastAppendOffset();
  } else {
    NoteWriteFailure();
  }
  header.time = file_.lastPacketTime;

  if (options_.LiveMode) {
    if (table_.UpdateConversation(packet, header, record)) {
      table_.changed = 1;
      packetCount++;
    }
    // A hello over several segments names a conversation its first one opened.
    if (lateServer != IpAddress()) {
      DnsNameCache& cache = dnsCache ? *dnsCache : GlobalDnsNameCache();
      table_.SetHostName(lateServer, cache.Name(lateServer.is6() ? cache.FindIPv6(lateServer.bytes)
                                                                 : cache.FindIPv4(lateServer.v4())));
    }
  } else {
    packetCount++;
  }
  if (statusPending && notifier) {
    statusPending = false;
    notifier->PacketCountChanged();
  }
}
