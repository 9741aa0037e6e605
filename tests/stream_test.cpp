#include <random>

#include "gtest/gtest.h"
#include "stream/stream_formatter.h"
#include "test_support.h"

static std::string Str(const StreamBlock& b) { return BlockCollector::BlockText(b); }

TEST(StreamTest, PlacementBySequenceNumber) {
  StreamBlock b;
  Place(b, 1000, "hello");
  Place(b, 1000, "hello");  // a retransmission is output once
  EXPECT_EQ(Str(b), "hello");
  Place(b, 1003, "LOworld");  // overlap: the later bytes win
  EXPECT_EQ(Str(b), "helLOworld");
  Place(b, 990, "0123456789");  // exactly before the base: in front, base moves
  EXPECT_EQ(Str(b), "0123456789helLOworld");
  EXPECT_EQ(b.baseSequence, 990u);
  Place(b, 990 - 40000, "x");  // too far before: dropped
  Place(b, 990 + 20 + 70000, "y");  // too far past the end: dropped
  EXPECT_EQ(b.bytes.length(), 20u);
  Place(b, 990 + 20 + 100, "z");  // a gap of 100 zero bytes
  ASSERT_EQ(b.bytes.length(), 121u);
  EXPECT_EQ(b.bytes.data()[50], 0);
  EXPECT_EQ(b.bytes.data()[120], 'z');

  StreamBlock g;  // before the base with a gap: zero bytes between
  Place(g, 100, "b");
  Place(g, 90, "a");
  EXPECT_EQ(Str(g), std::string("a\0\0\0\0\0\0\0\0\0b", 11));
  StreamBlock w;  // wrap-around: base 256 below 2^32, next at 256 lands at 512
  Place(w, 0xFFFFFF00u, std::string(256, 'a'));
  Place(w, 256, "b");
  ASSERT_EQ(w.bytes.length(), 513u);
  EXPECT_EQ(w.bytes.data()[512], 'b');

  StreamBlock u;  // UDP: concatenated
  PlacePayload(u, false, 0, reinterpret_cast<const uint8_t*>("ab"), 2);
  PlacePayload(u, false, 0, reinterpret_cast<const uint8_t*>("cd"), 2);
  EXPECT_EQ(Str(u), "abcd");

  // A long download in order: every byte in place, and the buffer grows by
  // doubling (a linear step would copy the block once per 16 KB).
  StreamBlock big;
  std::string sent;
  for (uint32_t i = 0, seq = 7; i < 3000; i++) {
    const std::string seg(1448, char('A' + i % 26));
    Place(big, seq, seg);
    sent += seg;
    seq += 1448;
  }
  EXPECT_TRUE(Str(big) == sent);
  EXPECT_LE(big.bytes.capacity(), 2 * sent.size() + 16384);
  const size_t cap = big.bytes.capacity();
  big.bytes.Clear();
  EXPECT_EQ(big.bytes.capacity(), cap);  // a cleared block keeps its storage
}

