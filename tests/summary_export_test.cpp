#include <cstring>

#include "app/config.h"
#include "base/options.h"
#include "base/strings.h"
#include "base/language.h"
#include "export/summary_export.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

AddressBook book;

Conversation Row(uint32_t index, const char* remoteHost) {
  Conversation c;
  c.protocol = kProtoTcp;
  c.index = index;
  c.remoteEntry = book.Intern(index);
  book.SetName(c.remoteEntry, remoteHost);
  return c;
}

std::string Rows(int format, const std::vector<Conversation>& rows, bool titleLine = false) {
  FakePlatform platform;
  Options o;
  ColumnContext ctx{o, nullptr, &book};
  const std::vector<int> cols = {0, 1, 7};  // Index, Protocol, Remote Host
  std::string out;
  AppendFileHeader(out, format, cols, titleLine);
  for (const Conversation& c : rows) AppendSummaryRow(out, c, format, cols, ctx);
  AppendFileFooter(out, format);
  return out;
}

}  // namespace

TEST(SummaryExportTest, EveryFormatByteForByte) {
  // A host name as a DNS answer can make it: no row may split.
  const std::vector<Conversation> two = {Row(1, "a,\"b\"\t<&>\xB0\r\n\x01"), Row(2, "")};
  EXPECT_EQ(Rows(kFormatTabDelimited, two, true),
            "Index\tProtocol\tRemote Host\t\r\n1\tTCP\ta,\"b\" <&>\xB0  \x01\t\r\n2\tTCP\t\t\r\n");
  EXPECT_EQ(Rows(kFormatCsv, two, true),
            "Index,Protocol,Remote Host\r\n1,TCP,\"a,\"\"b\"\"\t<&>\xB0\r\n\x01\"\r\n2,TCP,\r\n");
  EXPECT_EQ(Rows(kFormatText, {two[1]}),
            std::string(50, '=') + "\r\nIndex             : 2\r\nProtocol          : TCP\r\n"
                                   "Remote Host       : \r\n" + std::string(50, '=') + "\r\n\r\n");
  const std::string host60(60, 'h');
  EXPECT_EQ(Rows(kFormatTabular, {Row(7, host60.c_str())}),
            "7          TCP             " + std::string(50, 'h') + " \r\n");
  EXPECT_EQ(Rows(kFormatTabular, {Row(7, "a\r\nb")}),
            "7          TCP             a  b" + std::string(47, ' ') + "\r\n");
  EXPECT_EQ(Rows(kFormatXml, two),
            "<?xml version=\"1.0\"  encoding=\"ISO-8859-1\" ?>\r\n<packets_summary>\r\n"
            "<item>\r\n<index>1</index>\r\n<protocol>TCP</protocol>\r\n"
            "<remote_host>a,&quot;b&quot;\t&lt;&amp;&gt;&#176;&#13;&#10;?</remote_host>\r\n</item>\r\n"
            "<item>\r\n<index>2</index>\r\n<protocol>TCP</protocol>\r\n<remote_host></remote_host>\r\n</item>\r\n"
            "</packets_summary>\r\n");
  const std::string head =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\r\n"
      "<html><head><title>Packets Summary</title></head>\r\n<body>\r\n <h3>Packets Summary</h3>\r\n"
      "<br><h4>Created by using <a href=\"https://www.toveral.com/pakrill/\" target=\"newwin\">Pakrill</a></h4><p>";
  EXPECT_EQ(Rows(kFormatHtmlHorizontal, {two[1]}),
            head + "<table border=\"1\" cellpadding=\"5\"><tr bgcolor=\"E0E0E0\">\r\n<th>Index\r\n<th>Protocol\r\n"
                   "<th>Remote Host\r\n<tr><td bgcolor=#FFFFF0 nowrap>2<td bgcolor=#FFFDF0 nowrap>TCP"
                   "<td bgcolor=#FFFCF0 nowrap>&nbsp;\r\n</table>\r\n\r\n</body></html>");
  EXPECT_EQ(Rows(kFormatHtmlVertical, {two[0]}),
            head + "<table border=\"1\" cellpadding=\"5\">\r\n"
                   "<tr><td bgcolor=\"E0E0E0\" nowrap><b>Index</b><td bgcolor=#FFFFF0 nowrap>1\r\n"
                   "<tr><td bgcolor=\"E0E0E0\" nowrap><b>Protocol</b><td bgcolor=#FFFDF0 nowrap>TCP\r\n"
                   "<tr><td bgcolor=\"E0E0E0\" nowrap><b>Remote Host</b><td bgcolor=#FFFCF0 nowrap>"
                   "a,&quot;b&quot;\t&lt;&amp;&gt;&deg;\r<br>\x01\r\n</table><p>\r\n\r\n</body></html>");
  EXPECT_EQ(PositionColor(11), "FFF0F0");
  EXPECT_EQ(PositionColor(12), "FDF0F1");
  EXPECT_EQ(PositionColor(22), "F0F0FF");
  EXPECT_EQ(HtmlCellText(" x"), " x&nbsp;");
  // A page in UTF-8 keeps its characters whole; a lone B0 is the degree sign.
  EXPECT_EQ(HtmlCellText("Gar\xC3\xB0" "ab\xC3\xA6r \xB0 \xC3"), "Gar\xC3\xB0" "ab\xC3\xA6r &deg; \xC3");
}

