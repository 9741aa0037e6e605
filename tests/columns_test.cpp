#include "base/options.h"
#include "capture/columns.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(ColumnsTest, Texts) {
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

  EXPECT_EQ(ColumnOf(c, 0, o), "12");
  EXPECT_EQ(ColumnOf(c, 1, o), "TCP");
  EXPECT_EQ(ColumnOf(c, 2, o), "192.168.0.10");
  EXPECT_EQ(ColumnOf(c, 4, o), "3456");
  EXPECT_EQ(ColumnOf(c, 8, o), "https");  // local port has no name: the remote one
  EXPECT_EQ(ColumnOf(c, 9, o), "1");
  EXPECT_EQ(ColumnOf(c, 10, o), "1,234,567 Bytes");
  EXPECT_EQ(ColumnOf(c, 11, o), "1,500 Bytes");
  EXPECT_EQ(ColumnOf(c, 12, o), "");  // no valid speed
  EXPECT_EQ(ColumnOf(c, 13, o), "2024-03-05 10:20:30:250");
  EXPECT_EQ(ColumnOf(c, 15, o), "01:01:01.500");
  EXPECT_EQ(ColumnOf(c, 19, o), "0a-00-00-00-00-ff");
  EXPECT_EQ(ColumnOf(c, 20, o), "");  // broadcast
  EXPECT_EQ(ColumnOf(c, 16, o), "");
  EXPECT_EQ(ColumnOf(c, 23, o), "");
  o.ShowOutgoingIncoming = 1;
  EXPECT_EQ(ColumnOf(c, 11, o), "1,500 Bytes  {1,500 ; 0}");
  EXPECT_EQ(ColumnOf(c, 9, o), "1  {1 ; 0}");
  c.speedValid = 1;
  c.speed = 12.34;
  EXPECT_EQ(ColumnOf(c, 12, o), "12.3 KB/Sec");

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
}

TEST(ColumnsTest, Ordering) {
  Conversation a, b;
  a.index = 2;
  b.index = 10;
  EXPECT_EQ(CompareColumn(a, b, 0), -1);
  EXPECT_EQ(CompareColumn(b, a, 0), 1);
  a.packets = -1;  // compared unsigned
  b.packets = 5;
  EXPECT_EQ(CompareColumn(a, b, 9), 1);
  a.dataSize = -1;
  EXPECT_EQ(CompareColumn(a, b, 10), -1);
  a.speed = 3;  // stale speed still sorts
  EXPECT_EQ(CompareColumn(a, b, 12), 1);
  a.lastTime = 100;
  b.firstTime = 50;
  b.lastTime = 100;
  EXPECT_EQ(CompareColumn(a, b, 15), 1);
  for (int text : {1, 2, 3, 6, 7, 8, 16, 19, 22}) EXPECT_EQ(CompareColumn(a, b, text), 255);
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
