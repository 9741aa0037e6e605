#include "export/summary_export.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/code_page.h"
#include "base/ip_address.h"
#include "base/options.h"
#include "base/parallel.h"
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
// The same into a row being built; `text` may lie at `p` itself. Byte by
// byte: the bytes were mostly just written, and wider reads of them would
// wait for those writes.
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

// Decimal digits of v, without a terminating zero; two per division, in 32
// bits once the value fits (a 32-bit program divides 64-bit numbers by a
// library call). The digits are counted from the highest bit set, without
// branches: counters of every length follow each other in a row.
char* PutDigits(char* p, uint64_t v) {
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  static const uint64_t kPowers[20] = {1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL,
                                       10000000ULL, 100000000ULL, 1000000000ULL, 10000000000ULL,
                                       100000000000ULL, 1000000000000ULL, 10000000000000ULL,
                                       100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
                                       100000000000000000ULL, 1000000000000000000ULL,
                                       10000000000000000000ULL};
  // log10 from log2 (1233 / 4096 just above log10(2)), one less below the power.
  const int t = (64 - __builtin_clzll(v | 1)) * 1233 >> 12;
  const int n = t + 1 - ((v | 1) < kPowers[t]);
  char* q = p + n;
  for (; v > 0xFFFFFFFFu; v /= 100) memcpy(q -= 2, kPairs + v % 100 * 2, 2);
  uint32_t w = uint32_t(v);
  for (; w >= 100; w /= 100) memcpy(q -= 2, kPairs + w % 100 * 2, 2);
  if (w >= 10) memcpy(q - 2, kPairs + w * 2, 2);
  else q[-1] = char('0' + w);
  return p + n;
}

// "000" to "999", for digit groups.
struct Triples {
  char t[1000][4];
  Triples() {
    for (int i = 0; i < 1000; i++) {
      t[i][0] = char('0' + i / 100);
      t[i][1] = char('0' + i / 10 % 10);
      t[i][2] = char('0' + i % 10);
      t[i][3] = 0;
    }
  }
};
const Triples kTripleTable;
const char (*const kTriples)[4] = kTripleTable.t;

// At least `width` (up to 3) digits, zero-padded.
char* PutPadded(char* p, uint64_t v, int width) {
  if (width >= 3 && v < 100) *p++ = '0';
  if (width >= 2 && v < 10) *p++ = '0';
  return PutDigits(p, v);
}

// Tab-delimited rows of a report, millions of them, written as ColumnText
// would write them: the texts that repeat (units, protocol names, the date
// and time of a second, the digit grouping) are made once, numbers go
// straight into the row, and the columns made elsewhere (IPv6 addresses,
// processes) come from ColumnText.
class TabRowWriter {
 public:
  TabRowWriter(const std::vector<int>& columns, const ColumnContext& ctx) : columns_(columns), ctx_(ctx) {
    split_ = ctx.options.ShowOutgoingIncoming != 0;
    texts_ = ctx.addresses && ctx.addresses->HasTexts();
    Keep(unit_, " ", RowWord(101));
    Keep(speedUnit_, " ", RowWord(26));
    Keep(protocols_[0], "", RowWord(521));
    Keep(protocols_[1], "", RowWord(522));
    Keep(protocols_[2], "", RowWord(523));
    ProbeGrouping();
    for (int i = 0; i < 256; i++) {
      char* e = PutDigits(octets_[i], uint64_t(i));
      *e = '.';
      octets_[i][4] = char(e + 1 - octets_[i]);
    }
  }
  // The bytes a row may take.
  size_t Room() const { return columns_.size() * kColumnTextSize + 2; }

  char* Put(char* p, const Conversation& c) {
    for (int id : columns_) {
      p = PutColumn(p, c, id);
      *p++ = '\t';
    }
    *p++ = '\r';
    *p++ = '\n';
    return p;
  }