TEST(SummaryExportTest, StoredColumnLayout) {
  Options o;
  EXPECT_EQ(ExportColumnsOf(o), DefaultExportColumns());
  // Remote Host first, Protocol hidden, the rest in their default places.
  for (int i = 0; i < kColumnCount; i++) {
    o.Columns[i][0] = int16_t(kColumns[i].defaultWidth);
    o.Columns[i][1] = int16_t(i < 15 ? i + 1 : i);
  }
  o.Columns[15][1] = 0;
  o.Columns[1][0] = 0;
  o.Columns[16][0] = 3000;  // ProcessID: an absurd width is not applied, it stays hidden
  o.ColumnsValid = true;
  std::vector<int> cols = ExportColumnsOf(o);
  ASSERT_EQ(cols.size(), 19u);
  EXPECT_EQ(std::vector<int>(cols.begin(), cols.begin() + 3), std::vector<int>({7, 0, 2}));
  // A column moved past the last place leaves its place to no column: the
  // default order, with the stored widths (Protocol stays hidden).
  o.Columns[15][1] = 30;
  cols = ExportColumnsOf(o);
  ASSERT_EQ(cols.size(), 19u);
  EXPECT_EQ(std::vector<int>(cols.begin(), cols.begin() + 3), std::vector<int>({0, 2, 3}));
  // Two columns at position 0: the layout is ignored.
  o.Columns[15][1] = 0;
  o.Columns[3][1] = 0;
  EXPECT_EQ(ExportColumnsOf(o), DefaultExportColumns());
}

