// Address ranges with country codes from a CSV list, looked up through a
// sorted index that answers as a scan in file order would.
#pragma once
#include <cstddef>
#include <array>
#include <cstdint>
#include <vector>

struct CountryRange {
  uint32_t first;  // host order
  uint32_t last;
  char code[2];
};

class CountryRangeTable {
 public:
  // Parses the whole text; false when it gives no rows. Rows that no
  // address can reach (wholly covered by earlier rows, or empty) are dropped.
  bool Parse(const char* text, size_t size);
  // `address` in host order. False when no row covers it; a covering row
  // without a code gives true and an empty text.
  bool Lookup(uint32_t address, char (&text)[64]) const;
  // The same answer by scanning every row (reference and benchmark).
  bool LookupLinear(uint32_t address, char (&text)[64]) const;
  const std::vector<CountryRange>& rows() const { return rows_; }

  static constexpr size_t kMaxLine = 1022;
  static constexpr size_t kMaxValue = 254;

 private:
  struct Piece {
    uint32_t first, last, row;  // a stretch the row owns
  };
  void BuildIndex(std::vector<Piece>& pieces);
  static bool RowText(const CountryRange& r, char (&text)[64]);
  std::vector<CountryRange> rows_;
  // Elementary intervals: starts_[i] up to starts_[i + 1] - 1 is covered
  // first by row owner_[i] (-1 for none).
  std::vector<uint32_t> starts_;
  std::vector<int32_t> owner_;
  // The first interval at or after each 65536-address block, so a lookup
  // searches only the intervals of its own block.
  std::vector<uint32_t> blocks_;
  // Each row's text, kept once per distinct code.
  std::vector<uint16_t> rowText_;
  std::vector<std::array<char, 64>> texts_;
};