 private:
  // Kept texts have room for 32 bytes, so that the short ones, nearly all,
  // are copied 32 bytes at once (the row has room for that).
  static void Keep(std::string& out, const char* prefix, const char* text) {
    out = prefix;
    AppendFlat(out, text);
    out.reserve(32);
  }
  static char* PutText(char* p, const std::string& s) {
    if (s.size() <= 32) memcpy(p, s.data(), 32);
    else memcpy(p, s.data(), s.size());
    return p + s.size();
  }

  // The platform groups digits by the user's locale: when it puts one
  // separator after every third digit from the right for every length,
  // numbers are grouped here; otherwise it is asked each time.
  void ProbeGrouping() {
    char got[32], want[200];  // 20 digits and 6 separators of up to 27 bytes
    FormatNumber(1234, got, sizeof got);
    if (strlen(got) < 4 || got[0] != '1' || strcmp(got + strlen(got) - 3, "234") != 0) return;
    Keep(separator_, "", std::string(got + 1, strlen(got) - 4).c_str());
    uint64_t v = 0;
    for (int n = 1; n <= 20; n++) {
      v = v * 10 + uint64_t(n % 10);
      FormatNumber(v, got, sizeof got);
      std::string flat;
      AppendFlat(flat, got);
      *PutGrouped(want, v) = 0;
      if (flat != want) return;
    }
    grouped_ = true;
  }
  // The groups from the right, three digits each from a table, the first
  // one as it comes: writing the digits and then moving them apart made
  // every byte wait for the write before.
  char* PutGrouped(char* p, uint64_t v) const {
    if (v < 1000 || separator_.empty()) return PutDigits(p, v);
    uint32_t groups[7];  // 2^64 has 20 digits
    int n = 0;
    for (; v >= 1000; v /= 1000) groups[n++] = uint32_t(v % 1000);
    p = PutDigits(p, v);
    const size_t gap = separator_.size();
    while (n--) {
      if (gap == 1) *p++ = separator_[0];
      else p = static_cast<char*>(memcpy(p, separator_.data(), gap)) + gap;
      memcpy(p, kTriples[groups[n]], 4);  // the row has room for the fourth byte
      p += 3;
    }
    return p;
  }
  char* PutNumber(char* p, uint64_t v) const {
    if (grouped_) return PutGrouped(p, v);
    char text[32];
    FormatNumber(v, text, sizeof text);
    return PutFlat(p, text);
  }

  // First and last times each keep the text of their latest second.
  char* PutTime(char* p, FileTime t, int which) {
    const uint64_t second = t / 10000000;
    std::string& text = time_[which];
    if (!timeValid_[which] || second != second_[which]) {
      // "<date and time>:<milliseconds>", the former the same for the whole second.
      char full[300];
      FormatPacketTime(t, full, sizeof full);
      const size_t n = strlen(full);
      Keep(text, "", std::string(full, n >= 3 ? n - 3 : 0).c_str());
      second_[which] = second;
      timeValid_[which] = true;
    }
    p = PutText(p, text);
    return PutPadded(p, t / 10000 % 1000, 3);
  }

  // ColumnText's "%0.1f" of the speed where its quick rounding is sure;
  // ColumnText itself otherwise.
  char* PutSpeed(char* p, const Conversation& c) {
    if (!c.speedValid) return p;
    const double tenths = c.speed * 10;
    if (tenths >= 0 && tenths < 1e12) {
      const double whole = double(uint64_t(tenths)), frac = tenths - whole;
      if (frac < 0.499 || frac > 0.501) {
        const uint64_t n = uint64_t(whole) + (frac > 0.5 ? 1 : 0);
        p = PutDigits(p, n / 10);
        *p++ = '.';
        *p++ = char('0' + n % 10);
        return PutText(p, speedUnit_);
      }
    }
    return PutFlat(p, ColumnText(c, 12, p, ctx_));
  }

