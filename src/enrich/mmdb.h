// Reader of the mmdb database format: a binary search tree over address
// bits whose leaves point into a data section of typed, self-describing
// values, with the metadata map after a marker at the end of the file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MmdbDatabase {
 public:
  // Takes the whole file; false with a reason when it cannot be used.
  bool Load(std::vector<uint8_t> data, std::string* error);
  // `address` in host order. The text of the record found: country name,
  // city, state (US), postal code; false when there is none.
  bool Lookup(uint32_t address, char (&text)[64]) const;
  // An IPv6 address, walked over all 128 bits; only IPv6 databases have them.
  bool Lookup6(const uint8_t (&address)[16], char (&text)[64]) const;
  int ipVersion() const { return recordSize_ ? ipVersion_ : 0; }

  // Limits on what a hostile file can make the reader do.
  static constexpr int kMaxDepth = 16;          // nesting of maps and arrays
  static constexpr size_t kMetadataSearch = 128 * 1024;
  static constexpr uint32_t kMaxRecordValues = 4096;

  // A value in the data section: its type, its size field and where its
  // payload starts. Exposed for the tests of the decoder.
  struct Value {
    int type = 0;
    uint32_t size = 0;
    size_t payload = 0;
  };
  enum Type { kPointer = 1, kString = 2, kDouble = 3, kBytes = 4, kUint16 = 5, kUint32 = 6, kMap = 7,
              kInt32 = 8, kUint64 = 9, kUint128 = 10, kArray = 11, kContainer = 12, kEnd = 13,
              kBool = 14, kFloat = 15 };

 private:
  struct Section {
    const uint8_t* base;
    size_t size;
    // Values one lookup may decode: a record holding a million-entry map
    // then costs no more than a real one.
    mutable uint32_t budget = kMaxRecordValues;
  };
  // Decodes the value at `pos`, following one pointer; `next` is the
  // position after the value as it stands (after the pointer, if one).
  static bool Decode(const Section& s, size_t pos, Value* v, size_t* next);
  static bool DecodeHead(const Section& s, size_t pos, Value* v, size_t* after);
  static bool Skip(const Section& s, size_t pos, size_t* next, int depth);
  static bool MapGet(const Section& s, const Value& map, const char* key, Value* out);
  static bool ArrayAt(const Section& s, const Value& array, uint32_t index, Value* out);
  static bool Unsigned(const Section& s, const Value& v, uint64_t* out);
  static std::string String(const Section& s, const Value& v);
  // Follows a path of map keys ("#0" takes the first element of an array).
  static bool Path(const Section& s, Value v, std::initializer_list<const char*> keys, std::string* out);
  bool Record(uint64_t node, int bit, uint64_t* record) const;
  bool RecordText(uint64_t record, char (&text)[64]) const;

  std::vector<uint8_t> data_;
  uint32_t nodeCount_ = 0;
  int recordSize_ = 0;
  int ipVersion_ = 0;
  size_t treeSize_ = 0;
  Section dataSection_{nullptr, 0};
  uint64_t ipv4Start_ = 0;  // node where IPv4 addresses begin
  bool ipv4Leaf_ = false;   // the ::/96 walk already ended in a record
  uint64_t ipv4Record_ = 0;
};
