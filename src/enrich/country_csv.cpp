#include "enrich/country_csv.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <queue>
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

bool CountryRangeTable::Parse(const char* text, size_t size) {
  rows_.clear();
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && text[end] != '\n' && text[end] != '\r' && text[end] != 0) end++;
    const size_t len = std::min(end - pos, kMaxLine);
    const char* line = text + pos;
    if (end < size && text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') end++;
    if (end < size && text[end] == 0) end = size;  // the text ends at a NUL
    pos = end + 1;
    if (len == 0 || line[0] == '#') continue;
    SplitFields(line, len, fields);
    CountryRange r{};
    if (fields.size() > 0) r.first = Number(fields[0]);
    if (fields.size() > 1) r.last = Number(fields[1]);
    if (fields.size() > 4) memcpy(r.code, fields[4].c_str(), std::min<size_t>(2, fields[4].size()));
    rows_.push_back(r);
  }
  BuildIndex();
  return !rows_.empty();
}

// A sweep over the range bounds; at each bound the earliest row (in file
// order) still open owns the stretch up to the next bound.
void CountryRangeTable::BuildIndex() {
  starts_.clear();
  owner_.clear();
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < rows_.size(); i++)
    if (rows_[i].first <= rows_[i].last) order.push_back(i);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return rows_[a].first < rows_[b].first; });
  std::vector<uint64_t> bounds;
  bounds.reserve(order.size() * 2);
  for (uint32_t i : order) {
    bounds.push_back(rows_[i].first);
    bounds.push_back(uint64_t(rows_[i].last) + 1);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>> open;
  size_t next = 0;
  for (uint64_t b : bounds) {
    while (next < order.size() && rows_[order[next]].first == b) open.push(order[next++]);
    while (!open.empty() && uint64_t(rows_[open.top()].last) < b) open.pop();
    const int32_t own = open.empty() ? -1 : int32_t(open.top());
    if (!owner_.empty() && owner_.back() == own) continue;
    starts_.push_back(b);
    owner_.push_back(own);
  }
  blocks_.resize(65537);
  for (uint64_t h = 0; h <= 65536; h++)
    blocks_[h] = uint32_t(std::upper_bound(starts_.begin(), starts_.end(), h << 16) - starts_.begin());
  texts_.clear();
  rowText_.clear();
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
  auto it = std::upper_bound(starts_.begin() + blocks_[h], starts_.begin() + blocks_[h + 1], uint64_t(address));
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
