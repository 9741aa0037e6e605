#include <chrono>
#include <cstring>
#ifndef _WIN32
#include <netdb.h>
#endif

#include "app/config.h"
#include "base/ini.h"
#include "base/services.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(ConfigTest, RoundTripKeepsOtherSectionsAndEncodesBinaries) {
  const std::string path = TempPath("pakrill.cfg");
  std::string start = "[Other]\n; a note\n\n Keep = me\r\n[General]\r\nUnknownKey=1\r\nDisplayMode=9\r\n";
  WriteFileBytes(path, Bytes(start.begin(), start.end()));
  Options o;
  LoadSettings(path, o);
  EXPECT_EQ(o.DisplayMode, 4);  // clamped
  EXPECT_EQ(o.SplitLoc, 16383);
  o.CaptureFilter = "AB";
  for (int k = 0; k < 2000; k++) o.DisplayFilter += "exclude:both:all:10.0." + std::to_string(k % 250) + ".1 ";
  o.CaptureMethod = 2;
  snprintf(o.PCapAdapterName, sizeof o.PCapAdapterName, "\\Device\\NPF_{X}");
  o.WinPosValid = true;
  o.WinPos[0] = 44;
  o.ColumnsValid = true;
  o.Columns[22][0] = 120;
  o.Columns[22][1] = 22;
  ASSERT_TRUE(SaveSettings(path, o));
  const std::string text = ReadFileText(path);
  EXPECT_NE(text.find("[Other]\r\n; a note\r\n\r\n Keep = me\r\n[General]\r\n"), std::string::npos);
  EXPECT_NE(text.find("UnknownKey=1"), std::string::npos);
  EXPECT_NE(text.find("CaptureFilter=41 42 00\r\n"), std::string::npos);
  EXPECT_NE(text.find("SaveSteamsFilterIndex=0"), std::string::npos);
  EXPECT_NE(text.find("HttpExtractOptions.Folder=\r\n"), std::string::npos);
  // The keys of the section General come in the order of the record.
  EXPECT_LT(text.find("ShowGridLines="), text.find("AlwaysOnTop="));
  EXPECT_LT(text.find("AlwaysOnTop="), text.find("CaptureFilter="));
  EXPECT_LT(text.find("Columns="), text.find("Sort="));

  // Every value read back is saved as it was (into fresh files, which keep nothing of before).
  Options back;
  LoadSettings(path, back);
  EXPECT_EQ(back.CaptureFilter, "AB");
  // A filter too long for the value keeps whole rules.
  EXPECT_LE(back.DisplayFilter.size(), kMaxStoredFilter);
  EXPECT_EQ(back.DisplayFilter + " ", o.DisplayFilter.substr(0, back.DisplayFilter.size() + 1));
  back.DisplayFilter = o.DisplayFilter;
  const std::string a = TempPath("a.cfg"), b = TempPath("b.cfg");
  ASSERT_TRUE(SaveSettings(a, o) && SaveSettings(b, back));
  EXPECT_EQ(ReadFileText(b), ReadFileText(a));

  // A file too large to read whole is not rewritten with a part of it, and
  // a failed write leaves neither a changed file nor a copy behind.
  const Bytes big(kMaxConfigFileSize + 10, 'x');
  WriteFileBytes(path, big);
  EXPECT_FALSE(SaveSettings(path, o));
  EXPECT_EQ(ReadFileBytes(path).size(), big.size());
  const std::string nowhere = TempPath("no-such-folder") + "/pakrill.cfg";
  EXPECT_FALSE(SaveSettings(nowhere, o));
  std::string left;
  EXPECT_FALSE(ReadConfigText(nowhere + ".new", &left));
}

