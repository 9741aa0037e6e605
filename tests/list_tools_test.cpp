#include "app/list_tools.h"

#include <random>
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

AddressBook book;

Conversation Row(uint32_t index, const char* remote, uint64_t packets, uint64_t dataSize, const char* host = "") {
  Conversation c;
  c.index = index;
  c.protocol = kProtoTcp;
  c.localAddress = Addr("127.0.0.1");
  c.remoteAddress = Addr(remote);
  c.packets = packets;
  c.dataSize = dataSize;
  c.remoteEntry = book.Intern(c.remoteAddress);
  book.SetName(c.remoteEntry, host);
  return c;
}

std::vector<uint32_t> Sorted(const std::vector<Conversation>& rows, const SortKeys& keys) {
  Options o;
  ColumnContext ctx{o, nullptr, &book};
  std::vector<const Conversation*> ptrs;
  for (const Conversation& c : rows) ptrs.push_back(&c);
  std::vector<uint32_t> out;
  const std::vector<uint32_t> order = SortOrder(ptrs, keys.keys(), ctx);
  for (size_t i = 0; i < order.size(); i++) {
    out.push_back(rows[order[i]].index);
    if (i) {
      EXPECT_LE(CompareRows(*ptrs[order[i - 1]], *ptrs[order[i]], keys.keys(), ctx), 0);
    }
  }
  return out;
}

}  // namespace

TEST(ListToolsTest, SortOrders) {
  FakePlatform platform;
  std::vector<Conversation> rows = {
      Row(1, "192.168.0.9", 5, 900, "beta"),    Row(2, "192.168.0.10", 40, 80, "Alpha"),
      Row(3, "10.0.0.2", 5, 1000, "alpha"),     Row(4, "9.0.0.1", 300, 80, "Gamma"),
  };
  // A second click turns a key descending, Shift adds a key or turns the
  // last one. Remote Address compares as text, Packets as numbers with ties
  // in their order, then Data Size among the 5-packet rows; host names
  // compare without regard to case, and Index descending breaks the Alpha/alpha tie.
  const struct {
    int column;
    bool shift;
    std::vector<uint32_t> want;
  } clicks[] = {{3, false, {3, 2, 1, 4}}, {9, false, {1, 3, 2, 4}}, {9, false, {4, 2, 1, 3}},
                {10, true, {4, 2, 1, 3}}, {10, true, {4, 2, 3, 1}}, {7, false, {2, 3, 1, 4}},
                {0, true, {2, 3, 1, 4}},  {0, true, {3, 2, 1, 4}}};
  SortKeys k;
  for (const auto& c : clicks) {
    k.Click(c.column, c.shift);
    EXPECT_EQ(Sorted(rows, k), c.want) << c.column;
  }
  EXPECT_EQ(k.keys(), (std::vector<int>{7, 0 | kSortDescending}));
  for (int id = 0; id < 23; id++) k.Click(id == 9 ? 22 : id, true);
  EXPECT_EQ(k.keys().size(), kMaxSortKeys);
  SortKeys stored(13 | kSortDescending | 0x8000);  // stray bits of a stored word are dropped
  EXPECT_EQ(stored.primary(), 13 | kSortDescending);
  // Rows already in order, or in reverse without ties, as sorting them gives.
  k = SortKeys(0);
  EXPECT_EQ(Sorted(rows, k), (std::vector<uint32_t>{1, 2, 3, 4}));
  k.Click(0, false);
  EXPECT_EQ(Sorted(rows, k), (std::vector<uint32_t>{4, 3, 2, 1}));
  const std::vector<Conversation> ties = {Row(1, "10.0.0.1", 1, 0), Row(2, "10.0.0.1", 3, 0), Row(3, "10.0.0.1", 3, 0),
                                          Row(4, "10.0.0.1", 5, 0)};
  EXPECT_EQ(Sorted(ties, SortKeys(9 | kSortDescending)), (std::vector<uint32_t>{4, 2, 3, 1}));
  EXPECT_EQ(Sorted(ties, SortKeys(9)), (std::vector<uint32_t>{1, 2, 3, 4}));

  // Every column either way, alone and before another key, on rows with
  // many ties (-0 and 0 among the speeds): in the order CompareRows gives,
  // tied rows in the order they came.
  std::mt19937 rng(7);
  std::vector<Conversation> many;
  for (uint32_t i = 0; i < 300; i++) {
    const char* hosts[] = {"a", "Host.example.B", "host.example.a", "host.exam"};  // alike past eight bytes
    Conversation c = Row(i + 1, rng() % 2 ? "10.0.0.1" : "10.0.0.2", rng() % 4, rng() % 3 * 1000000000000ULL,
                         hosts[rng() % 4]);
    c.remoteMac[5] = uint8_t(rng() % 3);
    c.localPort = uint16_t(rng() % 3);
    c.remotePort = uint16_t(rng() % 3 * 30000);
    c.totalSize = rng() % 3;
    const double speeds[] = {-0.0, 0.0, 1.5, -2.0};
    c.speed = speeds[rng() % 4];
    c.firstTime = rng() % 3;
    c.lastTime = c.firstTime + rng() % 3 * 10000000;
    many.push_back(c);
  }
  Options o;
  ColumnContext ctx{o, nullptr, &book};
  std::vector<const Conversation*> ptrs;
  for (const Conversation& c : many) ptrs.push_back(&c);
  for (int id = 0; id < kColumnCount; id++) {
    for (int way : {0, kSortDescending}) {
      for (const std::vector<int>& keys : {std::vector<int>{id | way}, std::vector<int>{id | way, 9}}) {
        const std::vector<uint32_t> order = SortOrder(ptrs, keys, ctx);
        for (size_t i = 1; i < order.size(); i++) {
          const int r = CompareRows(*ptrs[order[i - 1]], *ptrs[order[i]], keys, ctx);
          ASSERT_TRUE(r < 0 || (r == 0 && order[i - 1] < order[i])) << id << " " << way << " " << keys.size();
        }
      }
    }
  }
  EXPECT_LT(CompareNoCase("_", "A"), 0);  // letters compare as small letters, as _strcmpi
}

