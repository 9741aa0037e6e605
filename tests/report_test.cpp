#include "app/command_line.h"
#include "app/report.h"
#include "gtest/gtest.h"
#include "test_support.h"

TEST(ReportTest, WritesRowsAndFailsClearly) {
  FakePlatform platform;
  Options o;
  std::vector<Frame> frames = {{Ethernet(Ipv4Packet(17, "127.0.0.1", "127.0.0.1", 5000, 6000, 42))}};
  const std::string cap = TempPath("in.pcap"), out = TempPath("out.txt");
  WriteFileBytes(cap, PcapFile(frames));
  std::string msg;
  ASSERT_EQ(RunReport(o, 2, out.c_str(), cap.c_str(), msg), kExitOk) << msg;
  const std::string text = ReadFileText(out);
  EXPECT_EQ(text.substr(0, 52), "1\tUDP\t127.0.0.1\t127.0.0.1\t5000\t6000\t1\t70 Bytes\t2023-");
  EXPECT_EQ(text.substr(text.size() - 3), "\t\r\n");

  // Unknown content, an unwritable output.
  WriteFileBytes(cap + ".txt", Bytes(100, 'x'));
  EXPECT_EQ(RunReport(o, 2, out.c_str(), (cap + ".txt").c_str(), msg), kExitFailure);
  EXPECT_NE(msg.find("not a packet file"), std::string::npos);
  EXPECT_EQ(RunReport(o, 2, (out + "/no/such/dir").c_str(), cap.c_str(), msg), kExitWriteFailed);
  EXPECT_NE(msg.find(out + "/no/such/dir: "), std::string::npos);
  const size_t reason = msg.find(": cannot write the report: ");
  ASSERT_NE(reason, std::string::npos) << msg;
  EXPECT_GT(msg.size(), reason + 27) << msg;  // the system's reason follows

  // A damaged capture: the report keeps what came before and says so.
  Bytes damaged = PcapFile({frames[0], frames[0]});
  damaged.resize(damaged.size() - 5);
  WriteFileBytes(cap, damaged);
  EXPECT_EQ(RunReport(o, 2, out.c_str(), cap.c_str(), msg), kExitDamaged);
  EXPECT_NE(msg.find("damaged"), std::string::npos);
  EXPECT_NE(ReadFileBytes(out).size(), 0u);

  EXPECT_EQ(ReportFormatOfSwitch("/STAB"), 2);
  EXPECT_EQ(ReportFormatOfSwitch("/sxml"), 6);
  EXPECT_EQ(ReportFormatOfSwitch("/stabx"), 0);
}

TEST(ReportTest, CommandLineSplitting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ParseCommandLine("  /stab   out.txt  "), V({"/stab", "out.txt"}));
  EXPECT_EQ(ParseCommandLine("/LoadConfig \"C:\\My Files\\a.cfg\" /x"),
            V({"/LoadConfig", "C:\\My Files\\a.cfg", "/x"}));
  EXPECT_EQ(ParseCommandLine("\"\" a"), V({"", "a"}));  // empty quotes, then a space
  EXPECT_EQ(ParseCommandLine("a \"\""), V({"a"}));      // at the end: nothing
  EXPECT_EQ(ParseCommandLine("\"  lead\""), V({"lead"}));
  V args = ParseCommandLine("/x /STARTCAPTURE");
  EXPECT_EQ(FindArgument(args, "/StartCapture"), 1);
  EXPECT_EQ(FindArgument(args, "/nocapdriver"), -1);
  EXPECT_STREQ(ArgumentAt(args, 5), "");
  // The files of a report are the arguments that are not options.
  EXPECT_EQ(PlainArguments(ParseCommandLine("/shtml /nocapdriver o.htm /LoadConfig c.cfg /STARTCAPTURE in"), 1),
            V({"o.htm", "in"}));
}
