#include <chrono>
#include <cstring>
#include <random>

#include "capture/conversation_table.h"
#include "capture/dns.h"
#include "gtest/gtest.h"
#include "packetfile/packet_file.h"
#include "test_support.h"

namespace {
struct TableFixture {
  FakePlatform platform;
  Options options;
  ConversationTable table{options, nullptr};
  FileTime t = 0;
  DnsNameCache cache;
  TableFixture() {
    table.local.v4 = Addr("10.0.0.5");
    table.dnsCache = &cache;
    t = platform.now;
  }
  Conversation* Feed(const Bytes& p, FileTime dt = 0) {
    return Account(table, p, t += dt);
  }
};
}  // namespace

TEST(TableTest, AccountsBothDirectionsAndOpensOnlyOnData) {
  TableFixture f;
  // A handshake without data opens nothing, and frame and byte counts agree
  // with tshark's: loopback.pcap and the others in ipv6_tshark_test.py.
  Conversation* c = f.Feed(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 60), 10000);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->dataSize, 60u);
  EXPECT_EQ(c->firstTime, f.t);
  EXPECT_EQ(c->speedValid, 0);  // one packet time only
  EXPECT_EQ(f.Feed(Ipv4Packet(6, "10.0.0.9", "10.0.0.5", 80, 1025, 964), 10000000), c);  // 1 s later
  EXPECT_EQ(f.Feed(Ipv4Packet(6, "10.0.0.9", "10.0.0.5", 80, 1025, 0)), c);  // pure ACK counts now
  EXPECT_EQ(c->outPackets, 1u);
  EXPECT_EQ(c->dataSize, 1024u);
  EXPECT_EQ(c->outDataSize, 60u);
  EXPECT_EQ(c->index, 1u);
  // Speed comes from the packet times: 1024 bytes over one second.
  EXPECT_EQ(c->speedValid, 1);
  EXPECT_DOUBLE_EQ(c->speed, 1.0);

  // ICMP request and reply form one conversation.
  Conversation* i = f.Feed(Ipv4Packet(1, "10.0.0.5", "10.0.0.9", 0, 0, 32));
  EXPECT_EQ(f.Feed(Ipv4Packet(1, "10.0.0.9", "10.0.0.5", 0, 0, 32)), i);
  EXPECT_EQ(i->index, 2u);
  EXPECT_EQ(i->dataSize, 64u);  // past the 8-byte ICMP header

  // Summary mode needs both switches; then TCP and UDP between two hosts merge.
  f.options.SummaryMode = 1;
  Conversation* u = f.Feed(Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 5000, 53, 10));
  EXPECT_NE(u, c);
  f.options.StatOnly = 1;
  Conversation* s = f.Feed(Ipv4Packet(17, "10.0.0.9", "10.0.0.5", 9, 9, 10));
  EXPECT_EQ(s, c);
  EXPECT_EQ(s->protocol, kProtoAny);
}

TEST(TableTest, IndexFindsWhatTheScanFinds) {
  // Random traffic over few hosts and ports, with mode switches in between:
  // the indexed and the scanning table must build identical tables.
  FakePlatform platform;
  Options o1, o2;
  ConversationTable indexed(o1, nullptr), scanned(o2, nullptr);
  scanned.SetUseIndex(false);
  indexed.local.v4 = scanned.local.v4 = Addr("10.0.0.1");
  std::mt19937 rng(7);
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "127.0.0.1"};
  const uint8_t protos[] = {1, 6, 17};
  for (int i = 0; i < 20000; i++) {
    if (i == 8000) o1.StatOnly = o1.SummaryMode = o2.StatOnly = o2.SummaryMode = 1;
    if (i == 14000) o1.SummaryMode = o2.SummaryMode = 0;
    Bytes p = Ipv4Packet(protos[rng() % 3], hosts[rng() % 4], hosts[rng() % 4],
                         uint16_t(rng() % 6), uint16_t(rng() % 6), rng() % 3);
    Conversation* a = Account(indexed, p, FileTime(i) * 1000);
    Conversation* b = Account(scanned, p, FileTime(i) * 1000);
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (a) {
      ASSERT_EQ(a->index, b->index) << i;
    }
  }
  ASSERT_EQ(indexed.count(), scanned.count());
  EXPECT_GT(indexed.count(), 100u);
  for (size_t i = 0; i < indexed.count(); i++) {
    EXPECT_EQ(indexed.at(i).packets, scanned.at(i).packets);
    EXPECT_EQ(indexed.at(i).dataSize, scanned.at(i).dataSize);
  }
}

