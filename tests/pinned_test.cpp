// Behaviour that single planted faults once left unpinned (issue 14).

#include "export/summary_export.h"
#include "gtest/gtest.h"
#include "stream/stream_export.h"
#include "test_support.h"

// Clearing the table resets everything a later packet relies on.
TEST(PinnedTest, ClearResetsTheTableForTheNextPackets) {
  CaptureRig r;
  ConversationTable& table = r.table;
  const Bytes a = Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1000, 53, 10);
  const Bytes b = Ipv4Packet(17, "10.0.0.1", "10.0.0.3", 1000, 53, 10);
  for (int i = 0; i < 6; i++) Account(table, i % 2 ? b : a, 1000);
  ASSERT_EQ(table.count(), 2u);
  table.Clear();
  ASSERT_NE(Account(table, b, 1000), nullptr);
  ASSERT_EQ(table.count(), 1u);  // no phantom rows from before
  EXPECT_EQ(table.at(0).packets, 1u);
  EXPECT_EQ(table.at(0).index, 1u);
  EXPECT_EQ(table.at(0).remoteAddress, Addr("10.0.0.3"));
  Account(table, a, 1000);
  ASSERT_EQ(table.count(), 2u);
  EXPECT_EQ(table.at(1).packets, 1u);  // not found under a stale slot

  // A second capture in the same run counts its packets from zero.
  for (int i = 0; i < 5; i++) r.Send(a);
  EXPECT_EQ(r.engine.packetCount, 5);
  table.Clear();
  r.engine.ResetCounters();
  r.Send(b);
  EXPECT_EQ(r.engine.packetCount, 1);
  ASSERT_EQ(table.count(), 1u);
  EXPECT_EQ(table.at(0).packets, 1u);
}

// Ethernet minimum-frame padding never enters a stream.
TEST(PinnedTest, EthernetPaddingStaysOutOfStreams) {
  FakePlatform platform;
  const Bytes ip = Tcp("10.0.0.1", "10.0.0.2", 1025, 80, 7, "x");
  Bytes eth = Ethernet(ip);
  ASSERT_LT(eth.size(), 60u);
  eth.resize(60, 0xEE);  // padding, not zeros, so it would show
  const std::string cap = TempPath("pad.pcap");
  WriteFileBytes(cap, PcapFile({{eth}, {eth}}));
  LoadedCapture l(cap, true);
  ASSERT_TRUE(l.outcome.ok) << l.outcome.message;
  ASSERT_EQ(l.table.count(), 1u);
  EXPECT_EQ(l.table.at(0).dataSize, 2u);
  BlockCollector sink;
  LoadStream(l.file, l.table.at(0), sink, false, &l.table);
  ASSERT_EQ(sink.blocks.size(), 1u);
  EXPECT_EQ(sink.blocks[0].second, "x");  // the retransmission once, no padding
}

// Every HTML output escapes < > " & — in columns, in texts learned from the
// network (host names) and in conversation content.
TEST(PinnedTest, HtmlOutputsEscapeEverything) {
  FakePlatform platform;
  const std::string nasty = "<b>\"q\"&amp;</b>";
  const std::string escaped = "&lt;b&gt;&quot;q&quot;&amp;amp;&lt;/b&gt;";
  PacketFile file;
  WritePackets(file, {Tcp("10.0.0.1", "10.0.0.2", 1025, 80, 1, "GET /" + nasty + " HTTP/1.0\r\n\r\n")});
  Options o;
  ConversationTable table(o, &file);
  table.local.v4 = Addr("10.0.0.1");
  ASSERT_TRUE(table.RebuildFromFile());
  ASSERT_EQ(table.count(), 1u);
  Conversation& c = table.at(0);
  table.SetHostName(c.remoteAddress, nasty.c_str());  // as a DNS answer could name it

  // The stream report's summaries show the process columns too.
  struct : ProcessTable {
    ProcessInfo info{7, "proc<.exe", "user"};
    const ProcessInfo* Get(int32_t i) const override { return i == 0 ? &info : nullptr; }
  } processes;
  c.processIndex = 0;
  const ColumnContext ctx{o, &processes, &table.addresses()};
  const std::vector<int> columns = {6, 7, 17};  // the host names and Process Filename
  const std::string out = TempPath("esc.html");
  std::string error;
  ASSERT_TRUE(WriteStreamFile(out, kStreamHtml, {&c}, file, ctx, columns, false, &error, &table)) << error;
  const std::string html = ReadFileText(out);
  EXPECT_EQ(html.find(nasty), std::string::npos);
  EXPECT_NE(html.find("proc&lt;.exe"), std::string::npos);
  EXPECT_NE(html.find("GET /" + escaped), std::string::npos);                    // the content
  EXPECT_GE(html.find(escaped), html.find("<table"));                          // the summary's host name
  for (int mode : {3, 4}) {  // hex dump and URL list are escaped too
    o.DisplayMode = mode;
    ASSERT_TRUE(WriteStreamFile(out, kStreamHtml, {&c}, file, ctx, columns, false, &error, &table));
    const std::string h = ReadFileText(out);
    EXPECT_EQ(h.find("/" + nasty), std::string::npos) << mode;
  }
  file.ResetFile(false);
}
