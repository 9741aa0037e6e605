// Conversations written as rows of their column texts.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "capture/columns.h"

struct Options;

enum SummaryFormat {
  kFormatText = 1,
  kFormatTabDelimited = 2,
  kFormatTabular = 3,
  kFormatHtmlHorizontal = 4,
  kFormatHtmlVertical = 5,
  kFormatXml = 6,
  kFormatCsv = 7,
};
constexpr int kSummaryFormatCount = 7;

// The columns of the list with a width above 0, in display order.
std::vector<int> DefaultExportColumns();
// The stored layout (the options' Columns key) as the list applies it:
// display order and width by column. False, with the defaults, when none
// is stored or it is void.
bool StoredColumnLayout(const Options& o, int (&order)[kColumnCount], int (&width)[kColumnCount]);
// The same as export columns, as the list would show them.
std::vector<int> ExportColumnsOf(const Options& o);

// A text escaped for HTML (LF as <br>) or, with `xml`, for XML (line ends as
// character references, the control characters XML cannot hold as "?").
std::string MarkupText(const char* text, bool xml = false);
// HTML cell text: "&nbsp;" appended when empty or starting with a space.
std::string HtmlCellText(const char* text);
// Background of the value cell at export position i (0..22).
std::string PositionColor(int i);
// The XML element of a column title string: the built-in title, lower case,
// with spaces and slashes as "_".
std::string XmlElementName(int titleString);

// The width of the fixed-width format's address columns that fits every
// address of the rows (IPv6 ones may pass the usual 15).
size_t TabularAddressWidth(size_t count, const std::function<const Conversation&(size_t)>& row,
                           const std::vector<int>& columns, const ColumnContext& ctx);
// Appends one conversation's row in `format` to `out`; `addressWidth` widens
// the address columns of the fixed-width format.
void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx, size_t addressWidth = 0);
// Appends the optional title line of formats 2 and 7.
void AppendTitleLine(std::string& out, int format, const std::vector<int>& columns);
// What comes before the first row and after the last; `titleLine` asks for
// the title line of formats 2 and 7.
void AppendFileHeader(std::string& out, int format, const std::vector<int>& columns, bool titleLine);
void AppendFileFooter(std::string& out, int format);

// The tab-delimited rows of `count` conversations, made on two threads and
// handed to `use` in order, some hundred kilobytes at a time, as
// AppendSummaryRow would make them. False when `use` says stop or memory
// runs out (`*outOfMemory` then).
bool MakeTabRows(size_t count, const std::function<const Conversation&(size_t)>& row, const std::vector<int>& columns,
                 const ColumnContext& ctx, const std::function<bool(const char*, size_t)>& use,
                 bool* outOfMemory = nullptr);

// Writes a whole summary file (replacing any file of that name). False with
// the system's reason in `error` when the file cannot be created or a write
// fails; what was written before a failed write stays.
bool WriteSummaryFile(const char* path, int format, const std::vector<const Conversation*>& rows,
                      const std::vector<int>& columns, const ColumnContext& ctx, bool titleLine,
                      std::string* error, unsigned long* errorCode = nullptr);
// The same for `count` rows handed out one at a time: a report of millions
// of rows needs no list of them.
bool WriteSummaryFile(const char* path, int format, size_t count, const std::function<const Conversation&(size_t)>& row,
                      const std::vector<int>& columns, const ColumnContext& ctx, bool titleLine,
                      std::string* error, unsigned long* errorCode = nullptr);
