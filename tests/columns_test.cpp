#include <random>

#include "app/list_tools.h"
#include "base/options.h"
#include "capture/columns.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(ColumnsTest, TextsAndOrdering) {
  FakePlatform platform;
  Options o;
  Conversation c;
  c.index = 12;
  c.protocol = kProtoTcp;
  c.localAddress = Addr("192.168.0.10");
  c.remoteAddress = Addr("10.1.2.3");
  c.localPort = 3456;
  c.remotePort = 443;
  c.packets = 1;
  c.outPackets = 1;
  c.totalSize = c.outTotalSize = 1500;
  c.dataSize = 1234567;
  c.firstTime = SystemTimeToFileTime({2024, 3, 0, 5, 10, 20, 30, 250});
  c.lastTime = c.firstTime + 36615000000LL;  // 1 h 1 min 1.5 s
  c.localMac[0] = 0x0a;
  c.localMac[5] = 0xff;
  for (auto& b : c.remoteMac) b = 0xFF;

  // Port 443 names the service (the local port has none); no valid speed,
  // a broadcast remote MAC and no process show nothing.
  const std::pair<int, const char*> texts[] = {
      {0, "12"}, {1, "TCP"}, {2, "192.168.0.10"}, {4, "3456"}, {8, "https"}, {9, "1"},
      {10, "1,234,567 Bytes"}, {11, "1,500 Bytes"}, {12, ""}, {13, "2024-03-05 10:20:30:250"},
      {15, "01:01:01.500"}, {19, "0a-00-00-00-00-ff"}, {20, ""}, {16, ""}, {23, ""}};
  for (const auto& [id, text] : texts) EXPECT_EQ(ColumnOf(c, id, o), text) << id;
  o.ShowOutgoingIncoming = 1;
  EXPECT_EQ(ColumnOf(c, 11, o), "1,500 Bytes  {1,500 ; 0}");
  EXPECT_EQ(ColumnOf(c, 9, o), "1  {1 ; 0}");
  c.speedValid = 1;
  c.speed = 12.34;
  EXPECT_EQ(ColumnOf(c, 12, o), "12.3 KB/Sec");
  // Speeds are rounded as printf rounds them, ties and near-ties included.
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; i++) {
    c.speed = i < 2000 ? (i / 2 + (i % 2 ? 0.05 : 0.25)) : double(rng() % 100000000) / double(1 + rng() % 100000);
    char want[64];
    snprintf(want, sizeof want, "%0.1f KB/Sec", c.speed);
    ASSERT_EQ(ColumnOf(c, 12, o), want);
  }

  c.localPort = 80;
  EXPECT_EQ(ColumnOf(c, 8, o), "http");  // a server port wins
  c.localPort = 81;
  EXPECT_EQ(ColumnOf(c, 8, o), "");      // below 1024 without a name: nothing
  c.protocol = kProtoIcmp;
  c.localPort = c.remotePort = 0;
  EXPECT_EQ(ColumnOf(c, 4, o), "");
  EXPECT_EQ(ColumnOf(c, 1, o), "ICMP");
  c.protocol = kProtoAny;
  EXPECT_EQ(ColumnOf(c, 1, o), "*");
  EXPECT_EQ(ColumnOf(c, 5, o), "*");
  c.firstTime = 0;
  EXPECT_EQ(ColumnOf(c, 13, o), ":000");

  // A stale speed still sorts; durations compare (the other columns' order: ListToolsTest.SortOrders).
  Conversation a, b;
  a.speed = 3;
  EXPECT_EQ(CompareColumn(a, b, 12), 1);
  a.lastTime = 100;
  b.firstTime = 50;
  b.lastTime = 100;
  EXPECT_EQ(CompareColumn(a, b, 15), 1);
}

TEST(ColumnsTest, FindRow) {
  FakePlatform platform;
  Options o;
  ColumnContext ctx{o};
  Conversation c;
  c.protocol = kProtoUdp;
  c.localAddress = Addr("10.0.0.1");
  c.remoteAddress = Addr("10.0.0.2");
  c.remotePort = 53;
  EXPECT_TRUE(RowContainsText(c, "Udp", false, ctx));
  EXPECT_FALSE(RowContainsText(c, "Udp", true, ctx));
  EXPECT_TRUE(RowContainsText(c, "0.0.2", true, ctx));
  EXPECT_FALSE(RowContainsText(c, "0.0.3", false, ctx));
  EXPECT_FALSE(RowContainsText(c, "", false, ctx));

  // Rows 1 and 3 match: next to the selection, in either direction, wrapping once.
  int visits = 0;
  auto match = [&](int r) { visits++; return r == 1 || r == 3; };
  EXPECT_EQ(FindRow(5, -1, true, match), 1);
  EXPECT_EQ(FindRow(5, 1, true, match), 3);
  EXPECT_EQ(FindRow(5, 3, true, match), 1);
  EXPECT_EQ(FindRow(5, 1, false, match), 3);
  EXPECT_EQ(FindRow(5, 0, false, match), 3);
  visits = 0;
  EXPECT_EQ(FindRow(5, 2, true, [&](int) { visits++; return false; }), -1);
  EXPECT_EQ(visits, 5);  // the whole list once
  EXPECT_EQ(FindRow(0, -1, true, match), -1);
}

// IPv6 rows show, find, sort and hand off their addresses; ICMPv6 is ICMP.
TEST(ColumnsTest, IPv6Rows) {
  FakePlatform platform;
  Options o;
  ConversationTable table(o, nullptr);
  Account(table, Ip6(17, "fe80::1", "2001:db8:0:0:1::1", 5, 53, "q"));
  Account(table, Ip6(6, "2001:db8::1", "2001:db8::ff", 3000, 443, "x"));
  Account(table, Ip6(58, "2001:db8::1", "::1", 0, 0, "ping"));
  Account(table, Ipv4Packet(6, "10.0.0.9", "10.0.0.1", 1, 2, 5));
  ASSERT_EQ(table.count(), 4u);
  const ColumnContext ctx{o, nullptr, &table.addresses()};
  const Conversation &udp = table.at(0), &tcp = table.at(1), &icmp = table.at(2), &v4 = table.at(3);
  char buf[kColumnTextSize];
  EXPECT_STREQ(ColumnText(icmp, 1, buf, ctx), "ICMP");  // the address texts: hostile_cli_test
  EXPECT_EQ(ColumnOf(tcp, 2, o), "");  // without the book no made-up IPv4 text
  EXPECT_TRUE(RowContainsText(udp, "DB8::1:0:0:1", false, ctx));
  EXPECT_FALSE(RowContainsText(tcp, "0.0.0", false, ctx));
  // IPv4 first, then IPv6 by value, not by text.
  const std::vector<const Conversation*> rows = {&udp, &tcp, &icmp, &v4};
  EXPECT_EQ(SortOrder(rows, {3}, ctx), (std::vector<uint32_t>{3, 2, 1, 0}));
  EXPECT_EQ(SortOrder(rows, {3 | kSortDescending}, ctx), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(CompareRows(v4, icmp, {2, 3}, ctx), -1);
  EXPECT_EQ(CompareRows(tcp, icmp, {2, 3}, ctx), 1);  // the same local address: the remote decides
  EXPECT_EQ(HandOffText({&v4, &tcp}, &table.addresses()), "2001:db8::ff\r\n2001:db8::1\r\n10.0.0.1\r\n10.0.0.9\r\n");
  EXPECT_EQ(HandOffText({&tcp}), "");
}
