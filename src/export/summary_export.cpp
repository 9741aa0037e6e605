#include "export/summary_export.h"

#include <cstdio>
#include <cstring>

#include "base/code_page.h"
#include "base/options.h"
#include "base/platform.h"
#include "base/strings.h"
#include "base/language.h"
#include "base/raw_file.h"

namespace {

constexpr int kTitleString = 8;
constexpr int kCreditString = 6;
const char kTitleBackground[] = "E0E0E0";
const char kCreditLink[] = "<a href=\"https://www.toveral.com/pakrill/\" target=\"newwin\">Pakrill";

const char* Title(int id) { return GetString(ColumnById(id).titleString); }

// In the line-based formats a tab, CR or LF inside a text (a host name from
// the network, a translated title) would add columns or rows.
void AppendFlat(std::string& out, const char* text, size_t n) {
  for (size_t i = 0; i < n && text[i]; i++)
    out += text[i] == '\t' || text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
}
void AppendFlat(std::string& out, const char* text) { AppendFlat(out, text, strlen(text)); }
// The same into a row being built; `text` may lie at `p` itself.
char* PutFlat(char* p, const char* text) {
  for (char ch; (ch = *text) != 0; text++) *p++ = ch == '\t' || ch == '\r' || ch == '\n' ? ' ' : ch;
  return p;
}

void AppendCsvField(std::string& out, const char* text) {
  if (!strpbrk(text, ",\"\r\n")) {
    out += text;
    return;
  }
  out += '"';
  for (const char* p = text; *p; p++) {
    if (*p == '"') out += '"';
    out += *p;
  }
  out += '"';
}

}  // namespace

std::vector<int> DefaultExportColumns() {
  std::vector<int> cols;
  for (const ColumnDef& d : kColumns)
    if (d.defaultWidth > 0) cols.push_back(d.id);
  return cols;
}

std::vector<int> ExportColumnsOf(const Options& o) {
  if (!o.ColumnsValid) return DefaultExportColumns();
  int zeros = 0;
  for (const auto& e : o.Columns) zeros += e[1] == 0;
  if (zeros >= 2) return DefaultExportColumns();
  // As the list applies it: position by position, widths only when sane.
  int order[kColumnCount], width[kColumnCount];
  for (int i = 0; i < kColumnCount; i++) {
    order[i] = i;
    width[i] = kColumns[i].defaultWidth;
  }
  for (int p = 0; p < kColumnCount; p++)
    for (int col = 0; col < kColumnCount; col++)
      if (o.Columns[col][1] == p) {
        order[p] = col;
        if (o.Columns[col][0] >= 0 && o.Columns[col][0] < 2000) width[col] = o.Columns[col][0];
      }
  // A column left out of the stored order keeps its default place, as the
  // list refuses an order array that names a column twice.
  bool seen[kColumnCount] = {};
  for (int p = 0; p < kColumnCount; p++) {
    if (seen[order[p]]) return DefaultExportColumns();
    seen[order[p]] = true;
  }
  std::vector<int> cols;
  for (int p = 0; p < kColumnCount; p++)
    if (width[order[p]] > 0) cols.push_back(kColumns[order[p]].id);
  return cols;
}

std::string MarkupText(const char* text, bool xml) {
  std::string out;
  const size_t n = strlen(text);
  if (xml) {
    // Only ASCII goes out: every other character as its reference, so the
    // file reads the same whatever the system's code page.
    for (const char32_t ch : GetPlatform().DecodeText(text, n)) {
      switch (ch) {
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        case '"': out += "&quot;"; break;
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default:
          // XML 1.0 cannot hold the other control characters, surrogates, FFFE and FFFF.
          if (ch < 0x20 ? ch != '\t' : (ch >= 0xD800 && ch < 0xE000) || ch == 0xFFFE || ch == 0xFFFF) out += '?';
          else if (ch >= 0x80) out += "&#" + std::to_string(uint32_t(ch)) + ";";
          else out += char(ch);
      }
    }
    return out;
  }
  for (size_t i = 0; i < n; i++) {
    if (const size_t seq = Utf8SequenceAt(text + i, n - i)) {
      out.append(text + i, seq);  // a page in UTF-8 shows the character itself
      i += seq - 1;
      continue;
    }
    switch (text[i]) {
      case '\n': out += "<br>"; break;
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\xB0': out += "&deg;"; break;
      default: out += text[i];
    }
  }
  return out;
}

