#include "app/command_line.h"
#include "app/list_tools.h"
#include "app/report.h"
#include "base/parallel.h"
#include "export/summary_export.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(ReportTest, WritesRowsAndFailsClearly) {
  FakePlatform platform;
  Options o;
  std::vector<Frame> frames = {{Ethernet(Ipv4Packet(17, "127.0.0.1", "127.0.0.1", 5000, 6000, 42))}};
  const std::string cap = TempPath("in.pcap"), out = TempPath("out.txt");
  WriteFileBytes(cap, PcapFile(frames));
  std::string msg;
  ASSERT_EQ(RunReport(o, 2, out.c_str(), cap.c_str(), msg), kExitOk) << msg;
  const std::string text = ReadFileText(out);
  EXPECT_EQ(text.substr(0, 52), "1\tUDP\t127.0.0.1\t127.0.0.1\t5000\t6000\t1\t70 Bytes\t2023-");
  EXPECT_EQ(text.substr(text.size() - 3), "\t\r\n");

  // Unknown content, an unwritable output.
  WriteFileBytes(cap + ".txt", Bytes(100, 'x'));
  EXPECT_EQ(RunReport(o, 2, out.c_str(), (cap + ".txt").c_str(), msg), kExitFailure);
  EXPECT_NE(msg.find("not a packet file"), std::string::npos);
  EXPECT_EQ(RunReport(o, 2, (out + "/no/such/dir").c_str(), cap.c_str(), msg), kExitWriteFailed);
  EXPECT_NE(msg.find(out + "/no/such/dir: "), std::string::npos);
  const size_t reason = msg.find(": cannot write the report: ");
  ASSERT_NE(reason, std::string::npos) << msg;
  EXPECT_GT(msg.size(), reason + 27) << msg;  // the system's reason follows
  // A damaged capture: hostile_cli_test's cut packet files.

  EXPECT_EQ(ReportFormatOfSwitch("/STAB"), 2);  // every switch's format: convert_test.py
  EXPECT_EQ(ReportFormatOfSwitch("/stabx"), 0);
}

TEST(ReportTest, CommandLineSplitting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ParseCommandLine("  /stab   out.txt  "), V({"/stab", "out.txt"}));
  EXPECT_EQ(ParseCommandLine("/LoadConfig \"C:\\My Files\\a.cfg\" /x"),
            V({"/LoadConfig", "C:\\My Files\\a.cfg", "/x"}));
  EXPECT_EQ(ParseCommandLine("\"\" a"), V({"", "a"}));  // empty quotes, then a space
  EXPECT_EQ(ParseCommandLine("a \"\""), V({"a"}));      // at the end: nothing
  EXPECT_EQ(ParseCommandLine("\"  lead\""), V({"lead"}));
  V args = ParseCommandLine("/x /STARTCAPTURE");
  EXPECT_EQ(FindArgument(args, "/StartCapture"), 1);
  EXPECT_EQ(FindArgument(args, "/nocapdriver"), -1);
  EXPECT_STREQ(ArgumentAt(args, 5), "");
  // The files of a report are the arguments that are not options.
  EXPECT_EQ(PlainArguments(ParseCommandLine("/shtml /nocapdriver o.htm /LoadConfig c.cfg /STARTCAPTURE in"), 1),
            V({"o.htm", "in"}));
}

namespace {
// A pcap stream of three TCP downloads made as the reader asks for it: one
// past 2^32 bytes, one past 2^31, one small; 65535-byte packets 1, 2 and 1 ms
// apart.
class LargeCapture : public ByteSource {
 public:
  long Read(uint8_t* dst, size_t n) override {
    if (at_ == record_.size()) {
      while (conv_ < 3 && sent_ == kPackets[conv_]) conv_++, sent_ = 0;
      if (conv_ == 3) return 0;
      if (!sent_) {
        const int payload = conv_ == 2 ? 10 : 65495;
        record_ = Bytes(16, 0);
        const Bytes f = Ethernet(Ipv4Packet(6, ("11.0.0." + std::to_string(conv_)).c_str(), "10.0.0.1", 80, 1000, payload));
        record_.insert(record_.end(), f.begin(), f.end());
      }
      const uint32_t ms = sent_++ * (conv_ == 1 ? 2 : 1), h[4] = {ms / 1000, ms % 1000 * 1000,
                                                                   uint32_t(record_.size() - 16), uint32_t(record_.size() - 16)};
      memcpy(record_.data(), h, 16);
      at_ = 0;
    }
    n = std::min(n, record_.size() - at_);
    memcpy(dst, record_.data() + at_, n);
    at_ += n;
    return long(n);
  }

