#include "export/summary_export.h"

#include <cstdio>

#include "app/strings.h"

std::vector<int> DefaultExportColumns() {
  std::vector<int> cols;
  for (const ColumnDef& d : kColumns)
    if (d.defaultWidth > 0) cols.push_back(d.id);
  return cols;
}

std::string HtmlCellText(const char* text) {
  std::string out;
  for (const char* p = text; *p; p++) {
    switch (*p) {
      case '\n': out += "<br>"; break;
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\xB0': out += "&deg;"; break;
      default: out += *p;
    }
  }
  if (out.empty() || out[0] == ' ') out += "&nbsp;";
  return out;
}

std::string PositionColor(int i) {
  static const int kColors[3][3] = {{0xFF, 0xFF, 0xF0}, {0xFF, 0xF0, 0xF0}, {0xF0, 0xF0, 0xFF}};
  const double t = 2.0 * i / 22.0;
  int k = int(t);
  if (k > 1) k = 1;
  const double f = t - k;
  char hex[8];
  int ch[3];
  for (int c = 0; c < 3; c++) ch[c] = int(kColors[k][c] + (kColors[k + 1][c] - kColors[k][c]) * f);
  snprintf(hex, sizeof hex, "%2.2X%2.2X%2.2X", ch[0], ch[1], ch[2]);
  return hex;
}

void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx) {
  char buf[kColumnTextSize];
  switch (format) {
    case kFormatText: {
      char line[1200];
      out += std::string(50, '=') + "\r\n";
      for (int id : columns) {
        snprintf(line, sizeof line, "%-18s: %s\r\n", GetString(ColumnById(id).titleString),
                 ColumnText(c, id, buf, ctx));
        out += line;
      }
      out += std::string(50, '=') + "\r\n\r\n";
      break;
    }
    case kFormatHtmlVertical: {
      out += "<table border=\"1\" cellpadding=\"5\">\r\n";
      int i = 0;
      for (int id : columns) {
        out += "<tr><td bgcolor=\"E0E0E0\" nowrap><b>";
        out += GetString(ColumnById(id).titleString);
        out += "</b><td bgcolor=#" + PositionColor(i++) + " nowrap>";
        out += HtmlCellText(ColumnText(c, id, buf, ctx));
        out += "\r\n";
      }
      out += "</table><p>\r\n";
      break;
    }
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