std::string HtmlCellText(const char* text) {
  std::string out = MarkupText(text, false);
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
  snprintf(hex, sizeof hex, "%2.2X%2.2X%2.2X", ch[0] & 0xFF, ch[1] & 0xFF, ch[2] & 0xFF);
  return hex;
}

std::string XmlElementName(int titleString) {
  std::string name = GetString(titleString | kUntranslated);
  for (char& ch : name) {
    if (ch == ' ' || ch == '\\' || ch == '/') ch = '_';
    if (ch >= 'A' && ch <= 'Z') ch = char(ch + 32);
  }
  return name;
}

void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx) {
  char buf[kColumnTextSize];
  int i = 0;
  switch (format) {
    case kFormatText:
      out.append(50, '=');
      out += "\r\n";
      for (int id : columns) {
        const char* title = Title(id);
        AppendFlat(out, title);
        const size_t n = strlen(title);
        if (n < 18) out.append(18 - n, ' ');
        out += ": ";
        AppendFlat(out, ColumnText(c, id, buf, ctx));
        out += "\r\n";
      }
      out.append(50, '=');
      out += "\r\n\r\n";
      break;
    case kFormatTabular:
      for (int id : columns) {
        const size_t w = size_t(ColumnById(id).tabularWidth);
        const char* text = ColumnText(c, id, buf, ctx);
        const size_t n = strnlen(text, w);
        AppendFlat(out, text, n);
        out.append(w - n + 1, ' ');
      }
      out += "\r\n";
      break;
    case kFormatHtmlHorizontal:
      out += "<tr>";
      for (int id : columns) {
        out += "<td bgcolor=#" + PositionColor(i++) + " nowrap>";
        out += HtmlCellText(ColumnText(c, id, buf, ctx));
      }
      out += "\r\n";
      break;
    case kFormatHtmlVertical:
      out += "<table border=\"1\" cellpadding=\"5\">\r\n";
      for (int id : columns) {
        out += "<tr><td bgcolor=\"";
        out += kTitleBackground;
        out += "\" nowrap><b>";
        out += MarkupText(Title(id));
        out += "</b><td bgcolor=#" + PositionColor(i++) + " nowrap>";
        out += HtmlCellText(ColumnText(c, id, buf, ctx));
        out += "\r\n";
      }
      out += "</table><p>\r\n";
      break;
    case kFormatXml:
      out += "<item>\r\n";
      for (int id : columns) {
        const std::string name = XmlElementName(ColumnById(id).titleString);
        out += "<" + name + ">";
        out += MarkupText(ColumnText(c, id, buf, ctx), true);
        out += "</" + name + ">\r\n";
      }
      out += "</item>\r\n";
      break;
    case kFormatCsv:
      for (int id : columns) {
        if (i++) out += ',';
        AppendCsvField(out, ColumnText(c, id, buf, ctx));
      }
      out += "\r\n";
      break;
    case kFormatTabDelimited:
    default:
      // Reports write millions of rows: each column's text is made in place
      // in the row, which is appended once.
      if (columns.size() <= size_t(kColumnCount)) {
        char row[kColumnCount * kColumnTextSize + 2];
        char* p = row;
        for (int id : columns) {
          p = PutFlat(p, ColumnText(c, id, p, ctx));
          *p++ = '\t';
        }
        *p++ = '\r';
        *p++ = '\n';
        out.append(row, size_t(p - row));
        break;
      }
      for (int id : columns) {
        AppendFlat(out, ColumnText(c, id, buf, ctx));
        out += '\t';
      }
      out += "\r\n";
      break;
  }
}

