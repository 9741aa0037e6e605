#include "enrich/mmdb.h"

#include <cstring>
#include <initializer_list>

#include "base/code_page.h"
#include "enrich/name_tables.h"

namespace {
const uint8_t kMarker[] = {0xAB, 0xCD, 0xEF, 'M', 'a', 'x', 'M', 'i', 'n', 'd', '.', 'c', 'o', 'm'};
constexpr size_t kSeparator = 16;  // zero bytes between the tree and the data
}  // namespace

bool MmdbDatabase::DecodeHead(const Section& s, size_t pos, Value* v, size_t* after) {
  if (pos >= s.size || s.budget == 0) return false;
  s.budget--;
  const uint8_t ctrl = s.base[pos++];
  int type = ctrl >> 5;
  if (type == kPointer) {
    const int ss = (ctrl >> 3) & 3;
    const size_t n = size_t(ss) + 1;
    if (n > s.size - pos) return false;
    const uint8_t* p = s.base + pos;
    uint64_t value;
    if (ss == 0) value = uint64_t(ctrl & 7) << 8 | p[0];
    else if (ss == 1) value = (uint64_t(ctrl & 7) << 16 | uint64_t(p[0]) << 8 | p[1]) + 2048;
    else if (ss == 2) value = (uint64_t(ctrl & 7) << 24 | uint64_t(p[0]) << 16 | uint64_t(p[1]) << 8 | p[2]) + 526336;
    else value = uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3];
    v->type = kPointer;
    v->size = 0;
    v->payload = size_t(value > s.size ? s.size : value);  // checked when followed
    *after = pos + n;
    return true;
  }
  if (type == 0) {
    if (pos >= s.size) return false;
    type = 7 + s.base[pos++];
    if (type <= kMap || type > kFloat) return false;
  }
  uint32_t size = ctrl & 31;
  if (size >= 29) {
    const size_t n = size_t(size) - 28;
    if (n > s.size - pos) return false;
    uint32_t extra = 0;
    for (size_t i = 0; i < n; i++) extra = extra << 8 | s.base[pos + i];
    size = size == 29 ? 29 + extra : size == 30 ? 285 + extra : 65821 + extra;
    pos += n;
  }
  v->type = type;
  v->size = size;
  v->payload = pos;
  // Values with a payload of their own must fit in the section; maps and
  // arrays count entries, which are checked as they are read.
  const bool counted = type == kMap || type == kArray || type == kBool || type == kContainer || type == kEnd;
  if (!counted && size > s.size - pos) return false;
  *after = counted ? pos : pos + size;
  return true;
}

bool MmdbDatabase::Decode(const Section& s, size_t pos, Value* v, size_t* next) {
  if (!DecodeHead(s, pos, v, next)) return false;
  if (v->type != kPointer) return true;
  size_t ignored;
  // A pointer to a pointer is not allowed, so one step is all there is.
  return DecodeHead(s, v->payload, v, &ignored) && v->type != kPointer;
}

bool MmdbDatabase::Skip(const Section& s, size_t pos, size_t* next, int depth) {
  if (depth > kMaxDepth) return false;
  Value v;
  size_t after;
  if (!DecodeHead(s, pos, &v, &after)) return false;
  if (v.type == kMap || v.type == kArray) {
    const uint64_t items = v.type == kMap ? uint64_t(v.size) * 2 : v.size;
    for (uint64_t i = 0; i < items; i++)
      if (!Skip(s, after, &after, depth + 1)) return false;
  }
  *next = after;
  return true;
}

bool MmdbDatabase::MapGet(const Section& s, const Value& map, const char* key, Value* out) {
  if (map.type != kMap) return false;
  const size_t keyLen = strlen(key);
  size_t pos = map.payload;
  for (uint32_t i = 0; i < map.size; i++) {
    Value k;
    if (!Decode(s, pos, &k, &pos) || k.type != kString) return false;
    if (k.size == keyLen && memcmp(s.base + k.payload, key, keyLen) == 0) {
      size_t ignored;
      return Decode(s, pos, out, &ignored);
    }
    if (!Skip(s, pos, &pos, 1)) return false;
  }
  return false;
}

