#include "app/list_tools.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

void SortKeys::Reset(int primary) {
  keys_.assign(1, primary & (kSortColumnMask | kSortDescending));
}

void SortKeys::Click(int columnId, bool addKey) {
  for (size_t i = 0; i < keys_.size(); i++) {
    if ((keys_[i] & kSortColumnMask) != columnId) continue;
    if (!addKey) {
      // A plain click on any key but a lone primary starts over with it.
      const int word = i == 0 ? keys_[0] ^ kSortDescending : columnId;
      keys_.assign(1, word);
    } else {
      keys_[i] ^= kSortDescending;
    }
    return;
  }
  if (!addKey) keys_.clear();
  if (keys_.size() < kMaxSortKeys) keys_.push_back(columnId);
}

int CompareNoCase(const char* a, const char* b) {
  for (;; a++, b++) {
    int x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y || !x) return x < y ? -1 : x > y ? 1 : 0;
  }
}

namespace {

bool SortsAsText(int id) {
  static const Conversation probe;
  return CompareColumn(probe, probe, id) == 255;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

}  // namespace

int CompareRows(const Conversation& a, const Conversation& b, const std::vector<int>& keys,
                const ColumnContext& ctx) {
  for (int key : keys) {
    const int id = key & kSortColumnMask;
    int r = CompareColumn(a, b, id, ctx.addresses);
    if (r == 255) {
      char ba[kColumnTextSize], bb[kColumnTextSize];
      r = Sign(CompareNoCase(ColumnText(a, id, ba, ctx), ColumnText(b, id, bb, ctx)));
    }
    if (r) return key & kSortDescending ? -r : r;
  }
  return 0;
}

std::vector<uint32_t> SortOrder(const std::vector<const Conversation*>& rows, const std::vector<int>& keys,
                                const ColumnContext& ctx) {
  const size_t n = rows.size();
  // Text keys: each row's small-letter text, all in one buffer, and its
  // first eight bytes as a number (big-endian, so that numbers compare as
  // the texts do); numeric keys: a number per row. The comparisons then
  // read these arrays, not the rows' records, which for millions of rows
  // are mostly out of cache.
  struct Key {
    std::string chars;
    std::vector<uint32_t> at;
    std::vector<uint8_t> six;  // address keys: the IPv6 rows, which compare by value
    std::vector<uint64_t> num;
  };
  auto compareText = [](const Key& t, uint32_t x, uint32_t y) {
    int r = t.num[x] < t.num[y] ? -1 : t.num[x] > t.num[y];
    // Eight bytes alike and neither text ended in them: the rest decides.
    if (!r && (t.num[x] & 0xFF)) r = Sign(strcmp(t.chars.data() + t.at[x] + 8, t.chars.data() + t.at[y] + 8));
    return r;
  };
  std::vector<Key> texts(keys.size());
  char buf[kColumnTextSize];
  uint64_t probe;
  for (size_t k = 0; k < keys.size(); k++) {
    const int id = keys[k] & kSortColumnMask;
    Key& t = texts[k];
    if (ColumnSortKey(Conversation(), id, probe)) {
      t.num.resize(n);
      for (size_t i = 0; i < n; i++) ColumnSortKey(*rows[i], id, t.num[i]);
      continue;
    }
    if (!SortsAsText(id)) continue;
    if (id == 2 || id == 3) t.six.resize(n);
    t.at.resize(n);
    t.num.resize(n);
    for (size_t i = 0; i < n; i++) {
      if (!t.six.empty()) t.six[i] = rows[i]->flags & kConvIPv6;
      t.at[i] = uint32_t(t.chars.size());
      uint64_t prefix = 0;
      int taken = 0;
      for (const char* p = ColumnText(*rows[i], id, buf, ctx); *p; p++) {
        const char ch = *p >= 'A' && *p <= 'Z' ? char(*p + 32) : *p;
        t.chars += ch;
        if (taken < 8) prefix |= uint64_t(uint8_t(ch)) << (56 - 8 * taken++);
      }
      t.chars += '\0';
      t.num[i] = prefix;
    }
  }
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; i++) order[i] = uint32_t(i);
  auto before = [&](uint32_t x, uint32_t y) {
    for (size_t k = 0; k < keys.size(); k++) {
      const Key& t = texts[k];
      int r;
      if (!t.at.empty()) {
        r = !t.six.empty() && (t.six[x] | t.six[y])
                ? CompareColumn(*rows[x], *rows[y], keys[k] & kSortColumnMask, ctx.addresses)
                : 255;
        if (r == 255) r = compareText(t, x, y);
      } else if (!t.num.empty()) {
        r = t.num[x] < t.num[y] ? -1 : t.num[x] > t.num[y];
      } else {
        r = CompareColumn(*rows[x], *rows[y], keys[k] & kSortColumnMask);
      }
      if (r) return (keys[k] & kSortDescending ? -r : r) < 0;
    }
    return false;
  };
  // Rows come in the table's order, which the usual key (the index, either
  // way) keeps: a pass tells, where a sort of millions of rows would keep
  // the window from answering for seconds. Ties rule out the reversal.
  bool inOrder = true, reversed = n > 1;
  for (size_t i = 1; i < n && (inOrder || reversed); i++) {
    const bool back = before(uint32_t(i), uint32_t(i - 1));
    inOrder = inOrder && !back;
    reversed = reversed && back;
  }
  if (reversed) std::reverse(order.begin(), order.end());
  if (inOrder || reversed) return order;
  const Key& one = texts[0];
  if (keys.size() == 1 && !one.num.empty() && std::all_of(one.six.begin(), one.six.end(), [](uint8_t v) { return !v; })) {
    // One key: pairs of number and row sort in place, nearly every
    // comparison within them.
    const bool down = keys[0] & kSortDescending, text = !one.at.empty();
    using Pair = std::pair<uint64_t, uint32_t>;
    std::vector<Pair> pairs(n);
    for (size_t i = 0; i < n; i++) pairs[i] = {one.num[i], uint32_t(i)};
    std::stable_sort(pairs.begin(), pairs.end(), [&](const Pair& a, const Pair& b) {
      int r = a.first < b.first ? -1 : a.first > b.first;
      if (!r && text) r = compareText(one, a.second, b.second);
      return (down ? -r : r) < 0;
    });
    for (size_t i = 0; i < n; i++) order[i] = pairs[i].second;
    return order;
  }
  std::stable_sort(order.begin(), order.end(), before);
  return order;
}

