#include "enrich/country_csv.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <iterator>
#include <string>

#include "enrich/name_tables.h"

namespace {

// Decimal as a 64-bit number kept in 32 bits; stops at the first non-digit.
uint32_t Number(const std::string& v) {
  size_t i = 0;
  bool negative = false;
  if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
  uint64_t n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; i++) n = n * 10 + uint64_t(v[i] - '0');
  return uint32_t(negative ? 0 - n : n);
}

// The fields of one line (commas inside double quotes do not split).
void SplitFields(const char* line, size_t n, std::vector<std::string>& fields) {
  fields.clear();
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= n; i++) {
    if (i < n && line[i] == '"') quoted = !quoted;
    if (i < n && (line[i] != ',' || quoted)) continue;
    if (i == n && start == n && !fields.empty()) break;  // nothing after a final comma
    const char* f = line + start;
    size_t len = i - start;
    const char* open = static_cast<const char*>(memchr(f, '"', len));
    if (open) {
      const char* close = f + len - 1;
      while (close > open && *close != '"') close--;
      if (close > open) {
        len = size_t(close - open - 1);
        f = open + 1;
      } else {
        len = size_t(f + len - open - 1);
        f = open + 1;
      }
    }
    while (len && *f == ' ') f++, len--;
    while (len && f[len - 1] == ' ') len--;
    fields.emplace_back(f, std::min(len, CountryRangeTable::kMaxValue));
    start = i + 1;
  }
}

}  // namespace

// Calls `row` with each line that holds a row (not empty, not a comment).
template <class F>
void ForEachRowLine(const char* text, size_t size, F row) {
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && text[end] != '\n' && text[end] != '\r' && text[end] != 0) end++;
    const size_t len = std::min(end - pos, CountryRangeTable::kMaxLine);
    const char* line = text + pos;
    if (end < size && text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') end++;
    if (end < size && text[end] == 0) end = size;  // the text ends at a NUL
    pos = end + 1;
    if (len && line[0] != '#') row(line, len);
  }
}

bool CountryRangeTable::Parse(const char* text, size_t size) {
  rows_.clear();
  // Each row in file order takes the addresses no earlier row covers; a row
  // left with none can never answer and is not kept, so rows repeated or
  // shadowed by earlier ones cost nothing beyond their text.
  std::map<uint32_t, uint32_t> covered;  // first to last of merged spans
  std::vector<Piece> pieces;
  std::vector<std::string> fields;
  ForEachRowLine(text, size, [&](const char* line, size_t len) {
    SplitFields(line, len, fields);
    CountryRange r{};
    if (fields.size() > 0) r.first = Number(fields[0]);
    if (fields.size() > 1) r.last = Number(fields[1]);
    if (fields.size() > 4) memcpy(r.code, fields[4].c_str(), std::min<size_t>(2, fields[4].size()));
    if (r.first > r.last) return;
    const size_t before = pieces.size();
    auto it = covered.upper_bound(r.first);
    uint64_t pos = r.first;
    if (it != covered.begin() && std::prev(it)->second >= r.first) pos = uint64_t(std::prev(it)->second) + 1;
    for (; pos <= r.last; ++it) {
      const bool inside = it != covered.end() && it->first <= r.last;
      const uint64_t end = inside ? uint64_t(it->first) - 1 : r.last;
      if (pos <= end) pieces.push_back({uint32_t(pos), uint32_t(end), uint32_t(rows_.size())});
      if (!inside) break;
      pos = uint64_t(it->second) + 1;
    }
    if (pieces.size() == before) return;
    rows_.push_back(r);
    // The row's span joins the spans it overlaps or touches.
    uint64_t lo = r.first, hi = r.last;
    auto from = covered.upper_bound(r.first);
    if (from != covered.begin() && uint64_t(std::prev(from)->second) + 1 >= lo) --from;
    auto to = from;
    for (; to != covered.end() && to->first <= hi + 1; ++to) {
      lo = std::min<uint64_t>(lo, to->first);
      hi = std::max<uint64_t>(hi, to->second);
    }
    covered.erase(from, to);
    covered.emplace(uint32_t(lo), uint32_t(hi));
  });
  rows_.shrink_to_fit();
  BuildIndex(pieces);
  return !rows_.empty();
}

// The pieces in address order, with the gaps between them owned by none.
void CountryRangeTable::BuildIndex(std::vector<Piece>& pieces) {
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.first < b.first; });
  std::vector<uint32_t>().swap(starts_);
  std::vector<int32_t>().swap(owner_);
  uint64_t next = 0;  // the address after the last piece
  for (const Piece& p : pieces) {
    if (!starts_.empty() && p.first > next) {
      starts_.push_back(uint32_t(next));
      owner_.push_back(-1);
    }
    if (owner_.empty() || owner_.back() != int32_t(p.row) || p.first > next) {
      starts_.push_back(p.first);
      owner_.push_back(int32_t(p.row));
    }
    next = uint64_t(p.last) + 1;
  }
  if (!starts_.empty() && next <= 0xFFFFFFFFu) {
    starts_.push_back(uint32_t(next));
    owner_.push_back(-1);
  }
  std::vector<Piece>().swap(pieces);
  starts_.shrink_to_fit();
  owner_.shrink_to_fit();
  blocks_.resize(65537);
  for (uint32_t h = 0; h < 65536; h++)
    blocks_[h] = uint32_t(std::upper_bound(starts_.begin(), starts_.end(), h << 16) - starts_.begin());
  blocks_[65536] = uint32_t(starts_.size());
  texts_.clear();
  rowText_.clear();
  rowText_.reserve(rows_.size());
  std::map<uint16_t, uint16_t> byCode;
  for (const CountryRange& r : rows_) {
    const uint16_t code = uint16_t(uint8_t(r.code[0]) << 8 | uint8_t(r.code[1]));
    auto it = byCode.find(code);
    if (it == byCode.end()) {
      it = byCode.emplace(code, uint16_t(texts_.size())).first;
      texts_.emplace_back();
      RowText(r, *reinterpret_cast<char(*)[64]>(texts_.back().data()));
    }
    rowText_.push_back(it->second);
  }
}

bool CountryRangeTable::RowText(const CountryRange& r, char (&text)[64]) {
  text[0] = 0;
  if (!r.code[0]) return true;
  const char code[3] = {r.code[0], r.code[1], 0};
  if (CountryName(code, text, sizeof text)) TitleCase(text);
  return true;
}

bool CountryRangeTable::Lookup(uint32_t address, char (&text)[64]) const {
  text[0] = 0;
  if (blocks_.empty()) return false;
  const uint32_t h = address >> 16;
  auto it = std::upper_bound(starts_.begin() + blocks_[h], starts_.begin() + blocks_[h + 1], address);
  if (it == starts_.begin()) return false;
  const int32_t own = owner_[size_t(it - starts_.begin()) - 1];
  if (own < 0) return false;
  memcpy(text, texts_[rowText_[size_t(own)]].data(), sizeof text);
  return true;
}

bool CountryRangeTable::LookupLinear(uint32_t address, char (&text)[64]) const {
  text[0] = 0;
  for (const CountryRange& r : rows_)
    if (r.first <= address && address <= r.last) return RowText(r, text);
  return false;
}