void AppendTitleLine(std::string& out, int format, const std::vector<int>& columns) {
  if (format == kFormatTabDelimited) {
    for (int id : columns) {
      AppendFlat(out, Title(id));
      out += '\t';
    }
  } else if (format == kFormatCsv) {
    int i = 0;
    for (int id : columns) {
      if (i++) out += ',';
      AppendCsvField(out, Title(id));
    }
  } else {
    return;
  }
  out += "\r\n";
}

void AppendFileHeader(std::string& out, int format, const std::vector<int>& columns, bool titleLine) {
  if (format == kFormatTabDelimited || format == kFormatCsv) {
    if (titleLine) AppendTitleLine(out, format, columns);
    return;
  }
  if (format == kFormatXml) {
    out += "<?xml version=\"1.0\"  encoding=\"ISO-8859-1\" ?>\r\n<" + XmlElementName(kTitleString) + ">\r\n";
    return;
  }
  if (format != kFormatHtmlHorizontal && format != kFormatHtmlVertical) return;
  const std::string title = MarkupText(GetString(kTitleString));
  out += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\r\n<html><head>";
  if (LanguageCharset()[0]) {
    out += "<meta http-equiv='content-type' content='text/html;charset=";
    out += LanguageCharset();
    out += "'>";
  }
  out += "<title>";
  out += title;
  out += "</title></head>\r\n<body>\r\n";
  if (LanguageRightToLeft()) out += "<table dir=\"rtl\"><tr><td>\r\n";
  out += " <h3>";
  out += title;
  out += "</h3>\r\n<br><h4>";
  out += MarkupText(GetString(kCreditString));
  out += " ";
  out += kCreditLink;
  out += "</a></h4><p>";
  if (format == kFormatHtmlHorizontal) {
    out += "<table border=\"1\" cellpadding=\"5\"><tr bgcolor=\"";
    out += kTitleBackground;
    out += "\">\r\n";
    for (int id : columns) {
      out += "<th>";
      out += MarkupText(Title(id));
      out += "\r\n";
    }
  }
}

void AppendFileFooter(std::string& out, int format) {
  if (format == kFormatXml) {
    out += "</" + XmlElementName(kTitleString) + ">\r\n";
    return;
  }
  if (format != kFormatHtmlHorizontal && format != kFormatHtmlVertical) return;
  if (format == kFormatHtmlHorizontal) out += "</table>\r\n";
  if (LanguageRightToLeft()) out += "</table>";
  out += "\r\n</body></html>";
}

bool WriteSummaryFile(const char* path, int format, const std::vector<const Conversation*>& rows,
                      const std::vector<int>& columns, const ColumnContext& ctx, bool titleLine,
                      std::string* error, unsigned long* errorCode) {
  return WriteSummaryFile(
      path, format, rows.size(), [&](size_t i) -> const Conversation& { return *rows[i]; }, columns, ctx, titleLine,
      error, errorCode);
}

bool WriteSummaryFile(const char* path, int format, size_t count, const std::function<const Conversation&(size_t)>& row,
                      const std::vector<int>& columns, const ColumnContext& ctx, bool titleLine,
                      std::string* error, unsigned long* errorCode) {
  auto fail = [&] {
    if (errorCode) *errorCode = RawFile::LastErrorCode();
    *error = RawFile::LastErrorText();
    return false;
  };
  RawFile out;
  if (!out.OpenWrite(path)) return fail();
  std::string buf;
  buf.reserve(1 << 17);
  AppendFileHeader(buf, format, columns, titleLine);
  for (size_t i = 0; i < count; i++) {
    AppendSummaryRow(buf, row(i), format, columns, ctx);
    if (buf.size() >= (1 << 16)) {
      if (!out.Write(buf.data(), buf.size())) return fail();
      buf.clear();
    }
  }
  AppendFileFooter(buf, format);
  if (!out.Write(buf.data(), buf.size())) return fail();
  out.Close();
  return true;
}