int MoveTarget(int count, int firstSelected, int delta) {
  if (count <= 0) return -1;
  if (firstSelected < 0 || firstSelected >= count) return delta > 0 ? 0 : count - 1;
  const int to = firstSelected + delta;
  return to < 0 || to >= count ? firstSelected : to;
}

ColumnLayout DefaultColumnLayout() {
  ColumnLayout l;
  for (int i = 0; i < kColumnCount; i++) l[i] = {int16_t(kColumns[i].defaultWidth), int16_t(i)};
  return l;
}

bool LayoutApplicable(const ColumnLayout& layout) {
  int zeros = 0;
  for (const ColumnSlot& s : layout) zeros += s.position == 0;
  return zeros < 2;
}

bool ApplyProcessColumnsRule(ColumnLayout& layout, bool processInfo) {
  static const struct {
    int id, width;
  } kProcessColumns[] = {{16, 90}, {17, 300}, {18, 150}};
  bool changed = false;
  for (const auto& p : kProcessColumns)
    for (int i = 0; i < kColumnCount; i++) {
      if (kColumns[i].id != p.id) continue;
      const int16_t want = processInfo ? (layout[i].width == 0 ? int16_t(p.width) : layout[i].width) : 0;
      changed |= want != layout[i].width;
      layout[i].width = want;
    }
  return changed;
}

ColumnSettings::ColumnSettings(const ColumnLayout& current) {
  for (int i = 0; i < kColumnCount; i++) {
    const int w = current[i].width;
    rows_.push_back({i, w > 0 ? w : kColumns[i].defaultWidth, w > 0});
  }
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](const Row& a, const Row& b) { return current[a.column].position < current[b.column].position; });
}

void ColumnSettings::Defaults() {
  rows_.clear();
  for (int i = 0; i < kColumnCount; i++) rows_.push_back({i, kColumns[i].defaultWidth, kColumns[i].defaultWidth > 0});
}

void ColumnSettings::MoveUp(std::vector<bool>& selected) {
  selected.resize(rows_.size());
  for (size_t r = 1; r < rows_.size(); r++)
    if (selected[r]) {
      std::swap(rows_[r - 1], rows_[r]);
      std::vector<bool>::swap(selected[r - 1], selected[r]);
    }
}

void ColumnSettings::MoveDown(std::vector<bool>& selected) {
  selected.resize(rows_.size());
  for (size_t r = rows_.size(); r-- > 0;)
    if (selected[r] && r + 1 < rows_.size()) {
      std::swap(rows_[r + 1], rows_[r]);
      std::vector<bool>::swap(selected[r + 1], selected[r]);
    }
}

void ColumnSettings::SetChecked(const std::vector<bool>& selected, bool on) {
  for (size_t r = 1; r < rows_.size() && r < selected.size(); r++)
    if (selected[r]) rows_[r].checked = on;
}

void ColumnSettings::Toggle(int row) {
  if (row >= 0 && row < int(rows_.size())) rows_[size_t(row)].checked = !rows_[size_t(row)].checked;
}

bool ColumnSettings::TakeWidth(int row, const char* text) {
  if (row < 0 || row >= int(rows_.size()) || !*text || strlen(text) > 3) return false;
  for (const char* p = text; *p; p++)
    if (*p < '0' || *p > '9') return false;
  const int w = atoi(text);
  if (w < 1 || w > 999) return false;
  rows_[size_t(row)].width = w;
  return true;
}

ColumnLayout ColumnSettings::Result() const {
  ColumnLayout l;
  for (size_t r = 0; r < rows_.size(); r++) {
    const Row& row = rows_[r];
    l[size_t(row.column)] = {int16_t(!row.checked ? 0 : row.width == 0 ? 100 : row.width), int16_t(r)};
  }
  return l;
}

std::string HandOffText(const std::vector<const Conversation*>& rows, const AddressBook* addresses) {
  std::string text;
  char buf[kIpAddressTextSize];
  for (auto it = rows.rbegin(); it != rows.rend(); ++it)
    for (uint32_t a : {(*it)->remoteAddress, (*it)->localAddress}) {
      if (!a) continue;
      if ((*it)->flags & kConvIPv6) {
        if (!addresses) continue;
        FormatIPv6(addresses->address6(a), buf, sizeof buf);  // a is the address's entry
      } else {
        FormatAddress(a, buf, sizeof buf);
      }
      text += buf;
      text += "\r\n";
    }
  return text;
}
