// The one record of user options, one field per configuration key.
#pragma once
#include <cstdint>
#include <string>

struct Options {
  int32_t ShowGridLines = 0;
  int32_t ShowInfoTip = 1;
  int32_t SaveFilterIndex = 0;
  int32_t SaveSteamsFilterIndex = 0;  // the key is spelled so in stored files
  int32_t ResolveIPAddr = 1;
  int32_t AddExportHeaderLine = 0;
  int32_t DecompressHTTP = 0;
  int32_t UseDnsQueriesForHostNames = 1;
  int32_t MarkOddEvenRows = 0;
  int32_t TrayIcon = 0;
  int32_t CaptureOnProgramStart = 0;
  int32_t LoadPacketsFilterIndex = 1;
  int32_t GetProcessInfo = 0;
  int32_t StatOnly = 0;
  int32_t SummaryMode = 0;
  int32_t LiveMode = 1;
  int32_t LiveModeDisplayContent = 1;
  int32_t SplitLoc = 0x3FFF;
  int32_t PromiscuousMode = 0;
  int32_t AddToWindowsFirewall = 1;
  int32_t CaptureMethod = 1;
  int32_t CaptureIPv6 = 1;
  char PCapAdapterName[260] = "";
  char NetMonAdapterName[260] = "";
  char NetMon3AdapterName[260] = "";
  char AdapterName[260] = "";
  int32_t DisplayHighChars = 0;
  int32_t DisplayMode = 1;
  int32_t HexDumpCharsPerLine = 16;
  int32_t HexDumpCharsSpc = 8;
  int32_t HexDumpDisplayChars = 1;
  int32_t HexDumpDisplayCounter = 1;
  int32_t HexDumpMaxSize = 100;
  int32_t MaxDataSizeDisplay = 1000;
  int32_t DisplayTCP = 1;
  int32_t DisplayUDP = 1;
  int32_t DisplayICMP = 1;
  int32_t DisplayCaptureTime = 0;
  int32_t ShowOutgoingIncoming = 0;
  int32_t ForeColorLocal = 0xFF0000;
  int32_t ForeColorRemote = 0xFF00C0;
  int32_t ForeColorTime = 0xFFC000;
  int32_t AutoModeCharsToCheck = 64;
  char NonDisplayChar[2] = ".";
  int32_t AutoLiveModeScroll = 0;
  int32_t ShowOnlyActiveConnections = 0;
  int32_t HideLowerPane = 0;
  char HttpExtractOptions_Folder[260] = "";  // key "HttpExtractOptions.Folder"
  int32_t AlwaysOnTop = 0;
  std::string CaptureFilter;
  std::string DisplayFilter;
  uint8_t WinPos[44] = {};
  bool WinPosValid = false;
  int16_t Columns[23][2] = {};  // width, display position
  bool ColumnsValid = false;
  int32_t Sort = 0;

  // Not stored.
  char configFile[260] = "";
  int32_t captureActive = 0;
};

// Number of keys the configuration file reads and writes.
constexpr int kOptionKeyCount = 53;