// A segment sent again after the other side spoke is output once (a new
// connection on the same ports starts afresh), and a gap a reordered
// segment fills is no gap.
TEST(StreamTest, LateRetransmissionsAndFilledGaps) {
  Bytes syn = Tcp("10.0.0.1", "10.0.0.2", 3000, 80, 49, "");
  syn[33] |= 0x02;
  PacketFile file;
  WritePackets(file, {
      Tcp("10.0.0.1", "10.0.0.2", 3000, 80, 100, "GET /a\n"),
      Tcp("10.0.0.2", "10.0.0.1", 80, 3000, 9000, "one\n"),
      Tcp("10.0.0.1", "10.0.0.2", 3000, 80, 107, "GET /b\n"),
      Tcp("10.0.0.2", "10.0.0.1", 80, 3000, 9000, "one\n"),  // its ACK was lost
      Tcp("10.0.0.2", "10.0.0.1", 80, 3000, 9002, "e\ntwo\n"),  // overlaps it
      Tcp("10.0.0.1", "10.0.0.2", 3000, 80, 100, "GET /a\n"),
      syn,
      Tcp("10.0.0.1", "10.0.0.2", 3000, 80, 50, "GET /c\n"),  // behind, yet new
  });
  Conversation c;
  c.protocol = kProtoTcp;
  c.localAddress = Addr("10.0.0.1");
  c.remoteAddress = Addr("10.0.0.2");
  c.localPort = 3000;
  c.remotePort = 80;
  BlockCollector sink;
  EXPECT_EQ(LoadStream(file, c, sink, false), LoadResult::Complete);
  const std::vector<std::pair<int, std::string>> want = {
      {1, "GET /a\n"}, {2, "one\n"}, {1, "GET /b\n"}, {2, "two\n"}, {1, "GET /c\n"}};
  EXPECT_EQ(sink.blocks, want);

  StreamBlock b;
  Place(b, 100, "ab");
  Place(b, 104, "ef");
  EXPECT_TRUE(b.lacking());
  Place(b, 102, "cd");
  EXPECT_FALSE(b.lacking());
  Place(b, 90, "x");  // moves the start back, leaving 9 zero bytes
  EXPECT_TRUE(b.lacking());
  Place(b, 91, "123456789");
  EXPECT_FALSE(b.lacking());
  EXPECT_EQ(Str(b), "x123456789abcdef");
}

// Between two hosts the addresses tell the directions apart, on loopback the
// ports; seen from the other side every direction turns.
TEST(StreamTest, BlocksPerDirectionBetweenHostsAndOnLoopback) {
  FakePlatform platform;
  for (bool loopback : {false, true}) {
    SCOPED_TRACE(loopback ? "loopback" : "two hosts");
    const char* me = loopback ? "127.0.0.1" : "192.168.1.5";
    const char* peer = loopback ? "127.0.0.1" : "10.9.8.7";
    PacketFile file;
    WritePackets(file, {
        Tcp(me, peer, 3000, 80, 100, "GET / HTTP/1.0\r\n"),
        Tcp(me, peer, 3000, 80, 116, "\r\n"),
        Tcp(peer, me, 80, 3000, 9000, ""),  // pure ACK: changes nothing
        Tcp(peer, me, 80, 3000, 9000, "HTTP/1.0 200 OK\r\n"),
        Tcp(peer, me, 80, 3000, 9017, "+more"),
        Tcp(me, loopback ? peer : "10.9.8.8", loopback ? 6000 : 3000, 80, 1, "other conversation"),
        Tcp(me, peer, 3000, 80, 118, "bye"),
    });
    Conversation c;
    c.protocol = kProtoTcp;
    c.localAddress = Addr(me);
    c.remoteAddress = Addr(peer);
    c.localPort = 3000;
    c.remotePort = 80;
    BlockCollector sink;
    EXPECT_EQ(LoadStream(file, c, sink, false), LoadResult::Complete);
    const std::vector<std::pair<int, std::string>> want = {
        {1, "GET / HTTP/1.0\r\n\r\n"}, {2, "HTTP/1.0 200 OK\r\n+more"}, {1, "bye"}};
    EXPECT_EQ(sink.blocks, want);

    std::swap(c.localAddress, c.remoteAddress);
    std::swap(c.localPort, c.remotePort);
    BlockCollector other;
    LoadStream(file, c, other, false);
    for (auto& block : other.blocks) block.first = 3 - block.first;
    EXPECT_EQ(other.blocks, want);

    // While a capture runs, a load that passes the budget stops.
    platform.tick = 0;
    struct Slow : BlockCollector {
      FakePlatform* p;
      void OnBlock(const StreamBlock& b) override {
        BlockCollector::OnBlock(b);
        p->tick += 200;
      }
    } slow;
    slow.p = &platform;
    EXPECT_EQ(LoadStream(file, c, slow, true), LoadResult::BudgetExhausted);
    EXPECT_EQ(slow.blocks.size(), 1u);
    file.ResetFile(false);
  }
}