TEST(TableTest, VisibilityNamesAndLookups) {
  TableFixture f;
  const uint8_t server[16] = {10, 0, 0, 9};
  f.cache.Add(kFamilyIPv4, server, "server.lan");
  Conversation* tcp = f.Feed(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1025, 80, 10));
  Conversation* udp = f.Feed(Ipv4Packet(17, "10.0.0.7", "10.0.0.5", 53, 3000, 10));
  ASSERT_TRUE(tcp && udp);
  EXPECT_STREQ(f.table.RemoteHost(*tcp), "server.lan");
  EXPECT_TRUE(f.table.IsVisible(*tcp));
  f.options.DisplayTCP = 0;
  EXPECT_FALSE(f.table.IsVisible(*tcp));
  f.options.DisplayTCP = 1;
  f.options.DisplayFilter = "exclude:both:udp";
  f.table.ParseDisplayFilter();
  EXPECT_FALSE(f.table.IsVisible(*udp));
  EXPECT_TRUE(f.table.IsVisible(*tcp));
  // Established and time-wait states: ProcessTest.ActiveConnectionsFollowTheTablesBetweenPasses.
  // Without attribution no state is known: the option must not empty the list.
  f.options.ShowOnlyActiveConnections = 1;
  EXPECT_TRUE(f.table.IsVisible(*tcp));
  struct NoAttribution : ProcessAttribution {
    void Run(ConversationTable&) override {}
  } attribution;
  f.table.processes = &attribution;
  EXPECT_FALSE(f.table.IsVisible(*tcp));
  f.table.processes = nullptr;

  struct Requests : NameResolver {
    void Request(uint32_t) override {}
    void AbandonPending() override {}
  } resolver;
  f.table.resolver = &resolver;
  f.table.QueueNameLookups();
  EXPECT_EQ(f.table.lookupList,
            std::vector<uint32_t>({Addr("10.0.0.5"), Addr("10.0.0.7")}));
  // 10.0.0.5 is the local side of both conversations.
  f.table.SetHostName(Addr("10.0.0.5"), std::string(200, 'h').c_str());
  EXPECT_EQ(std::string(f.table.LocalHost(*tcp)), std::string(kHostNameMax, 'h'));
  EXPECT_EQ(std::string(f.table.LocalHost(*udp)), std::string(kHostNameMax, 'h'));
  EXPECT_EQ(f.table.namesChanged, 1);
  // A batch: the later of two names for one address wins, as it would one call after another.
  f.table.SetHostNames({{Addr("10.0.0.7"), "old.lan"}, {Addr("10.0.0.9"), "web.lan"}, {Addr("10.0.0.7"), "dns.lan"}});
  EXPECT_STREQ(f.table.RemoteHost(*tcp), "web.lan");
  EXPECT_STREQ(f.table.RemoteHost(*udp), "dns.lan");
  EXPECT_EQ(std::string(f.table.LocalHost(*udp)), std::string(kHostNameMax, 'h'));
}