  char* PutAddress(char* p, uint32_t address) const {
    uint8_t b[4];
    memcpy(b, &address, 4);
    for (int i = 0; i < 4; i++) {
      memcpy(p, octets_[b[i]], 4);  // the digits and a dot
      p += octets_[b[i]][4];
    }
    return p - 1;
  }
  // An IPv6 address is made once for a run of rows that hold it: the
  // capturing host's, nearly always, on either side (the side a capture
  // from elsewhere makes local is the one that spoke first). Of the two
  // texts kept, a new one takes the place of the one found less often.
  char* PutAddress6(char* p, uint32_t entry) {
    const AddressBook* book = ctx_.addresses;
    if (!book) return p;
    Address6Text* t = entry == address6_[0].entry ? &address6_[0] : entry == address6_[1].entry ? &address6_[1] : nullptr;
    if (t) {
      t->found++;
    } else {
      t = &address6_[address6_[0].found < address6_[1].found ? 0 : 1];
      address6_[0].found /= 2;  // an address that stops coming gives way in time
      address6_[1].found /= 2;
      t->length = FormatIPv6(book->address6(entry), t->text, sizeof t->text);
      t->entry = entry;
    }
    memcpy(p, t->text, t->length);
    return p + t->length;
  }
  // A side's text is made again only when its MAC differs from the row
  // before: a capture holds few of them, nearly always the same two.
  char* PutMac(char* p, const uint8_t* m, int side) {
    MacText& t = mac_[side];
    if (!t.valid || memcmp(t.mac, m, 6) != 0) {
      static const char kHex[] = "0123456789abcdef";
      memcpy(t.mac, m, 6);
      t.valid = true;
      bool zero = true, ones = true;
      for (int i = 0; i < 6; i++) {
        zero = zero && t.mac[i] == 0;
        ones = ones && t.mac[i] == 0xFF;
      }
      t.length = zero || ones ? 0 : 17;
      for (int i = 0; i < 6; i++) {
        t.text[i * 3] = kHex[t.mac[i] >> 4];
        t.text[i * 3 + 1] = kHex[t.mac[i] & 15];
        t.text[i * 3 + 2] = '-';
      }
    }
    memcpy(p, t.text, sizeof t.text);  // the row has room for it
    return p + t.length;
  }
  char* PutService(char* p, uint16_t localPort, uint16_t remotePort) const {
    const char* name = platform_.ServiceName(localPort);
    if (!name && !(localPort >= 1 && localPort <= 1023)) name = platform_.ServiceName(remotePort);
    if (!name) return p;
    char* start = p;
    for (; *name && p - start < 254; name++) *p++ = *name == '\t' || *name == '\r' || *name == '\n' ? ' ' : *name;
    return p;
  }

  char* PutColumn(char* p, const Conversation& c, int id) {
    const AddressBook* book = ctx_.addresses;
    switch (id) {
      case 0:
        return PutDigits(p, c.index);
      case 1:
        if (c.protocol == kProtoIcmp) return PutText(p, protocols_[0]);
        if (c.protocol == kProtoTcp) return PutText(p, protocols_[1]);
        if (c.protocol == kProtoUdp) return PutText(p, protocols_[2]);
        if (c.protocol == kProtoAny) *p++ = '*';
        return p;
      case 2:
      case 3:
        if (c.flags & kConvIPv6) return PutAddress6(p, id == 2 ? c.localEntry : c.remoteEntry);
        return PutAddress(p, id == 2 ? c.localAddress : c.remoteAddress);
      case 4:
      case 5: {
        const uint16_t port = id == 4 ? c.localPort : c.remotePort;
        if (c.protocol == kProtoAny) *p++ = '*';
        else if (port) p = PutDigits(p, port);
        return p;
      }
      case 6:
      case 7:
        return texts_ ? PutFlat(p, book->Name(id == 6 ? c.localEntry : c.remoteEntry)) : p;
      case 21:
      case 22:
        return texts_ ? PutFlat(p, book->Country(id == 21 ? c.localEntry : c.remoteEntry)) : p;
      case 8:
        return PutService(p, c.localPort, c.remotePort);
      case 9:
        if (split_) break;
        return PutNumber(p, c.packets);
      case 10:
      case 11:
        if (split_) break;
        return PutText(PutNumber(p, id == 10 ? c.dataSize : c.totalSize), unit_);
      case 12:
        return PutSpeed(p, c);
      case 13:
      case 14:
        return PutTime(p, id == 13 ? c.firstTime : c.lastTime, id - 13);
      case 15: {
        const int64_t ticks = int64_t(c.lastTime - c.firstTime);
        const uint64_t ms = ticks > 0 ? uint64_t(ticks) / 10000 : 0;
        p = PutPadded(p, ms / 3600000, 2);
        *p++ = ':';
        p = PutPadded(p, ms / 60000 % 60, 2);
        *p++ = ':';
        p = PutPadded(p, ms / 1000 % 60, 2);
        *p++ = '.';
        return PutPadded(p, ms % 1000, 3);
      }
      case 19:
      case 20:
        return PutMac(p, id == 19 ? c.localMac : c.remoteMac, id - 19);
      default:
        break;
    }
    return PutFlat(p, ColumnText(c, id, p, ctx_));
  }

