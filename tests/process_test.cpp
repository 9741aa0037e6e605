#include <random>

#include "enrich/firewall.h"
#include "enrich/process_attribution.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {
class FakeTables : public SystemTables {
 public:
  bool Supported() override { return supported; }
  bool ReadEndpoints(std::vector<EndpointEntry>* out) override {
    reads++;
    *out = entries;
    return readable;
  }
  void DescribeProcess(uint32_t pid, char (&path)[261], char (&user)[64]) override {
    described[pid]++;
    snprintf(path, sizeof path, "C:\\bin\\p%u.exe", pid);
    snprintf(user, sizeof user, "%s", pid == 7 ? std::string(80, 'u').c_str() : "HOST\\me");
  }
  void Tcp(const char* la, uint16_t lp, const char* ra, uint16_t rp, uint32_t pid, int32_t state = 5) {
    EndpointEntry e;
    e.kind = 1;
    e.state = state;
    if (strchr(la, ':')) {
      e.family = 23;
      ParseIPv6(la, strlen(la), e.localAddress6);
      if (ra) ParseIPv6(ra, strlen(ra), e.remoteAddress6);
    } else {
      e.localAddress = Addr(la);
      e.remoteAddress = ra ? Addr(ra) : 0;
    }
    e.localPort = EndpointPortField(lp);
    e.remotePort = ra ? EndpointPortField(rp) : 0;
    e.pid = pid;
    entries.push_back(e);
  }
  void Udp(const char* la, uint16_t lp, uint32_t pid) {
    Tcp(la, lp, nullptr, 0, pid, 0);
    entries.back().kind = 2;
  }
  bool supported = true, readable = true;
  int reads = 0;
  std::map<uint32_t, int> described;
  std::vector<EndpointEntry> entries;
};

struct Fixture {
  FakePlatform platform;
  Options options;
  ConversationTable table{options, nullptr};
  FakeTables system;
  ProcessAttributor attributor{options, system};
  Fixture() {
    table.local.v4 = Addr("10.0.0.5");
    table.local.v6 = {V6("a00:5::")};
    table.processes = &attributor;
    options.GetProcessInfo = 1;
  }
  Conversation* Feed(uint8_t proto, const char* src, const char* dst, uint16_t sport, uint16_t dport) {
    if (!strchr(src, ':')) return Account(table, Ipv4Packet(proto, src, dst, sport, dport, 10));
    return Account(table, AsIPv6(Ipv4Packet(proto, "0.0.0.0", "0.0.0.0", sport, dport, 10), src, dst));
  }
  const ProcessInfo* Process(size_t i) { return attributor.Get(table.at(i).processIndex); }
  uint32_t Pid(size_t i) { return Process(i) ? Process(i)->processId : 0; }
};
}  // namespace

TEST(ProcessTest, DirectAndMirroredRowsListenersAndIcmp) {
  Fixture f;
  // Direct against mirrored rows and rows without a PID: the reference scan below.
  f.system.Tcp("10.0.0.5", 1025, nullptr, 0, 3, 2);                 // listening: never matches
  f.system.Tcp("10.0.0.5", 1025, "10.0.0.9", 80, 5);
  f.system.Tcp("10.0.0.7", 443, "10.0.0.5", 1030, 7, 11);           // only mirrored
  // A loopback connection whose local side's owner is unknown (as under
  // Wine for a socket of a Linux program): the other end's owner shows.
  f.system.Tcp("10.0.0.5", 3000, "10.0.0.5", 3001, 0, 10);
  f.system.Tcp("10.0.0.5", 3001, "10.0.0.5", 3000, 8, 5);
  // A time-wait row's PID 0 means the owner is gone: nothing is borrowed.
  f.system.Tcp("10.0.0.5", 3002, "10.0.0.5", 3003, 0, 11);
  f.system.Tcp("10.0.0.5", 3003, "10.0.0.5", 3002, 9, 5);
  f.Feed(6, "10.0.0.5", "10.0.0.9", 1025, 80);
  f.Feed(6, "10.0.0.5", "10.0.0.7", 1030, 443);
  f.Feed(1, "10.0.0.5", "10.0.0.9", 0, 0);
  f.Feed(6, "10.0.0.5", "10.0.0.5", 3001, 3000);
  f.Feed(6, "10.0.0.5", "10.0.0.5", 3003, 3002);
  ASSERT_EQ(f.table.count(), 5u);
  const uint32_t want[] = {5, 7, 0, 8, 0};
  for (size_t i = 0; i < 5; i++) EXPECT_EQ(f.Pid(i), want[i]) << i;
  EXPECT_STREQ(f.Process(0)->fileName, "C:\\bin\\p5.exe");
  EXPECT_STREQ(f.Process(0)->user, "HOST\\me");
  EXPECT_EQ(strlen(f.Process(1)->user), 62u);  // the account text is cut
  // Later passes leave an attributed conversation alone; its state only
  // matters to the active view.
  EXPECT_EQ(f.table.at(0).connectionState, 0);
  // One system read per new conversation, one description per PID.
  EXPECT_EQ(f.system.reads, 5);
  EXPECT_EQ(f.system.described[5], 1);
  // The state stays the direct entry's.
  f.options.ShowOnlyActiveConnections = 1;
  f.attributor.Run(f.table);
  EXPECT_EQ(f.table.at(3).connectionState, 10);
  EXPECT_EQ(f.Pid(3), 8u);
}

