#include "export/summary_export.h"

#include "app/strings.h"

std::vector<int> DefaultExportColumns() {
  std::vector<int> cols;
  for (const ColumnDef& d : kColumns)
    if (d.defaultWidth > 0) cols.push_back(d.id);
  return cols;
}

void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx) {
  char buf[kColumnTextSize];
  switch (format) {
    case kFormatTabDelimited:
    default:
      for (int id : columns) {
        out += ColumnText(c, id, buf, ctx);
        out += '\t';
      }
      out += "\r\n";
      break;
  }
}

void AppendTitleLine(std::string& out, int format, const std::vector<int>& columns) {
  if (format != kFormatTabDelimited) return;
  for (int id : columns) {
    out += GetString(ColumnById(id).titleString);
    out += '\t';
  }
  out += "\r\n";
}