bool MmdbDatabase::ArrayAt(const Section& s, const Value& array, uint32_t index, Value* out) {
  if (array.type != kArray || index >= array.size) return false;
  size_t pos = array.payload;
  for (uint32_t i = 0; i < index; i++)
    if (!Skip(s, pos, &pos, 1)) return false;
  size_t ignored;
  return Decode(s, pos, out, &ignored);
}

bool MmdbDatabase::Unsigned(const Section& s, const Value& v, uint64_t* out) {
  if ((v.type != kUint16 && v.type != kUint32 && v.type != kUint64) || v.size > 8) return false;
  uint64_t n = 0;
  for (uint32_t i = 0; i < v.size; i++) n = n << 8 | s.base[v.payload + i];
  *out = n;
  return true;
}

std::string MmdbDatabase::String(const Section& s, const Value& v) {
  if (v.type != kString) return std::string();
  return Utf8ToCodePage(reinterpret_cast<const char*>(s.base + v.payload), v.size);
}

bool MmdbDatabase::Path(const Section& s, Value v, std::initializer_list<const char*> keys, std::string* out) {
  for (const char* k : keys) {
    Value next;
    if (k[0] == '#' ? !ArrayAt(s, v, 0, &next) : !MapGet(s, v, k, &next)) return false;
    v = next;
  }
  if (v.type != kString) return false;
  *out = String(s, v);
  return true;
}

bool MmdbDatabase::Load(std::vector<uint8_t> data, std::string* error) {
  data_.clear();
  recordSize_ = 0;
  // The metadata follows the last marker within the file's end.
  const size_t from = data.size() > kMetadataSearch ? data.size() - kMetadataSearch : 0;
  size_t marker = SIZE_MAX;
  for (size_t i = data.size() >= sizeof kMarker ? data.size() - sizeof kMarker + 1 : 0; i-- > from;)
    if (memcmp(data.data() + i, kMarker, sizeof kMarker) == 0) {
      marker = i;
      break;
    }
  if (marker == SIZE_MAX) {
    *error = "no metadata marker";
    return false;
  }
  const Section meta{data.data() + marker + sizeof kMarker, data.size() - marker - sizeof kMarker};
  Value root, v;
  size_t ignored;
  uint64_t nodes = 0, recordSize = 0, ipVersion = 0;
  if (!Decode(meta, 0, &root, &ignored) || root.type != kMap || !MapGet(meta, root, "node_count", &v) ||
      !Unsigned(meta, v, &nodes) || !MapGet(meta, root, "record_size", &v) || !Unsigned(meta, v, &recordSize) ||
      !MapGet(meta, root, "ip_version", &v) || !Unsigned(meta, v, &ipVersion)) {
    *error = "metadata lacks node_count, record_size or ip_version";
    return false;
  }
  if ((recordSize != 24 && recordSize != 28 && recordSize != 32) || (ipVersion != 4 && ipVersion != 6) ||
      nodes == 0 || nodes > 0xFFFFFFFFu) {
    *error = "unsupported record size or IP version";
    return false;
  }
  const uint64_t tree = nodes * recordSize / 4;
  if (tree + kSeparator > marker) {
    *error = "search tree larger than the file";
    return false;
  }
  data_ = std::move(data);
  nodeCount_ = uint32_t(nodes);
  recordSize_ = int(recordSize);
  ipVersion_ = int(ipVersion);
  treeSize_ = size_t(tree);
  dataSection_ = {data_.data() + treeSize_ + kSeparator, marker - treeSize_ - kSeparator};
  // IPv4 addresses sit under ::/96 of an IPv6 tree.
  ipv4Start_ = 0;
  ipv4Leaf_ = false;
  if (ipVersion_ == 6) {
    for (int i = 0; i < 96 && !ipv4Leaf_; i++) {
      uint64_t r;
      if (!Record(ipv4Start_, 0, &r)) {
        data_.clear();
        recordSize_ = 0;
        *error = "broken search tree";
        return false;
      }
      if (r >= nodeCount_) {
        ipv4Leaf_ = true;
        ipv4Record_ = r;
      } else {
        ipv4Start_ = r;
      }
    }
  }
  return true;
}