TEST(ProcessTest, OptionsFilesAndOlderSystemsSkipThePass) {
  Fixture f;
  f.system.Tcp("10.0.0.5", 1025, "10.0.0.9", 80, 5);
  f.options.GetProcessInfo = 0;
  f.Feed(6, "10.0.0.5", "10.0.0.9", 1025, 80);
  f.options.GetProcessInfo = 1;
  f.system.supported = false;
  f.Feed(6, "10.0.0.5", "10.0.0.9", 1027, 80);
  EXPECT_EQ(f.system.reads, 0);
  EXPECT_EQ(f.table.at(0).processIndex, -1);
  // A replay of the file reads the system tables once, whatever the number
  // of conversations; the next live pass reads them again.
  f.system.supported = true;
  f.table.replays++;
  f.table.replaying = true;
  for (uint16_t port = 2000; port < 2100; port++) f.Feed(6, "10.0.0.5", "10.0.0.9", port, 80);
  f.system.Tcp("10.0.0.5", 2050, "10.0.0.9", 80, 6);
  f.Feed(6, "10.0.0.5", "10.0.0.9", 2050, 80);
  EXPECT_EQ(f.system.reads, 1);
  f.table.replaying = false;
  f.Feed(6, "10.0.0.5", "10.0.0.9", 2100, 80);
  EXPECT_EQ(f.system.reads, 2);
  EXPECT_EQ(f.Pid(2 + 50), 6u);

  // A capture read from a file, imported or in place, is never matched
  // against this machine's connections: not in its import, its rebuild nor later.
  f.options.ShowOnlyActiveConnections = 1;
  PacketFile file;
  const Bytes p = Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 2050, 80, 10);
  WritePackets(file, {p});
  WriteFileBytes(TempPath("f.pcap"), PcapFile({{Ethernet(p)}}));
  for (const std::string& path : {std::string(file.name()), TempPath("f.pcap")}) {
    PacketFile loaded;
    ConversationTable table(f.options, &loaded);
    table.processes = &f.attributor;
    ASSERT_TRUE(LoadCaptureWithPackets(path.c_str(), table, loaded, f.options).ok);
    f.attributor.Run(table);
    EXPECT_EQ(table.at(0).processIndex, -1);
  }
  EXPECT_EQ(f.system.reads, 2);
}

