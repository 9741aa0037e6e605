// Conversations written as rows of their column texts.
#pragma once
#include <string>
#include <vector>

#include "capture/columns.h"

enum SummaryFormat {
  kFormatText = 1,
  kFormatTabDelimited = 2,
  kFormatTabular = 3,
  kFormatHtmlHorizontal = 4,
  kFormatHtmlVertical = 5,
  kFormatXml = 6,
  kFormatCsv = 7,
};

// The columns of the list with a width above 0, in display order.
std::vector<int> DefaultExportColumns();

// HTML cell text: escaped, LF as <br>, "&nbsp;" when empty or starting with a space.
std::string HtmlCellText(const char* text);
// Background of the value cell at export position i (0..22).
std::string PositionColor(int i);

// Appends one conversation's row in `format` to `out`.
void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx);
// Appends the optional title line of formats 2 and 7.
void AppendTitleLine(std::string& out, int format, const std::vector<int>& columns);
