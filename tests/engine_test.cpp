#include "gtest/gtest.h"
#include "test_support.h"

TEST(EngineTest, FilterLiveModeSuspensionStatOnlyAndImport) {
  CaptureRig r("exclude:remote:tcp:80");
  r.Send(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 10));   // filtered out
  r.Send(Ipv4Packet(47, "10.0.0.5", "10.0.0.9", 0, 0, 10));      // GRE: not filtered, not counted
  r.Send(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 443, 0));   // SYN: stored, not counted
  r.Send(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 443, 10));  // opens the conversation
  EXPECT_EQ(r.engine.packetCount, 1);
  EXPECT_EQ(r.table.count(), 1u);
  EXPECT_EQ(r.table.changed, 1);
  EXPECT_EQ(r.notifier.posts, 1);  // at most one notice pending
  r.options.captureActive = 0;     // suspended: nothing stored, counted or learned
  r.Send(WithPayload(17, "10.0.0.1", "10.0.0.5", 53, 4000, DnsResponse("x.example", {Addr("1.1.1.1")})));
  EXPECT_EQ(r.cache.size(), 0u);
  r.options.captureActive = 1;
  r.Send(Ipv4Packet(6, "10.0.0.9", "10.0.0.5", 443, 1025, 10));
  // A later IPv4 fragment, whose first bytes are no ports, goes where its first went: out.
  Bytes first = Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 40), later = Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 7, 9, 40);
  first[6] = 0x20, later[6] = 0, later[7] = 6, later[9] = 6;
  r.Send(first);
  r.Send(later);
  EXPECT_EQ(r.engine.packetCount, 2);
  EXPECT_EQ(r.StoredPackets(), 4u);

  // A later IPv6 fragment, which carries no ports, passes where its first did.
  CaptureRig six("include:remote:tcp:443");
  const Bytes dg = Ip6(6, "2001:db8::5", "2001:db8::9", 1025, 443, std::string(100, 'x'));
  six.Send(Fragment(dg, 7, 0, 48));
  six.Send(Fragment(dg, 7, 48, dg.size() - 40));
  ASSERT_EQ(six.table.count(), 1u);
  EXPECT_EQ(six.table.at(0).packets, 2u);
  {
    CaptureRig r;
    r.options.LiveMode = 0;
    r.Send(Ipv4Packet(47, "10.0.0.5", "10.0.0.9", 0, 0, 10));
    r.Send(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 443, 0));
    EXPECT_EQ(r.engine.packetCount, 2);
    EXPECT_EQ(r.table.count(), 0u);
    // The stop rebuilds the table from the file, with the stored times.
    r.Send(Ipv4Packet(6, "10.0.0.9", "10.0.0.5", 443, 1025, 5));
    EXPECT_EQ(r.table.count(), 0u);
    r.file.CloseWriting();
    EXPECT_TRUE(r.table.RebuildFromFile());
    ASSERT_EQ(r.table.count(), 1u);
    EXPECT_EQ(r.table.at(0).packets, 1u);
    EXPECT_EQ(r.table.at(0).firstTime, r.platform.now);
  }
  {
    CaptureRig r;
    r.options.StatOnly = 1;
    r.Send(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 443, 10));
    EXPECT_EQ(r.table.count(), 1u);
    EXPECT_EQ(r.StoredPackets(), 0u);
  }
  {
    // Import: stored with its own time, neither filtered nor counted; DNS learned.
    CaptureRig r("exclude:both:all");
    r.table.importMode = 1;
    r.engine.running = false;
    Bytes dns = WithPayload(17, "10.0.0.1", "10.0.0.5", 53, 4000, DnsResponse("x.example", {Addr("10.0.0.9")}));
    r.engine.OnPacket(dns.data(), int32_t(dns.size()), nullptr, nullptr, 123456789);
    Bytes p = Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 443, 10);
    r.engine.OnPacket(p.data(), int32_t(p.size()), nullptr, nullptr, 223456789);
    // With IPv6 capture off an IPv6 packet is not even kept.
    r.options.CaptureIPv6 = 0;
    r.Send(AsIPv6(p, "2001:db8::5", "2001:db8::9", {}));
    EXPECT_EQ(r.engine.packetCount, 0);
    EXPECT_EQ(r.StoredPackets(), 2u);
    r.table.importMode = 0;
    r.table.RebuildFromFile();
    ASSERT_EQ(r.table.count(), 2u);
    EXPECT_EQ(r.table.at(1).firstTime, 223456789u);
    EXPECT_STREQ(r.table.RemoteHost(r.table.at(1)), "x.example");
  }
}