TEST(ProcessTest, ActiveConnectionsFollowTheTablesBetweenPasses) {
  Fixture f;
  f.options.GetProcessInfo = 0;
  f.options.ShowOnlyActiveConnections = 1;
  f.system.Tcp("10.0.0.5", 1025, "10.0.0.9", 80, 5);
  f.system.Tcp("10.0.0.5", 1026, "10.0.0.9", 80, 6);
  f.Feed(6, "10.0.0.5", "10.0.0.9", 1025, 80);
  f.Feed(6, "10.0.0.5", "10.0.0.9", 1026, 80);
  EXPECT_TRUE(f.table.IsVisible(f.table.at(0)));
  EXPECT_TRUE(f.table.IsVisible(f.table.at(1)));
  // The first connection goes to time-wait under a new owner, the second
  // leaves the table.
  f.system.entries.clear();
  f.system.Tcp("10.0.0.5", 1025, "10.0.0.9", 80, 8, 11);
  f.attributor.Run(f.table);
  EXPECT_TRUE(f.attributor.changed);
  EXPECT_EQ(f.table.at(0).connectionState, 11);
  EXPECT_EQ(f.Pid(0), 8u);
  EXPECT_EQ(f.table.at(1).connectionState, 0);
  EXPECT_FALSE(f.table.IsVisible(f.table.at(0)));
  EXPECT_FALSE(f.table.IsVisible(f.table.at(1)));
  f.attributor.Run(f.table);
  EXPECT_FALSE(f.attributor.changed);
  // Without the active view an attributed conversation keeps its process.
  f.options.ShowOnlyActiveConnections = 0;
  f.options.GetProcessInfo = 1;
  f.system.entries.clear();
  f.system.Tcp("10.0.0.5", 1025, "10.0.0.9", 80, 9);
  f.attributor.Run(f.table);
  EXPECT_EQ(f.Pid(0), 8u);
  EXPECT_EQ(f.table.at(0).connectionState, 0);
  // A new capture forgets the processes.
  f.attributor.ClearProcessCache();
  EXPECT_EQ(f.Process(0), nullptr);
}

namespace {
class FakeFirewall : public FirewallAccess {
 public:
  bool Open() override {
    log += "open ";
    return openable;
  }
  void Close() override { log += "close"; }
  bool Enabled() override { return enabled; }
  bool HasEntry(const std::string& p) override { return entries.count(p) > 0; }
  bool EnableEntry(const std::string& p) override { return entries[p] = true; }
  bool AddEntry(const std::string& p, const char* name) override {
    entries[p] = true;
    names[p] = name;
    return true;
  }
  bool RemoveEntry(const std::string& p) override { return entries.erase(p) > 0; }
  bool openable = true, enabled = true;
  std::map<std::string, bool> entries;
  std::map<std::string, std::string> names;
  std::string log;
};
}  // namespace

TEST(ProcessTest, FirewallEntryFollowsTheCapture) {
  const std::string exe = "C:\\Pakrill\\pakrill.exe";
  FakeFirewall fw;
  fw.enabled = false;
  EXPECT_TRUE(AddToFirewall(fw, exe));
  EXPECT_TRUE(fw.entries.empty());
  fw.enabled = true;
  fw.entries[exe] = false;  // listed but disabled
  EXPECT_TRUE(AddToFirewall(fw, exe));
  EXPECT_TRUE(fw.entries[exe]);
  EXPECT_TRUE(fw.names.empty());
  EXPECT_TRUE(RemoveFromFirewall(fw, exe));
  EXPECT_TRUE(fw.entries.empty());
  EXPECT_TRUE(RemoveFromFirewall(fw, exe));
  EXPECT_TRUE(AddToFirewall(fw, exe));
  EXPECT_EQ(fw.names[exe], "Toveral Pakrill");
  // Missing classes: the calls fail, and whatever was opened is released.
  fw.openable = false;
  fw.log.clear();
  EXPECT_FALSE(AddToFirewall(fw, exe));
  EXPECT_EQ(fw.log, "open close");
}