TEST(TableTest, RecordIndexKeepsEveryOffset) {
  // Enough records to chain many chunks across several pages, with deltas
  // of one to five varint bytes; an offset going backwards gives up the index.
  TableFixture f;
  const Bytes none = Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 5, 6, 10);  // in no packet file
  const Bytes a = Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 1, 2, 10);
  const Bytes b = Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 3, 4, 10);
  std::mt19937_64 rng(5);
  std::vector<uint64_t> want[2];
  uint64_t offset = 0;
  PacketHeader h;
  h.length = uint32_t(a.size());
  f.table.UpdateConversation(none.data(), h);
  for (int i = 0; i < 60000; i++) {
    offset += 1 + (rng() % 4 == 0 ? rng() % (1ULL << 33) : rng() % 300);
    const int k = int(rng() % 2);
    f.table.UpdateConversation((k ? b : a).data(), h, offset);
    want[k].push_back(offset);
  }
  ASSERT_EQ(f.table.count(), 3u);
  std::vector<uint64_t> got;
  EXPECT_FALSE(f.table.RecordOffsets(0, &got));
  for (size_t k = 0; k < 2; k++) {
    ASSERT_TRUE(f.table.RecordOffsets(k + 1, &got));
    EXPECT_TRUE(got == want[k]) << k;
  }
  // A record before the last (a fragment that waited for its first) stays.
  f.table.UpdateConversation(a.data(), h, 10);
  want[0].push_back(10);
  ASSERT_TRUE(f.table.RecordOffsets(1, &got));
  EXPECT_TRUE(got == want[0]);
  EXPECT_TRUE(f.table.RecordOffsets(2, &got));

  // Past the index's limit the conversation that needs more gives it up;
  // the others keep theirs.
  TableFixture g;
  g.table.LimitRecordIndex(64 * 1024);  // one page of chunks
  const Bytes c = Ipv4Packet(17, "10.0.0.5", "10.0.0.9", 7, 8, 10);
  g.table.UpdateConversation(c.data(), h, 1);
  for (uint64_t at = 2; at < 200000; at++) g.table.UpdateConversation(a.data(), h, at * 1000);
  g.table.UpdateConversation(c.data(), h, 300000000);
  EXPECT_FALSE(g.table.RecordOffsets(1, &got));
  ASSERT_TRUE(g.table.RecordOffsets(0, &got));
  EXPECT_EQ(got, (std::vector<uint64_t>{1, 300000000}));
}

// Addresses that one fixed function would hash alike (here the two halves
// of an IPv6 address under x * K + y) spread as any others do.
TEST(TableTest, AddressesCannotBeChosenToCollide) {
  AddressBook book;
  DnsNameCache cache;
  const auto start = std::chrono::steady_clock::now();
  uint8_t a[16];
  for (uint64_t i = 1; i <= 100000; i++) {
    const uint64_t y = 0x1234567890ULL - i * 0x9E3779B97F4A7C15ULL;
    memcpy(a, &i, 8);
    memcpy(a + 8, &y, 8);
    ASSERT_EQ(book.Intern6(a), i);
    cache.Add(kFamilyIPv6, a, "x");
  }
  EXPECT_EQ(book.Intern6(a), 100000u);
  EXPECT_EQ(cache.FindIPv6(a), 99999);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Large arrays are mapped in aligned huge pages and trimmed: every size
// must come zeroed and whole, and freeing one must leave its neighbours.
TEST(TableTest, PageArraysOfEverySizeAreWholeAndApart) {
  const size_t MiB = size_t(1) << 20;
  const size_t sizes[] = {1, 4096, MiB * 7 / 4 - 1, MiB * 7 / 4, 2 * MiB, 2 * MiB + 1, 5 * MiB + 3};
  std::vector<PageArray<uint8_t>> arrays;
  for (size_t n : sizes) {
    arrays.emplace_back(n);
    PageArray<uint8_t>& a = arrays.back();
    ASSERT_EQ(a.size(), n);
    EXPECT_EQ(a[0] | a[n / 2] | a[n - 1], 0);
    memset(a.data(), int(n & 0x7F) | 1, n);
  }
  for (size_t i = 0; i < arrays.size(); i += 2) arrays[i] = PageArray<uint8_t>();
  for (size_t i = 1; i < arrays.size(); i += 2) {
    const size_t n = sizes[i];
    EXPECT_EQ(arrays[i][0], uint8_t(int(n & 0x7F) | 1));
    EXPECT_EQ(arrays[i][n - 1], uint8_t(int(n & 0x7F) | 1));
  }
}