TEST(ListToolsTest, MoveTarget) {
  // {rows, selected, step, target}: Previous without a selection goes to the
  // last row, Next on the last row stays.
  const int cases[][4] = {{0, -1, 1, -1}, {5, -1, 1, 0}, {5, -1, -1, 4}, {5, 4, 1, 4},
                          {5, 0, -1, 0}, {5, 2, 1, 3}, {5, 2, -1, 1}};
  for (const auto& k : cases) EXPECT_EQ(MoveTarget(k[0], k[1], k[2]), k[3]) << k[0] << " " << k[1] << " " << k[2];
}

TEST(ListToolsTest, ColumnSettings) {
  // The first three rows as column:width, "-" where unchecked.
  auto head = [](const ColumnSettings& s) {
    std::string t;
    for (size_t r = 0; r < 3; r++)
      t += std::to_string(s.rows()[r].column) + ":" + std::to_string(s.rows()[r].width) +
           (s.rows()[r].checked ? " " : "- ");
    return t;
  };
  ColumnLayout current = DefaultColumnLayout();
  std::swap(current[0].position, current[1].position);  // Protocol first
  current[2].width = 0;                                 // Local Address hidden
  ColumnSettings s(current);
  ASSERT_EQ(s.rows().size(), size_t(kColumnCount));
  EXPECT_EQ(head(s), "1:60 0:60 2:100- ");  // a hidden column lists its default width

  std::vector<bool> sel(kColumnCount);
  sel[0] = sel[1] = sel[2] = true;
  s.MoveUp(sel);  // rows 1 and 2 each move one place up, in turn
  EXPECT_TRUE(sel[0] && sel[1] && sel[2] && !sel[3]);
  s.SetChecked(sel, false);  // Hide leaves the first row checked, a double click does not
  s.Toggle(0);
  EXPECT_EQ(head(s), "0:60- 2:100- 1:60- ");
  sel.assign(kColumnCount, false);
  sel[kColumnCount - 2] = sel[kColumnCount - 1] = true;
  s.MoveDown(sel);  // the last row cannot move; the one above it swaps into place
  EXPECT_EQ(s.rows()[kColumnCount - 1].column, 21);
  EXPECT_FALSE(s.TakeWidth(3, "1000"));
  EXPECT_FALSE(s.TakeWidth(3, "0"));
  EXPECT_TRUE(s.TakeWidth(3, "999"));
  EXPECT_EQ(s.rows()[3].width, 999);

  // Process columns: checked with width 0 become 100 wide.
  sel.assign(kColumnCount, false);
  for (size_t r = 0; r < s.rows().size(); r++) sel[r] = s.rows()[r].column == 16;
  s.SetChecked(sel, true);
  const ColumnLayout out = s.Result();
  EXPECT_EQ(out[16].width, 100);
  EXPECT_EQ(out[1].width, 0);  // hidden above
  EXPECT_EQ(out[2].position, 1);
  EXPECT_TRUE(LayoutApplicable(out));
  s.Defaults();
  EXPECT_EQ(head(s), "0:60 1:60 2:100 ");
  ColumnLayout twoFirst = DefaultColumnLayout();
  twoFirst[5].position = 0;
  EXPECT_FALSE(LayoutApplicable(twoFirst));
}

TEST(ListToolsTest, ProcessColumnsRuleAndHandOff) {
  ColumnLayout l = DefaultColumnLayout();
  l[17].width = 200;  // already shown: kept
  EXPECT_TRUE(ApplyProcessColumnsRule(l, true));
  EXPECT_EQ(l[16].width, 90);
  EXPECT_EQ(l[17].width, 200);
  EXPECT_EQ(l[18].width, 150);
  EXPECT_FALSE(ApplyProcessColumnsRule(l, true));
  EXPECT_TRUE(ApplyProcessColumnsRule(l, false));
  EXPECT_EQ(l[17].width, 0);

  Conversation a = Row(1, "10.0.0.1", 1, 1), b = Row(2, "10.0.0.2", 1, 1);
  b.localAddress = 0;
  EXPECT_EQ(HandOffText({&a, &b}), "10.0.0.2\r\n10.0.0.1\r\n127.0.0.1\r\n");
}
