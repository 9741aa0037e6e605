// One libFuzzer entry per reader of outside data; PAKRILL_FUZZ_TARGET picks it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/config.h"
#include "app/options.h"
#include "capture/capture_engine.h"
#include "capture/conversation.h"
#include "capture/conversation_table.h"
#include "capture/dns.h"
#include "capture/frame.h"
#include "filter/filter.h"
#include "packetfile/import.h"
#include "packetfile/packet_file.h"
#include "stream/http.h"
#include "stream/stream_loader.h"

namespace {

// Accounts whatever the readers deliver, so their output is exercised too.
struct TableSink : PacketSniffer {
  Options options;
  ConversationTable table{options, nullptr};
  DnsNameCache cache;
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src, FileTime t) override {
    LearnDnsAnswers(p, n, cache);
    PacketHeader h;
    h.length = uint32_t(n);
    h.time = t;
    table.UpdateConversation(p, h);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(FUZZ_CAPTURE_READER)
  TableSink sink;
  MemorySource src(data, size);
  ImportCapture(src, sink);
#elif defined(FUZZ_NETMON)
  // Network Monitor files only: the reader seeks, so offsets are fuzzed too.
  if (size < 4 || (memcmp(data, "GMBU", 4) && memcmp(data, "RTSS", 4))) return 0;
  TableSink sink;
  MemorySource src(data, size);
  ImportCapture(src, sink);
#elif defined(FUZZ_PACKET_FILE)
  static std::string path = "/tmp/pakrill-fuzz-" + std::to_string(getpid()) + ".pkp";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  static uint8_t buf[kPacketBufferSize];
  Options o;
  PacketFile pf;
  pf.SetName(path.c_str());
  ConversationTable table(o, &pf);
  if (pf.OpenForReading()) {
    table.LocalAddress = pf.headerAddress;
    PacketHeader h;
    while (pf.ReadNextPacket(buf, h)) table.UpdateConversation(buf, h);
    pf.CloseReading();
  }
#elif defined(FUZZ_FRAME)
  if (size < 1) return 0;
  static const uint32_t kTypes[] = {0, 1, 12, 14, 101, 105, 108, 113, 127, 228, 276, kLinkNetMon};
  TableSink sink;
  // A heap copy of the exact size lets ASan see any read past the frame.
  std::string frame(reinterpret_cast<const char*>(data + 1), size - 1);
  HandleLinkFrame(sink, kTypes[data[0] % 12], reinterpret_cast<const uint8_t*>(frame.data()),
                  uint32_t(frame.size()), 1);
#elif defined(FUZZ_DECODE)
  Conversation c;
  DecodePacket(data, int32_t(size), c, 0x0100007F, true, nullptr, nullptr);
  DnsNameCache cache;
  LearnDnsAnswers(data, int32_t(size), cache);
#elif defined(FUZZ_DNS)
  DnsAddressRecord recs[16];
  ParseDnsAddressRecords(data, size, recs, 16);
#elif defined(FUZZ_FILTER)
  std::string text(reinterpret_cast<const char*>(data), size);
  FilterRuleList list;
  ParseFilter(text.c_str(), list);
  MatchFilter(list, 6, 80, 1025, 0x0A000001, 0xC0A80001);
  MatchFilter(list, 1, 0, 0, 0x7F000001, 0x7F000001);
#elif defined(FUZZ_CONFIG)
  IniDocument doc;
  doc.Parse(std::string(reinterpret_cast<const char*>(data), size));
  Options o;
  SettingsStore reader(doc, false);
  ReadWriteAll(reader, o);
  SettingsStore writer(doc, true);
  ReadWriteAll(writer, o);
  doc.Serialize();
#elif defined(FUZZ_PLACEMENT)
  // Segments: u32 sequence number, u8 length, that many bytes.
  StreamBlock block;
  size_t pos = 0;
  while (pos + 5 <= size) {
    uint32_t seq = uint32_t(data[pos]) << 24 | uint32_t(data[pos + 1]) << 16 | uint32_t(data[pos + 2]) << 8 | data[pos + 3];
    size_t n = data[pos + 4];
    pos += 5;
    if (n > size - pos) n = size - pos;
    PlacePayload(block, true, seq, data + pos, n);
    pos += n;
  }
#elif defined(FUZZ_HTTP)
  std::string block(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  std::string url, decoded, name;
  while (pos < block.size() && UrlListEntry(block.c_str(), &pos, &url)) {
  }
  HttpResponseDecoder(data, size, &decoded, true);
  DechunkBody(data, size, &decoded);
  HttpFileName(block.c_str(), &name);
#else
#error "no fuzz target selected"
#endif
  return 0;
}