TEST(StreamTest, FormatterModes) {
  FakePlatform platform;
  Options o;
  FormatterSettings s{o, false, true};
  const std::string get = "GET /index.html HTTP/1.1\r\n";
  const uint8_t* d = reinterpret_cast<const uint8_t*>(get.data());
  EXPECT_EQ(HexDump(d, get.size(), s),
            "00000000  47 45 54 20 2F 69 6E 64  65 78 2E 68 74 6D 6C 20   GET /ind ex.html  \r\n"
            "00000010  48 54 54 50 2F 31 2E 31  0D 0A                     HTTP/1.1 ..\r\n");
  o.HexDumpCharsPerLine = 3;  // used as 4
  o.HexDumpCharsSpc = 0;
  EXPECT_EQ(HexDump(d, 5, s), "00000000  47 45 54 20  GET \r\n00000004  2F           /\r\n");

  o = Options();
  std::string bin(100, 'a');
  bin[63] = 1;
  EXPECT_EQ(ResolveDisplayMode(reinterpret_cast<const uint8_t*>(bin.data()), bin.size(), s), 3);
  bin[63] = 'a';
  bin[64] = 1;  // beyond the bytes examined
  EXPECT_EQ(ResolveDisplayMode(reinterpret_cast<const uint8_t*>(bin.data()), bin.size(), s), 2);
  std::string big(200 * 1024, '\x01');
  EXPECT_EQ(ResolveDisplayMode(reinterpret_cast<const uint8_t*>(big.data()), big.size(), s), 2);
  FormatterSettings file{o, true, false};
  EXPECT_EQ(ResolveDisplayMode(reinterpret_cast<const uint8_t*>(big.data()), big.size(), file), 3);

  Pieces out;
  StreamBlock b;
  b.direction = 2;
  b.bytes.Set("GET /a HTTP/1.1\r\nHost: h\r\n\r\n\x7f\x80\x01", 31);
  o.DisplayMode = 2;  // Ascii: byte 127 stays, the others are replaced
  FormatBlock(b, s, out);
  EXPECT_EQ(out.text, std::string("GET /a HTTP/1.1\r\nHost: h\r\n\r\n\x7f..\r\n"));
  o.DisplayMode = 4;
  out.text.clear();
  b.direction = 1;
  FormatBlock(b, s, out);
  EXPECT_EQ(out.text, "http://h/a\r\n");
  EXPECT_EQ(out.colors, (std::vector<uint32_t>{uint32_t(o.ForeColorRemote), uint32_t(o.ForeColorLocal)}));
}

TEST(StreamTest, IndexedLoadEqualsFullScan) {
  // Live accounting and a rebuild both note where each conversation's
  // records lie; loading from them must give exactly the full scan's blocks.
  CaptureRig r;
  PacketFile& file = r.file;
  ConversationTable& table = r.table;
  std::mt19937 rng(3);
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1"};
  for (int i = 0; i < 3000; i++) {
    const int a = int(rng() % 3), b = int(rng() % 3);
    const uint16_t sp = uint16_t(1 + rng() % 4), dp = uint16_t(1 + rng() % 4);
    std::string data(rng() % 40, char('a' + rng() % 26));
    Bytes p = rng() % 3 ? Tcp(hosts[a], hosts[b], sp, dp, uint32_t(rng() % 5000), data)
                        : WithPayload(17, hosts[a], hosts[b], sp, dp, Bytes(data.begin(), data.end()));
    r.Send(p);
  }
  file.CloseWriting();
  auto compare = [&](const char* when) {
    ASSERT_GT(table.count(), 10u) << when;
    for (size_t i = 0; i < table.count(); i++) {
      std::vector<uint64_t> offsets;
      ASSERT_TRUE(table.RecordOffsets(i, &offsets)) << when;
      BlockCollector scan, indexed;
      LoadStream(file, table.at(i), scan, false);
      LoadStream(file, table.at(i), indexed, false, &table);
      ASSERT_EQ(scan.blocks, indexed.blocks) << when << " conversation " << i;
    }
  };
  compare("live");
  table.Clear();
  table.RebuildFromFile();
  compare("rebuilt");
}