  const std::vector<int>& columns_;
  const ColumnContext& ctx_;
  Platform& platform_ = GetPlatform();
  char octets_[256][5];  // "255." and its length
  bool split_ = false;
  bool texts_ = false;  // names or countries to look up
  std::string unit_, speedUnit_, protocols_[3], separator_, time_[2];
  bool grouped_ = false;
  struct Address6Text {
    uint32_t entry = 0;
    uint32_t found = 0;
    size_t length = 0;
    char text[kIpAddressTextSize];
  } address6_[2];
  bool timeValid_[2] = {};
  uint64_t second_[2] = {};
  struct MacText {
    uint8_t mac[6];
    bool valid = false;
    size_t length = 0;
    char text[18] = {};
  } mac_[2];
};

}  // namespace

std::vector<int> DefaultExportColumns() {
  std::vector<int> cols;
  for (const ColumnDef& d : kColumns)
    if (d.defaultWidth > 0) cols.push_back(d.id);
  return cols;
}

bool StoredColumnLayout(const Options& o, int (&order)[kColumnCount], int (&width)[kColumnCount]) {
  for (int i = 0; i < kColumnCount; i++) {
    order[i] = i;
    width[i] = kColumns[i].defaultWidth;
  }
  if (!o.ColumnsValid) return false;
  int zeros = 0;
  for (const auto& e : o.Columns) zeros += e[1] == 0;
  if (zeros >= 2) return false;
  // Position by position, widths only when sane.
  for (int p = 0; p < kColumnCount; p++)
    for (int col = 0; col < kColumnCount; col++)
      if (o.Columns[col][1] == p) {
        order[p] = col;
        if (o.Columns[col][0] >= 0 && o.Columns[col][0] < 2000) width[col] = o.Columns[col][0];
      }
  // A column left out of the stored order keeps its default place; an order
  // that then names a column twice is no order (the widths still hold).
  bool seen[kColumnCount] = {};
  for (int p = 0; p < kColumnCount; p++) {
    if (seen[order[p]]) {
      for (int i = 0; i < kColumnCount; i++) order[i] = i;
      break;
    }
    seen[order[p]] = true;
  }
  return true;
}