 private:
  static constexpr uint32_t kPackets[3] = {65580, 32800, 2};
  Bytes record_ = PcapFile({});
  size_t at_ = 0, conv_ = 0;
  uint32_t sent_ = 0;
};
}  // namespace

// Sizes, speeds and their order past 2^31 and 2^32 bytes, in every format.
TEST(ReportTest, CountersPastFourGigabytes) {
  FakePlatform platform;
  Options o;
  ConversationTable table(o, nullptr);
  LargeCapture capture;
  ImportForReport(table, o, [&](PacketSniffer& s) { return ImportCapture(capture, s); });
  ASSERT_EQ(table.count(), 3u);
  const std::pair<int, const char*> want[2][4] = {
      {{9, "65,580"}, {11, "4,297,785,300 Bytes"}, {10, "4,295,162,100 Bytes"}, {12, "63960.9 KB/Sec"}},
      {{9, "32,800"}, {11, "2,149,548,000 Bytes"}, {10, "2,148,236,000 Bytes"}, {12, "31981.0 KB/Sec"}}};
  for (size_t i = 0; i < 2; i++)
    for (const auto& [id, text] : want[i]) EXPECT_EQ(ColumnOf(table.at(i), id, o), text) << i;
  std::vector<const Conversation*> rows = {&table.at(0), &table.at(1), &table.at(2)};
  ColumnContext ctx{o, nullptr, &table.addresses()};
  for (int id : {9, 10, 11, 12}) EXPECT_EQ(SortOrder(rows, {id}, ctx), std::vector<uint32_t>({2, 1, 0})) << id;
  for (int format = kFormatText; format <= kFormatCsv; format++) {
    std::string out;
    for (const Conversation* c : rows) AppendSummaryRow(out, *c, format, DefaultExportColumns(), ctx);
    for (const char* text : {"4,297,785,", "2,148,236,"}) EXPECT_NE(out.find(text), std::string::npos) << format;
    if (format == kFormatTabular) continue;  // its columns are cut to their widths
    for (const char* text : {"4,295,162,100 Bytes", "2,149,548,000 Bytes", "65,580", "63960.9 KB/Sec"})
      EXPECT_NE(out.find(text), std::string::npos) << format << " " << text;
  }
}