TEST(ConfigTest, MissingKeysGiveDefaultsAndOddValuesAreSafe) {
  const std::string path = TempPath("odd.cfg");
  std::string text =
      "\xEF\xBB\xBF[general]\n  DisplayMode = 3 \nLiveMode=abc\nSplitLoc=-5x\nNonDisplayChar=\"#\"\nDisplayTCP=\n"
      "CaptureFilter=4\nDisplayFilter=  69 70 00 \nColumns=zz\n"
      "HexDumpMaxSize=-5\nHexDumpCharsPerLine=100000\nMaxDataSizeDisplay=4294967295\nAutoModeCharsToCheck=-1\n"
      "ForeColorLocal=-1\nHexDumpCharsSpc=-3\nShowGridLines=-7\n[General]\nDisplayMode=1\n";
  WriteFileBytes(path, Bytes(text.begin(), text.end()));
  Options o;
  o.ResolveIPAddr = 0;
  o.CaptureFilter = "old";
  LoadSettings(path, o);
  EXPECT_EQ(o.DisplayMode, 3);  // the first key of the section wins, behind an editor's UTF-8 mark
  EXPECT_EQ(o.ResolveIPAddr, 1);
  EXPECT_EQ(o.DisplayTCP, 1);  // an empty value is no value
  EXPECT_EQ(o.LiveMode, 0);
  EXPECT_EQ(o.SplitLoc, -5);
  EXPECT_STREQ(o.NonDisplayChar, "#");
  EXPECT_EQ(o.CaptureFilter, "\x04");  // a lone digit is one byte
  EXPECT_EQ(o.DisplayFilter, "ip");
  EXPECT_FALSE(o.WinPosValid);
  // Values out of range are clamped; keys without a range read as they are.
  EXPECT_EQ(o.HexDumpMaxSize, 0);
  EXPECT_EQ(o.HexDumpCharsPerLine, 256);
  EXPECT_EQ(o.MaxDataSizeDisplay, 1 << 20);
  EXPECT_EQ(o.AutoModeCharsToCheck, 0);
  EXPECT_EQ(o.ForeColorLocal, 0);
  EXPECT_EQ(o.HexDumpCharsSpc, 0);
  EXPECT_EQ(o.ShowGridLines, -7);
  // Lines of neither kind, filling the file's size limit, take no longer
  // than as many entries: each is searched within itself only.
  IniDocument big;
  const auto start = std::chrono::steady_clock::now();
  std::string lines;
  for (int i = 0; i < 1000000; i++) lines += i % 2 ? "a\n" : "[\n";
  big.Parse(lines + "[s]\nk=v\n");
  std::string v;
  EXPECT_TRUE(big.Get("s", "k", &v) && v == "v");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  LoadSettings(TempPath("does-not-exist.cfg"), o);
  EXPECT_EQ(o.DisplayMode, 1);
  EXPECT_EQ(o.CaptureFilter, "");
  EXPECT_EQ(DefaultConfigPath("C:\\a.b\\pakrill.exe"), "C:\\a.b\\pakrill.cfg");
  EXPECT_EQ(DefaultConfigPath("/opt/x.y/pakrill"), "/opt/x.y/pakrill.cfg");
}

// The services file read once gives each port the name a lookup without a
// protocol gives: the system's own reader on this machine's file, and
// Windows-style lines that lookup would read as well.
TEST(ConfigServices, PortNamesAsTheSystemGivesThem) {
#ifndef _WIN32
  std::string text;
  if (ReadConfigText("/etc/services", &text)) {
    ServiceTable table;
    table.Parse(text.data(), text.size());
    int named = 0;
    for (uint32_t port = 0; port < 65536; port++) {
      const servent* s = getservbyport(htons(uint16_t(port)), nullptr);
      const char* ours = table.Name(uint16_t(port));
      ASSERT_EQ(std::string(s ? s->s_name : ""), std::string(ours ? ours : "")) << port;
      named += s != nullptr;
    }
    EXPECT_GT(named, 50);
  }
#endif
  const std::string windows = "# Copyright\r\n\r\necho                7/tcp\r\nftp  21/tcp   #File Transfer\r\n"
                              "dup 21/udp\r\n  ssh\t22/tcp\r\nbig 65536/tcp\r\nhuge 99999999999999999999/tcp\r\n"
                              "noproto 23/\r\nnoslash 24\r\n/25/tcp\r\n#26/tcp x\r\n" +
                              std::string(300, 'n') + " 27/tcp\r\nlast 65535/udp";
  ServiceTable t;
  EXPECT_EQ(t.Name(7), nullptr);  // nothing read yet
  t.Parse(windows.data(), windows.size());
  const struct {
    uint16_t port;
    const char* name;
  } kWant[] = {{7, "echo"}, {21, "ftp"}, {22, "ssh"}, {0, nullptr}, {23, nullptr}, {24, nullptr},
               {25, nullptr}, {26, nullptr}, {65535, "last"}};
  for (const auto& w : kWant) EXPECT_STREQ(t.Name(w.port), w.name) << w.port;
  EXPECT_EQ(std::string(t.Name(27)), std::string(kMaxServiceName, 'n'));
}