std::vector<int> ExportColumnsOf(const Options& o) {
  int order[kColumnCount], width[kColumnCount];
  StoredColumnLayout(o, order, width);
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

size_t TabularAddressWidth(size_t count, const std::function<const Conversation&(size_t)>& row,
                           const std::vector<int>& columns, const ColumnContext& ctx) {
  size_t width = size_t(ColumnById(2).tabularWidth);
  bool shown = false;
  for (int id : columns) shown = shown || id == 2 || id == 3;
  if (!shown || !ctx.addresses) return width;
  char text[kIpAddressTextSize];
  for (size_t i = 0; i < count; i++) {
    const Conversation& c = row(i);
    if (!(c.flags & kConvIPv6)) continue;
    for (uint32_t entry : {c.localEntry, c.remoteEntry}) {
      const size_t n = FormatIPv6(ctx.addresses->address6(entry), text, sizeof text);
      if (n > width) width = n;
    }
  }
  return width;
}

void AppendSummaryRow(std::string& out, const Conversation& c, int format,
                      const std::vector<int>& columns, const ColumnContext& ctx, size_t addressWidth) {
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
        size_t w = size_t(ColumnById(id).tabularWidth);
        if ((id == 2 || id == 3) && addressWidth > w) w = addressWidth;
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

bool MakeTabRows(size_t count, const std::function<const Conversation&(size_t)>& row, const std::vector<int>& columns,
                 const ColumnContext& ctx, const std::function<bool(const char*, size_t)>& use, bool* outOfMemory) {
  // Rows straight into buffers of a chunk each, made on two threads (a
  // writer each: they keep texts of the rows before), used by this one.
  TabRowWriter writers[2] = {TabRowWriter(columns, ctx), TabRowWriter(columns, ctx)};
  constexpr size_t kChunkRows = 1024;
  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t size = 0, used = 0;
    bool full = false;  // out of memory
  } chunks[kMakeSlots];
  const size_t room = writers[0].Room();
  bool full = false;
  auto make = [&](size_t k, int slot, int worker) {
    Chunk& c = chunks[slot];
    TabRowWriter& w = writers[worker];
    c.used = 0;
    c.full = false;
    const size_t end = count < (k + 1) * kChunkRows ? count : (k + 1) * kChunkRows;
    for (size_t i = k * kChunkRows; i < end; i++) {
      if (c.size - c.used < room) {
        const size_t size = c.size ? c.size * 2 : (1 << 18) + room;
        char* grown = new (std::nothrow) char[size];
        if (!grown) {
          c.full = true;
          return;
        }
        if (c.used) memcpy(grown, c.data.get(), c.used);
        c.data.reset(grown);
        c.size = size;
      }
      c.used = size_t(w.Put(c.data.get() + c.used, row(i)) - c.data.get());
    }
  };
  auto take = [&](size_t, int slot) {
    full = chunks[slot].full;
    return !full && use(chunks[slot].data.get(), chunks[slot].used);
  };
  const bool ok = MakeOnTwoThreads((count + kChunkRows - 1) / kChunkRows, make, take, 256 * 1024);
  if (outOfMemory) *outOfMemory = full;
  return ok;
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
  CreatedFile created(path);
  const bool ok = [&] {
    RawFile out;
    if (!out.OpenWrite(path)) return fail();
    std::string buf;
    buf.reserve(1 << 17);
    AppendFileHeader(buf, format, columns, titleLine);
    if (format == kFormatTabDelimited) {
      if (!buf.empty() && !out.Write(buf.data(), buf.size())) return fail();
      // The reason is taken at once: waking the other thread may change it.
      unsigned long code = 0;
      std::string reason;
      bool full = false;
      const bool made = MakeTabRows(
          count, row, columns, ctx,
          [&](const char* data, size_t size) {
            if (out.Write(data, size)) return true;
            code = RawFile::LastErrorCode();
            reason = RawFile::LastErrorText();
            return false;
          },
          &full);
      if (!made) {
        if (full) {
          code = kOutOfMemoryCode;
          reason = "out of memory";
        }
        if (errorCode) *errorCode = code;
        *error = reason;
        return false;
      }
      return out.Close() || fail();
    }
    const size_t addressWidth = format == kFormatTabular ? TabularAddressWidth(count, row, columns, ctx) : 0;
    for (size_t i = 0; i < count; i++) {
      AppendSummaryRow(buf, row(i), format, columns, ctx, addressWidth);
      if (buf.size() >= (1 << 16)) {
        if (!out.Write(buf.data(), buf.size())) return fail();
        buf.clear();
      }
    }
    AppendFileFooter(buf, format);
    if (!out.Write(buf.data(), buf.size()) || !out.Close()) return fail();
    return true;
  }();
  if (ok) created.Keep();
  return ok;
}