TEST(SummaryExportTest, LanguageFileTranslatesAllButXmlNames) {
  const std::string path = TempPath("lang_lng.ini");
  EXPECT_EQ(LanguageFilePathFor("C:\\x\\pakrill.exe"), "C:\\x\\pakrill_lng.ini");
  EXPECT_EQ(LanguageFilePathFor("/a.b/pakrill"), "/a.b/pakrill_lng.ini");
  std::string ini = "[general]\r\nrtl=1\r\ncharset=windows-1255\r\n[strings]\r\n1002=Proto<b>koll\r\n8=Bericht\r\n"
                    "36=Import: %d%% (Esc)\r\n37=%s %d%%\r\n38=%s%n\r\n40=100% fertig\r\n";
  WriteFileBytes(path, Bytes(ini.begin(), ini.end()));
  ASSERT_TRUE(LoadLanguageFile(path));
  const char* before = GetString(1002);
  EXPECT_STREQ(before, "Proto<b>koll");
  EXPECT_STREQ(GetString(1001), "Index");  // untranslated keys fall back
  EXPECT_STREQ(GetString(1002 | kUntranslated), "Protocol");
  // Texts are printf formats: a translation asking for other arguments is
  // not used.
  EXPECT_STREQ(GetString(36), "Import: %d%% (Esc)");
  EXPECT_STREQ(GetString(37), GetBuiltinString(37));
  EXPECT_STREQ(GetString(38), GetBuiltinString(38));
  EXPECT_STREQ(GetString(40), GetBuiltinString(40));
  // Texts handed out stay valid however many are fetched.
  for (int id = 0; id < 70000; id++) GetString(id);
  EXPECT_STREQ(before, "Proto<b>koll");
  EXPECT_NE(Rows(kFormatXml, {Row(1, "")}).find("<packets_summary>\r\n<item>\r\n<index>1</index>\r\n<protocol>TCP<"),
            std::string::npos);
  const std::string html = Rows(kFormatHtmlHorizontal, {Row(1, "")});
  EXPECT_NE(html.find("<html><head><meta http-equiv='content-type' content='text/html;charset=windows-1255'>"
                      "<title>Bericht</title></head>\r\n<body>\r\n<table dir=\"rtl\"><tr><td>\r\n <h3>Bericht"),
            std::string::npos);
  EXPECT_NE(html.find("<th>Proto&lt;b&gt;koll\r\n"), std::string::npos);
  EXPECT_EQ(html.substr(html.size() - 34), "</table>\r\n</table>\r\n</body></html>");
  ForgetLanguageFile();
  EXPECT_FALSE(LanguageRightToLeft());
  // Only 1 turns right-to-left on (a charset that is no plain name: hostile_cli_test's export_cases).
  ini = "[general]\r\nrtl=2\r\n";
  WriteFileBytes(path, Bytes(ini.begin(), ini.end()));
  ASSERT_TRUE(LoadLanguageFile(path));
  EXPECT_FALSE(LanguageRightToLeft());
  ForgetLanguageFile();
  remove(path.c_str());
  EXPECT_FALSE(LoadLanguageFile(path));
}

