// Texts and sort order of the 23 columns of the conversation list.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/platform.h"
#include "capture/address_book.h"
#include "capture/conversation.h"

struct Options;

constexpr int kColumnCount = 23;
constexpr size_t kColumnTextSize = 1024;

struct ColumnDef {
  int id;            // ColumnId
  int titleString;   // string id of the title
  int defaultWidth;  // pixels; 0 = hidden
  int tabularWidth;  // characters in the tabular export
};

// In the default display order.
extern const ColumnDef kColumns[kColumnCount];
// The definition of a ColumnId.
const ColumnDef& ColumnById(int id);

// A process record of the process table (filled by process attribution).
struct ProcessInfo {
  uint32_t processId = 0;
  const char* fileName = "";
  const char* user = "";
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  virtual const ProcessInfo* Get(int32_t index) const = 0;
};

struct ColumnContext {
  const Options& options;
  const ProcessTable* processes = nullptr;
  // Host names and countries; none without it.
  const AddressBook* addresses = nullptr;
};

// A translated word that rows repeat (101 and 26: the units of sizes and
// speeds; 521-523: the protocols' names), cut so that a column with it keeps
// to kColumnTextSize bytes whatever the language file held.
constexpr size_t kMaxRowWord = 255;
const char* RowWord(int id);

// The text of column `id`; either `buf` (kColumnTextSize bytes) or a field.
const char* ColumnText(const Conversation& c, int id, char* buf, const ColumnContext& ctx);
// Whether any column's text of the row contains `text`.
bool RowContainsText(const Conversation& c, const char* text, bool matchCase, const ColumnContext& ctx);
// 1, -1, 0, or 255 when the caller compares the texts case-insensitively.
// With `addresses`, address columns order IPv6 rows after IPv4 ones.
int CompareColumn(const Conversation& a, const Conversation& b, int id, const AddressBook* addresses = nullptr);
// For the columns CompareColumn compares as numbers: a key per row that
// orders the rows as it does. False for the others.
bool ColumnSortKey(const Conversation& c, int id, uint64_t& key);

void FormatNumber(uint64_t value, char* out, size_t outSize);
void FormatPacketTime(FileTime t, char* out, size_t outSize);
void FormatMac(const uint8_t* mac, char* out, size_t outSize);
void FormatAddress(uint32_t address, char* out, size_t outSize);
// Service name by the rules of the Service Name column; "" when none.
void ServiceNameText(uint16_t localPort, uint16_t remotePort, char* out, size_t outSize);

// The row the Find command selects: from the row next to `selected` (the
// first row when none) in the chosen direction, wrapping around once; -1 when
// no row matches.
template <class Matches>
int FindRow(int count, int selected, bool down, Matches matches) {
  if (count <= 0) return -1;
  int row = selected < 0 ? 0 : selected + (down ? 1 : -1);
  for (int n = 0; n < count; n++, row += down ? 1 : -1) {
    row = (row % count + count) % count;
    if (matches(row)) return row;
  }
  return -1;
}