// The report accounts packets on a second thread and names the addresses
// at the end: each keeps the first name the capture gave it, whether that
// came before its conversation or after, over batches of packets.
TEST(ReportTest, NamesAcrossThreadsAsInOrder) {
  FakePlatform platform;
  Options o;
  auto dns = [](const char* name, const char* address) {
    return Frame{Ethernet(WithPayload(17, "10.0.0.53", "10.0.0.1", 53, 5353, DnsResponse(name, {Addr(address)})))};
  };
  std::vector<Frame> frames = {dns("early.example", "10.0.0.8")};
  const int n = 20000;  // blocks of the table made ahead, rows made on both threads
  for (int i = 0; i < n; i++)
    frames.push_back({Ethernet(Ipv4Packet(17, "10.0.0.1", i % 2 ? "10.0.0.9" : "10.0.0.8", uint16_t(1000 + i), 80, 9))});
  frames.push_back(dns("late.example", "10.0.0.9"));
  frames.push_back(dns("other.example", "10.0.0.9"));
  frames.push_back(dns("other.example", "10.0.0.8"));
  const std::string cap = TempPath("names.pcap"), out = TempPath("names.txt");
  WriteFileBytes(cap, PcapFile(frames));
  std::string msg;
  ASSERT_EQ(RunReport(o, 2, out.c_str(), cap.c_str(), msg), kExitOk) << msg;
  const std::string text = ReadFileText(out);
  size_t rows = 0, early = 0, late = 0;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2, rows++) {
    const std::string row = text.substr(at, end - at);
    if (row.find("\t10.0.0.8\t") != std::string::npos) early += row.find("\tearly.example\t") != std::string::npos;
    if (row.find("\t10.0.0.9\t") != std::string::npos) late += row.find("\tlate.example\t") != std::string::npos;
    if (rows == n - 1) {
      EXPECT_EQ(row.substr(0, 6), std::to_string(n) + "\t");  // in creation order
    }
  }
  EXPECT_EQ(rows, n + 1u);
  EXPECT_EQ(early, n / 2u);
  EXPECT_EQ(late, n / 2u);

  // The window's import: stored and accounted at once, its progress (which
  // may paint rows) hearing of it only with the table at rest.
  PacketFile file;
  ConversationTable table(o, &file);
  DnsNameCache cache;
  table.dnsCache = &cache;
  struct Painter : ReadProgress {
    ConversationTable* table;
    size_t seen = 0;
    bool outOfMemory = false;
    bool Continue(uint64_t) override {
      for (size_t i = 0; i < table->count(); i++) seen += table->at(i).packets;
      if (outOfMemory && seen) throw std::bad_alloc();
      return true;
    }
  } painter;
  painter.table = &table;
  // An import left by an exception keeps no part of the capture and stores
  // no more; the next one starts afresh.
  painter.outOfMemory = true;
  EXPECT_THROW(LoadCaptureWithPackets(cap.c_str(), table, file, o, &painter), std::bad_alloc);
  EXPECT_EQ(table.count(), 0u);
  EXPECT_FALSE(file.writing());
  EXPECT_EQ(table.importMode, 0);
  EXPECT_EQ(table.dnsCache, &cache);
  painter.outOfMemory = false;
  painter.seen = 0;
  ASSERT_TRUE(LoadCaptureWithPackets(cap.c_str(), table, file, o, &painter).ok);
  ASSERT_EQ(table.count(), n + 1u);
  EXPECT_GT(painter.seen, 0u);
  EXPECT_STREQ(table.RemoteHost(table.at(2)), "late.example");
  EXPECT_STREQ(table.RemoteHost(table.at(1)), "early.example");
  std::vector<uint64_t> records;
  EXPECT_TRUE(table.RecordOffsets(n - 1, &records));
  EXPECT_EQ(records.size(), 1u);
  file.ResetFile(false);
}

// Work shared with a second thread comes back in order, whole, and stops
// at the first failure without leaving the helper behind.
TEST(ReportParallel, OrderAndEarlyStop) {
  struct Batch {
    int first, n;
  };
  {
    int next = 0;  // where the next batch must begin; -1 once one came out of order
    BatchPipe<Batch, 2> pipe;
    pipe.StartTaker([](void* t, Batch& b) { int& k = *static_cast<int*>(t); k = k == b.first ? k + b.n : -1; }, &next,
                    64 * 1024);
    for (int i = 0; i < 500; i++) {
      pipe.Free() = {i * 3, 3};
      pipe.Send();
      if (i == 250) {
        pipe.Drain();  // the maker may then look at what the taker made
        EXPECT_EQ(next, 753);
      }
    }
    pipe.Finish();
    EXPECT_EQ(next, 1500);
  }
  for (size_t stopAt : {size_t(1000), size_t(57), size_t(0)}) {
    size_t slots[kMakeSlots];
    std::vector<size_t> used;
    auto make = [&](size_t item, int slot, int) { slots[slot] = item * 7; };
    auto use = [&](size_t item, int slot) {
      used.push_back(slots[slot] == item * 7 ? item : ~item);
      return item != stopAt;
    };
    EXPECT_EQ(MakeOnTwoThreads(size_t(101), make, use, 64 * 1024), stopAt > 100);
    ASSERT_EQ(used.size(), stopAt > 100 ? 101 : stopAt + 1);
    for (size_t i = 0; i < used.size(); i++) EXPECT_EQ(used[i], i);
  }

  // Out of memory on either thread reaches the caller's thread, with the
  // second thread done.
  for (size_t failAt : {size_t(4), size_t(6)}) {  // the helper's item, the caller's
    auto make = [&](size_t item, int, int) {
      if (item == failAt) throw std::bad_alloc();
    };
    auto use = [](size_t, int) { return true; };
    EXPECT_THROW(MakeOnTwoThreads(size_t(50), make, use, 64 * 1024), std::bad_alloc) << failAt;
  }
  BatchPipe<Batch, 2> pipe;
  pipe.StartTaker([](void*, Batch& b) { if (b.first == 6) throw std::bad_alloc(); }, nullptr, 64 * 1024);
  for (int i = 0; i < 5; i++) {
    pipe.Free().first = i * 3;
    pipe.Send();
  }
  EXPECT_THROW(pipe.Finish(), std::bad_alloc);
}