// Reports write tab-delimited rows by a quicker path of their own: it must
// give what the row appender gives, whatever the platform and language.
TEST(SummaryExportTest, ReportRowsMatchTheRowAppender) {
  struct OddPlatform : FakePlatform {
    int odd = 0;
    void GroupDigits(const char* d, char* out, size_t outSize) override {
      if (!odd) return FakePlatform::GroupDigits(d, out, outSize);
      std::string s;  // 1: 12\t'34\t'567, three digits, then groups of two; 2: 1\t'234\t'567
      for (size_t i = 0, n = strlen(d); i < n; i++) {
        if (i && (odd == 2 ? (n - i) % 3 == 0 : n - i == 3 || (n - i > 3 && (n - i) % 2 == 1))) s += "\t'";
        s += d[i];
      }
      snprintf(out, outSize, "%s", s.c_str());
    }
    void FormatDateTime(const SystemTime& st, char* out, size_t outSize) override {
      FakePlatform::FormatDateTime(st, out, outSize);
      if (odd) out[10] = '\t';
    }
  } platform;
  std::vector<Conversation> rows(5);
  uint8_t six[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6};
  const uint8_t protocols[5] = {kProtoTcp, kProtoIcmp, kProtoAny, kProtoUdp, 99};
  for (uint32_t i = 0; i < 5; i++) {
    Conversation& c = rows[i];
    c.protocol = protocols[i];
    c.index = i * 99991;
    c.localAddress = Addr("10.0.0.1");
    c.remoteAddress = Addr("203.0.113.255") + (i << 24);
    c.localPort = uint16_t(i * 20000);
    c.remotePort = 80;
    c.localEntry = book.Intern(c.localAddress);
    c.remoteEntry = book.Intern(c.remoteAddress);
    book.SetName(c.remoteEntry, i ? "x\ty" : "");
    book.SetCountry(c.remoteEntry, "Land\r\n");
    c.packets = uint64_t(7) << (i * 12);
    c.outPackets = c.packets / 3;
    c.totalSize = c.outTotalSize = uint64_t(123456789) << (i * 6);
    c.dataSize = 999 + i;
    c.firstTime = i ? 133000000000000000ULL + i * 99999999ULL : 0;
    c.lastTime = c.firstTime + (i == 3 ? 5000000000000ULL : i * 7777);  // 3 gets 138 hours
    c.speed = i * 1000.05 + (i > 2 ? 0.02 : 0);  // 1: a tie to round as printf does
    c.speedValid = i & 1;
    memset(c.localMac, i == 1 ? 0 : 0xFF, 6);
    c.remoteMac[5] = uint8_t(i);
  }
  rows[4].flags = kConvIPv6;
  rows[4].localAddress = rows[4].localEntry = book.Intern6(six);
  six[15] = 7;
  rows[4].remoteAddress = rows[4].remoteEntry = book.Intern6(six);
  const std::string lang = TempPath("tabs_lng.ini"), report = TempPath("rows.txt");
  const std::string ini = "[strings]\r\n101=By\ttes\r\n522=T\rCP\r\n";
  WriteFileBytes(lang, Bytes(ini.begin(), ini.end()));
  std::vector<const Conversation*> all;
  for (size_t i = 0; i < 2100; i++) all.push_back(&rows[i % 5]);  // chunks made on both threads
  std::vector<int> cols;
  for (const ColumnDef& d : kColumns) cols.push_back(d.id);
  for (int variant = 0; variant < 5; variant++) {
    platform.odd = variant % 3;
    if (variant == 2) {
      ASSERT_TRUE(LoadLanguageFile(lang));
    }
    if (variant == 4) {
      // Words as long as a language file may make them, in a row of few
      // columns: cut, not past the row's room.
      std::string longWords = "[strings]\r\n";
      for (int id : {101, 26, 521, 522, 523}) longWords += std::to_string(id) + "=" + std::string(4000, 'W') + "\r\n";
      WriteFileBytes(lang, Bytes(longWords.begin(), longWords.end()));
      ASSERT_TRUE(LoadLanguageFile(lang));
      cols = {1, 11, 12};
    }
    Options o;
    o.ShowOutgoingIncoming = variant == 3;
    ColumnContext ctx{o, nullptr, &book};
    std::string want, error;
    AppendFileHeader(want, kFormatTabDelimited, cols, true);
    for (const Conversation* c : all) AppendSummaryRow(want, *c, kFormatTabDelimited, cols, ctx);
    ASSERT_TRUE(WriteSummaryFile(report.c_str(), kFormatTabDelimited, all, cols, ctx, true, &error));
    EXPECT_EQ(ReadFileText(report), want) << variant;
    if (variant == 4) {
      EXPECT_NE(want.find("\r\n" + std::string(kMaxRowWord, 'W') + "\t"), std::string::npos);
    }
  }
  ForgetLanguageFile();
}

// The fixed-width format widens its address columns to the longest IPv6
// address of the rows, and only then.
TEST(SummaryExportTest, IPv6Rows) {
  FakePlatform platform;
  Options o;
  ConversationTable table(o, nullptr);
  const std::function<const Conversation&(size_t)> row = [&](size_t i) -> const Conversation& { return table.at(i); };
  const ColumnContext ctx{o, nullptr, &table.addresses()};
  const std::vector<int> cols = {0, 2, 3};
  Account(table, Ipv4Packet(17, "10.0.0.1", "10.0.0.2", 1, 2, 3));
  EXPECT_EQ(TabularAddressWidth(1, row, cols, ctx), 15u);
  const char* longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe";
  Account(table, Ip6(6, "2001:db8::1", longest, 1, 2, "x"));
  EXPECT_EQ(TabularAddressWidth(2, row, cols, ctx), 39u);
  EXPECT_EQ(TabularAddressWidth(2, row, {0, 1}, ctx), 15u);
  // The rows at that width in every format: hostile_cli_test's IPv6 cases.
}