TEST(ProcessTest, PassesAgreeWithAScanOfTheEntriesPerConversation) {
  Fixture f;
  std::mt19937 rng(3);
  // Both families, the IPv6 addresses beginning with the IPv4 ones' bytes:
  // only the family tells them apart.
  auto addr = [&](bool v6, int i) { return (v6 ? "a00:" : "10.0.0.") + std::to_string(5 + i) + (v6 ? "::" : ""); };
  for (int n = 0; n < 600; n++) {
    const bool v6 = rng() % 2;
    const std::string a = addr(v6, int(rng() % 3)), b = addr(v6, int(rng() % 3));
    const uint16_t pa = uint16_t(1000 + rng() % 6), pb = uint16_t(1000 + rng() % 6);
    f.system.Tcp(a.c_str(), pa, b.c_str(), pb, rng() % 4 ? 100 + uint32_t(n) : 0);
  }
  for (int n = 0; n < 800; n++) {
    const bool v6 = rng() % 2;
    const std::string a = addr(v6, 0), b = addr(v6, int(rng() % 3));
    f.Feed(6, a.c_str(), b.c_str(), uint16_t(1000 + rng() % 6), uint16_t(1000 + rng() % 6));
  }
  ASSERT_GT(f.table.count(), 40u);
  EXPECT_EQ(f.system.reads, int(f.table.count()));
  size_t owned6 = 0;
  for (size_t i = 0; i < f.table.count(); i++)
    owned6 += f.table.IsIPv6(f.table.at(i)) && f.table.at(i).processIndex >= 0;
  EXPECT_GT(owned6, 10u);
  // Passes after each new conversation, then one full pass that re-matches all.
  for (int round = 0; round < 2; round++)
  for (size_t i = 0; i < f.table.count(); i++) {
    const Conversation& c = f.table.at(i);
    // The first direct entry naming a process, else the last mirrored one.
    uint32_t want = 0;
    const IpAddress local = f.table.LocalIp(c), remote = f.table.RemoteIp(c);
    for (const EndpointEntry& e : f.system.entries) {
      const uint16_t lp = EndpointPort(e.localPort), rp = EndpointPort(e.remotePort);
      if (!e.pid) continue;
      if (EndpointLocal(e) == local && EndpointRemote(e) == remote && lp == c.localPort && rp == c.remotePort) {
        want = e.pid;
        break;
      }
      if (EndpointLocal(e) == remote && EndpointRemote(e) == local && lp == c.remotePort && rp == c.localPort)
        want = e.pid;
    }
    ASSERT_EQ(f.Pid(i), want) << i;
    if (i + 1 == f.table.count() && round == 0) {
      f.options.ShowOnlyActiveConnections = 1;
      f.attributor.Run(f.table);
    }
  }
}

TEST(ProcessTest, UdpByLocalSocketOnceAtItsFirstPacket) {
  Fixture f;
  f.system.Udp("0.0.0.0", 5353, 9);
  f.system.Udp("10.0.0.5", 5353, 4);  // its own address before any
  f.system.Udp("0.0.0.0", 53, 6);     // a local server
  f.system.Udp("10.0.0.5", 6000, 0);  // owner unknown
  f.system.Udp("127.0.0.1", 7000, 11);
  f.system.Udp("::", 547, 12);
  f.system.Tcp("10.0.0.5", 40001, "10.0.0.9", 53, 13);  // TCP never names UDP
  f.Feed(17, "10.0.0.5", "10.0.0.9", 5353, 5353);
  f.Feed(17, "10.0.0.9", "10.0.0.5", 1234, 53);
  f.Feed(17, "10.0.0.5", "8.8.8.8", 40000, 53);   // not the local server's
  f.Feed(17, "10.0.0.5", "10.0.0.9", 40001, 53);
  f.Feed(17, "10.0.0.5", "10.0.0.9", 6000, 9);
  f.Feed(17, "127.0.0.1", "127.0.0.1", 7001, 7000);  // the receiver's, over loopback
  f.Feed(17, "a00:5::", "a00:9::", 547, 546);
  const uint32_t want[] = {4, 6, 0, 0, 0, 11, 12};
  ASSERT_EQ(f.table.count(), 7u);
  for (size_t i = 0; i < 7; i++) EXPECT_EQ(f.Pid(i), want[i]) << i;
  // A socket that opens after its conversation began does not name it later
  // (it would cost every pass), nor does a closed one unname one.
  f.system.entries.clear();
  f.system.Udp("0.0.0.0", 40000, 20);
  f.Feed(17, "10.0.0.5", "10.0.0.9", 1, 2);
  f.options.ShowOnlyActiveConnections = 1;
  f.attributor.Run(f.table);
  EXPECT_EQ(f.table.at(2).processIndex, -1);
  EXPECT_EQ(f.Pid(0), 4u);
  // A cleared table's conversations are new ones.
  f.options.ShowOnlyActiveConnections = 0;
  f.table.Clear();
  f.Feed(17, "10.0.0.5", "8.8.8.8", 40000, 53);
  EXPECT_EQ(f.Pid(0), 20u);
}
