// The list tools' rules, apart from the window: sort keys and row order,
// moving the selection, the column layout and its settings dialog's rows,
// and the address text handed to the IP-information tool.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/columns.h"

// ---------------------------------------------------------------------------
// Sorting

constexpr int kSortDescending = 0x1000;
constexpr int kSortColumnMask = 0x0FFF;
constexpr size_t kMaxSortKeys = 16;

// Each key is a ColumnId, with kSortDescending for a descending key; the
// first is the primary key (the one stored as `Sort`).
class SortKeys {
 public:
  explicit SortKeys(int primary = 0) { Reset(primary); }
  void Reset(int primary);
  // A header click: with `addKey` (Shift held) the column becomes a further
  // key; clicking a column that is already a key flips its direction.
  void Click(int columnId, bool addKey);
  int primary() const { return keys_[0]; }
  const std::vector<int>& keys() const { return keys_; }

 private:
  std::vector<int> keys_;
};

// _strcmpi's order: ASCII letters compared as small letters, bytes unsigned.
int CompareNoCase(const char* a, const char* b);
// Two rows by the keys: the first key that tells them apart decides.
int CompareRows(const Conversation& a, const Conversation& b, const std::vector<int>& keys,
                const ColumnContext& ctx);
// The positions of `rows` in sorted order; rows that compare equal keep
// their order. Column texts are formatted once per row, not per comparison.
std::vector<uint32_t> SortOrder(const std::vector<const Conversation*>& rows, const std::vector<int>& keys,
                                const ColumnContext& ctx);

// ---------------------------------------------------------------------------
// Move Next (+1) / Move Previous (-1): the row to select, from the first
// selected row (-1 for none); -1 when the list is empty.
int MoveTarget(int count, int firstSelected, int delta);

// ---------------------------------------------------------------------------
// Column layout: per list column (in the order of kColumns) its width and
// display position.
struct ColumnSlot {
  int16_t width = 0;
  int16_t position = 0;
};
using ColumnLayout = std::array<ColumnSlot, kColumnCount>;

ColumnLayout DefaultColumnLayout();
// A layout with two or more columns at position 0 is not applied.
bool LayoutApplicable(const ColumnLayout& layout);
// The process columns after Advanced Options: shown at their usual widths
// with process information on (when hidden), hidden with it off. True when
// something changed.
bool ApplyProcessColumnsRule(ColumnLayout& layout, bool processInfo);

// The rows of the Column Settings dialog, in display order.
class ColumnSettings {
 public:
  struct Row {
    int column;  // index into kColumns
    int width;
    bool checked;
  };
  explicit ColumnSettings(const ColumnLayout& current);
  void Defaults();
  const std::vector<Row>& rows() const { return rows_; }

  bool CanMoveUp(int row) const { return row > 0; }
  bool CanMoveDown(int row) const { return row >= 0 && row + 1 < int(rows_.size()); }
  // `selected` is per row and moves with its rows.
  void MoveUp(std::vector<bool>& selected);
  void MoveDown(std::vector<bool>& selected);
  // Show and Hide leave the first row alone; a double click does not.
  void SetChecked(const std::vector<bool>& selected, bool on);
  void Toggle(int row);
  // The width box's text: 1 to 999 becomes the row's width.
  bool TakeWidth(int row, const char* text);
  // The layout OK gives.
  ColumnLayout Result() const;

 private:
  std::vector<Row> rows_;
};

// ---------------------------------------------------------------------------
// The hand-off text: for each row from the last to the first, the remote and
// then the local address, each followed by CR LF; addresses 0 are skipped.
// IPv6 rows need the book of their addresses.
std::string HandOffText(const std::vector<const Conversation*>& rows, const AddressBook* addresses = nullptr);