// A datagram's later fragments far past its first cost no more zeros than
// a TCP gap may.
TEST(StreamTest, FragmentGapsAreBounded) {
  FakePlatform platform;
  Options o;
  PacketFile file;
  const Bytes far = Ip6(17, "2001:db8::2", "2001:db8::1", 53, 4000, std::string(65100, 'z'));
  std::vector<Bytes> packets;
  for (uint32_t id = 1; id <= 100; id++) {
    packets.push_back(Fragment(far, id, 0, 16));
    packets.push_back(Fragment(far, id, 65000, 65108));
  }
  WritePackets(file, packets);
  ConversationTable table(o, &file);
  ASSERT_TRUE(table.RebuildFromFile());
  BlockCollector sink;
  LoadStream(file, table.at(0), sink, false, &table);
  ASSERT_EQ(sink.blocks.size(), 1u);
  EXPECT_LT(sink.blocks[0].second.size(), kMaxZeroFill + (1u << 20));
  file.ResetFile(false);
}

// IPv6 conversations load by their addresses' bytes; later fragments take
// their place from their first one and their offset, out of order, twice,
// or after an identification came round.
TEST(StreamTest, IPv6Conversations) {
  FakePlatform platform;
  Options o;
  PacketFile file;
  const char *me = "2001:db8::1", *peer = "2001:db8::2";
  const std::string tcp = "0123456789abcdefghij", udp = std::string(20, 'a') + std::string(16, 'b');
  const std::string udp2 = std::string(36, 'c');
  const Bytes t = Ip6(6, me, peer, 4000, 80, tcp, 118), u = Ip6(17, peer, me, 53, 4000, udp),
              u2 = Ip6(17, peer, me, 53, 4000, udp2);
  WritePackets(file, {
      Ip6(6, me, peer, 4000, 80, "GET / HTTP/1.0\r\n\r\n", 100),
      Ip6(6, me, "2001:db8::3", 4000, 80, "other", 100),
      Ip6(6, peer, me, 80, 4000, "HTTP/1.0 200 OK\r\n", 9000),
      Fragment(u, 7, 0, 16),
      Fragment(t, 7, 0, 24),
      Fragment(Ip6(17, me, peer, 4000, 53, udp), 7, 16, 44),  // another's id
      Fragment(t, 7, 32, 40),
      Fragment(u, 7, 32, 44),
      Fragment(t, 7, 24, 32),
      Fragment(u, 7, 16, 32),
      Fragment(t, 7, 32, 40),
      Fragment(u, 7, 16, 32),
      Fragment(u2, 7, 0, 16),
      Fragment(u2, 7, 16, 44),
      Ip6(6, "::1", "::1", 5000, 80, "ping"),
      Ip6(6, "::1", "::1", 80, 5000, "pong"),
  });
  ConversationTable table(o, &file);
  ASSERT_TRUE(table.RebuildFromFile());
  ASSERT_EQ(table.count(), 4u);
  const std::vector<std::vector<std::pair<int, std::string>>> want = {
      {{1, "GET / HTTP/1.0\r\n\r\n"}, {2, "HTTP/1.0 200 OK\r\n"}, {1, tcp}}, {{1, "other"}}, {{1, udp + udp2}},
      {{1, "ping"}, {2, "pong"}}};
  for (size_t i = 0; i < 4; i++) {
    BlockCollector sink;
    EXPECT_EQ(LoadStream(file, table.at(i), sink, false, &table), LoadResult::Complete);
    EXPECT_EQ(sink.blocks, want[i]) << i;
  }
  BlockCollector none;  // the row's fields hold no addresses: nothing without its table
  LoadStream(file, table.at(0), none, false);
  EXPECT_TRUE(none.blocks.empty());
  file.ResetFile(false);
}