bool MmdbDatabase::Record(uint64_t node, int bit, uint64_t* record) const {
  if (node >= nodeCount_) return false;
  const uint8_t* p = data_.data() + size_t(node) * size_t(recordSize_) / 4;
  switch (recordSize_) {
    case 24:
      p += bit * 3;
      *record = uint64_t(p[0]) << 16 | uint64_t(p[1]) << 8 | p[2];
      return true;
    case 28:
      *record = bit ? (uint64_t(p[3] & 0x0F) << 24 | uint64_t(p[4]) << 16 | uint64_t(p[5]) << 8 | p[6])
                    : (uint64_t(p[3] & 0xF0) << 20 | uint64_t(p[0]) << 16 | uint64_t(p[1]) << 8 | p[2]);
      return true;
    case 32:
      p += bit * 4;
      *record = uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3];
      return true;
  }
  return false;
}

bool MmdbDatabase::Lookup(uint32_t address, char (&text)[64]) const {
  text[0] = 0;
  if (!recordSize_) return false;
  uint64_t record = ipv4Record_;
  if (!ipv4Leaf_) {
    uint64_t node = ipv4Start_;
    bool leaf = false;
    for (int bit = 31; bit >= 0 && !leaf; bit--) {
      if (!Record(node, int((address >> bit) & 1), &record)) return false;
      if (record >= nodeCount_) leaf = true;
      else node = record;
    }
    if (!leaf) return false;
  }
  return RecordText(record, text);
}

bool MmdbDatabase::Lookup6(const uint8_t (&address)[16], char (&text)[64]) const {
  text[0] = 0;
  if (!recordSize_ || ipVersion_ != 6) return false;
  uint64_t node = 0, record = 0;
  for (int bit = 0; bit < 128; bit++) {
    if (!Record(node, (address[bit / 8] >> (7 - bit % 8)) & 1, &record)) return false;
    if (record >= nodeCount_) return RecordText(record, text);
    node = record;
  }
  return false;
}

bool MmdbDatabase::RecordText(uint64_t record, char (&text)[64]) const {
  if (record == nodeCount_) return false;
  const uint64_t offset = record - nodeCount_ - kSeparator;
  if (record < uint64_t(nodeCount_) + kSeparator || offset >= dataSection_.size) return false;
  const Section s{dataSection_.base, dataSection_.size};  // with a budget of its own
  Value root;
  size_t ignored;
  if (!Decode(s, size_t(offset), &root, &ignored) || root.type != kMap) return false;
  std::string code, city, region, postal, state;
  // Two record layouts are in use: nested maps with names by language, and
  // flat fields.
  if (Path(s, root, {"country", "iso_code"}, &code)) {
    Path(s, root, {"city", "names", "en"}, &city);
    Path(s, root, {"subdivisions", "#0", "iso_code"}, &region);
    Path(s, root, {"postal", "code"}, &postal);
  } else if (Path(s, root, {"country_code"}, &code)) {
    Path(s, root, {"city"}, &city);
    Path(s, root, {"state1"}, &state);
    Path(s, root, {"postcode"}, &postal);
    if (state.size() == 2) region.swap(state);
  } else if (!Path(s, root, {"registered_country", "iso_code"}, &code)) {
    return false;
  }
  if (code.size() != 2) return false;
  for (std::string* t : {&city, &region, &postal, &state})
    for (char& ch : *t)
      if (ch == 0) ch = ' ';  // a NUL inside a value would cut the text short
  LocationText(code.c_str(), city.c_str(), region.c_str(), postal.c_str(), text, state.c_str());
  return true;
}
