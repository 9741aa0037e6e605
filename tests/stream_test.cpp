#include <string>
#include <vector>

#include <random>

#include "capture/capture_engine.h"
#include "capture/conversation_table.h"
#include "gtest/gtest.h"
#include "packetfile/packet_file.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"
#include "test_support.h"

namespace {

std::string Str(const StreamBlock& b) { return std::string(b.bytes.c_str(), b.bytes.length()); }
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Place(StreamBlock& b, uint32_t seq, const std::string& s) {
  PlacePayload(b, true, seq, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

struct Collect : BlockSink {
  std::vector<std::pair<int, std::string>> blocks;
  void OnBlock(const StreamBlock& b) override { blocks.emplace_back(b.direction, Str(b)); }
};

Bytes Tcp(const char* src, const char* dst, uint16_t sp, uint16_t dp, uint32_t seq, const std::string& data) {
  Bytes p = WithPayload(6, src, dst, sp, dp, B(data));
  for (int i = 0; i < 4; i++) p[24 + i] = uint8_t(seq >> (24 - 8 * i));
  return p;
}

}  // namespace

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
  EXPECT_EQ(big.bytes.capacity(), cap);
  EXPECT_STREQ(big.bytes.c_str(), "");
}

TEST(StreamTest, LoadsBlocksPerDirectionAlsoOnLoopback) {
  FakePlatform platform;
  PacketFile file;
  file.ResetFile(true);
  ASSERT_TRUE(file.CreateForWriting());
  std::vector<Bytes> pkts = {
      Tcp("127.0.0.1", "127.0.0.1", 5000, 80, 100, "GET / HTTP/1.0\r\n"),
      Tcp("127.0.0.1", "127.0.0.1", 5000, 80, 116, "\r\n"),
      Tcp("127.0.0.1", "127.0.0.1", 80, 5000, 9000, ""),  // pure ACK: changes nothing
      Tcp("127.0.0.1", "127.0.0.1", 80, 5000, 9000, "HTTP/1.0 200 OK\r\n"),
      Tcp("127.0.0.1", "127.0.0.1", 6000, 80, 1, "other conversation"),
      Tcp("127.0.0.1", "127.0.0.1", 5000, 80, 118, "bye"),
  };
  for (const Bytes& p : pkts) file.AppendPacket(p.data(), uint32_t(p.size()), nullptr, nullptr);
  file.CloseWriting();

  Conversation c;
  c.protocol = kProtoTcp;
  c.localAddress = c.remoteAddress = Addr("127.0.0.1");
  c.localPort = 5000;
  c.remotePort = 80;
  Collect sink;
  EXPECT_EQ(LoadStream(file, c, sink, false), LoadResult::Complete);
  ASSERT_EQ(sink.blocks.size(), 3u);
  EXPECT_EQ(sink.blocks[0], std::make_pair(1, std::string("GET / HTTP/1.0\r\n\r\n")));
  EXPECT_EQ(sink.blocks[1], std::make_pair(2, std::string("HTTP/1.0 200 OK\r\n")));
  EXPECT_EQ(sink.blocks[2], std::make_pair(1, std::string("bye")));

  // The same conversation seen from the other side swaps the directions.
  std::swap(c.localPort, c.remotePort);
  Collect other;
  LoadStream(file, c, other, false);
  ASSERT_EQ(other.blocks.size(), 3u);
  EXPECT_EQ(other.blocks[0].first, 2);

  // While a capture runs, a load that passes the budget stops.
  platform.tick = 0;
  struct Slow : Collect {
    FakePlatform* p;
    void OnBlock(const StreamBlock& b) override {
      Collect::OnBlock(b);
      p->tick += 200;
    }
  } slow;
  slow.p = &platform;
  EXPECT_EQ(LoadStream(file, c, slow, true), LoadResult::BudgetExhausted);
  EXPECT_EQ(slow.blocks.size(), 1u);
  file.ResetFile(false);
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

  struct Text : PieceSink {
    std::string all;
    void Emit(const char* t, size_t n, bool, uint32_t) override { all.append(t, n); }
  } out;
  StreamBlock b;
  b.direction = 2;
  b.bytes.Set("GET /a HTTP/1.1\r\nHost: h\r\n\r\n\x7f\x80\x01", 31);
  o.DisplayMode = 2;  // Ascii: byte 127 stays, the others are replaced
  FormatBlock(b, s, out);
  EXPECT_EQ(out.all, std::string("GET /a HTTP/1.1\r\nHost: h\r\n\r\n\x7f..\r\n"));
  o.DisplayMode = 4;
  out.all.clear();
  FormatBlock(b, s, out);
  EXPECT_EQ(out.all, "http://h/a\r\n");
}

TEST(StreamTest, IndexedLoadEqualsFullScan) {
  // Live accounting and a rebuild both note where each conversation's
  // records lie; loading from them must give exactly the full scan's blocks.
  FakePlatform platform;
  Options o;
  PacketFile file;
  ConversationTable table(o, &file);
  CaptureEngine engine(o, table, file);
  file.ResetFile(true);
  ASSERT_TRUE(file.CreateForWriting());
  engine.ResetCounters();
  std::mt19937 rng(3);
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1"};
  for (int i = 0; i < 3000; i++) {
    const int a = int(rng() % 3), b = int(rng() % 3);
    const uint16_t sp = uint16_t(1 + rng() % 4), dp = uint16_t(1 + rng() % 4);
    std::string data(rng() % 40, char('a' + rng() % 26));
    Bytes p = rng() % 3 ? Tcp(hosts[a], hosts[b], sp, dp, uint32_t(rng() % 5000), data)
                        : WithPayload(17, hosts[a], hosts[b], sp, dp, B(data));
    engine.OnPacket(p.data(), int32_t(p.size()), nullptr, nullptr);
  }
  file.CloseWriting();
  auto compare = [&](const char* when) {
    ASSERT_GT(table.count(), 10u) << when;
    for (size_t i = 0; i < table.count(); i++) {
      std::vector<uint64_t> offsets;
      ASSERT_TRUE(table.RecordOffsets(i, &offsets)) << when;
      Collect scan, indexed;
      LoadStream(file, table.at(i), scan, false);
      LoadStream(file, table.at(i), indexed, false, &table);
      ASSERT_EQ(scan.blocks, indexed.blocks) << when << " conversation " << i;
    }
  };
  compare("live");
  table.Clear();
  table.RebuildFromFile();
  compare("rebuilt");
  file.ResetFile(false);
}