// Later fragments sent before their first count and load with it, in
// their order, and keep the conversation's records; fragments sent again
// after the reply are loaded once; another conversation's are not ours.
TEST(StreamTest, FragmentsBeforeTheirFirstAndRepeated) {
  FakePlatform platform;
  Options o;
  const std::string data = std::string(8, 'a') + std::string(16, 'b') + std::string(20, 'c');
  for (const bool six : {false, true}) {
    for (const uint8_t icmp : {0, 1}) {
      SCOPED_TRACE(std::string(six ? "IPv6" : "IPv4") + (icmp ? " ICMP" : " UDP"));
      const uint8_t proto = icmp ? (six ? 58 : 1) : 17;
      auto packet = [&](bool out, const std::string& d, uint16_t port = 4000) {
        const char *me = six ? "2001:db8::1" : "10.0.0.1", *peer = six ? "2001:db8::2" : "10.0.0.2";
        return six ? Ip6(proto, out ? me : peer, out ? peer : me, out ? port : 53, out ? 53 : port, d)
                   : WithPayload(proto, out ? me : peer, out ? peer : me, out ? port : 53, out ? 53 : port,
                                 Bytes(d.begin(), d.end()));
      };
      const Bytes dg = packet(true, data), other = packet(true, std::string(60, 'o'), 5000);
      PacketFile file;
      WritePackets(file, {Fragment(dg, 9, 16, 32), Fragment(dg, 9, 32, 52), packet(true, "x"), Fragment(dg, 9, 0, 16),
                          packet(false, "reply"), Fragment(dg, 9, 16, 32), Fragment(dg, 9, 0, 16)});
      ConversationTable table(o, &file);
      ASSERT_TRUE(table.RebuildFromFile());
      ASSERT_EQ(table.count(), 1u);
      const Conversation& ours = table.at(0);
      EXPECT_EQ(ours.packets, 7u);
      EXPECT_EQ(table.skipped[kSkipFragmentWithoutFirst], 0u);
      std::vector<uint64_t> offsets;
      EXPECT_TRUE(table.RecordOffsets(ours.index - 1, &offsets));
      const std::vector<std::pair<int, std::string>> want = {{1, "x" + data}, {2, "reply"}};
      BlockCollector indexed, scan;
      LoadStream(file, ours, indexed, false, &table);
      EXPECT_EQ(indexed.blocks, want);
      if (!six) {
        LoadStream(file, ours, scan, false);
        EXPECT_EQ(scan.blocks, want);
      }
      if (!six && !icmp) {
        PacketFile again;
        WritePackets(again, {Fragment(other, 9, 16, 68), Fragment(other, 9, 0, 16), Fragment(dg, 9, 0, 16),
                             Fragment(dg, 9, 16, 52)});
        BlockCollector mine;
        LoadStream(again, ours, mine, false);
        EXPECT_EQ(mine.blocks, (std::vector<std::pair<int, std::string>>{{1, data}}));
        again.ResetFile(false);
        // 60 000 bytes sent last fragment first: all 41 wait for the first.
        const std::string big(60000, 'z');
        const Bytes bigDatagram = packet(true, big);
        std::vector<Bytes> reversed;
        for (size_t end = 8 + big.size(); end > 0;) {
          const size_t start = (end - 1) / 1480 * 1480;
          reversed.push_back(Fragment(bigDatagram, 11, start, end));
          end = start;
        }
        PacketFile bigFile;
        WritePackets(bigFile, reversed);
        ConversationTable bigTable(o, &bigFile);
        ASSERT_TRUE(bigTable.RebuildFromFile());
        ASSERT_EQ(bigTable.count(), 1u);
        EXPECT_EQ(bigTable.at(0).packets, reversed.size());
        BlockCollector whole;
        LoadStream(bigFile, bigTable.at(0), whole, false, &bigTable);
        EXPECT_EQ(whole.blocks, (std::vector<std::pair<int, std::string>>{{1, big}}));
        bigFile.ResetFile(false);
      }
      file.ResetFile(false);
    }
  }
}
