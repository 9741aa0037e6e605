#include "app/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/raw_file.h"
#include "base/strings.h"

void SettingsStore::Integer(const char* key, int32_t& field, int32_t def, int64_t lo, int64_t hi) {
  if (writing_) {
    doc_.Set("General", key, std::to_string(field));
    return;
  }
  std::string v;
  if (!doc_.Get("General", key, &v) || v.empty()) {  // an empty value, as the system reads it, is no value
    field = def;
    return;
  }
  const int64_t n = ProfileDigits(v);
  if (lo != INT32_MIN || hi != INT32_MAX) {
    field = int32_t(n < lo ? lo : n > hi ? hi : n);
    return;
  }
  field = int32_t(uint32_t(n));
}

void SettingsStore::Text(const char* key, char* buffer, const char* def, size_t size) {
  if (writing_) {
    doc_.Set("General", key, buffer);
    return;
  }
  std::string v;
  if (!doc_.Get("General", key, &v)) v = def;
  snprintf(buffer, size, "%s", v.c_str());
}

int SettingsStore::Binary(const char* key, uint8_t* bytes, size_t size, size_t written) {
  if (writing_) {
    std::string text;
    char hex[4];
    for (size_t i = 0; i < written && text.size() + 3 <= 65535; i++) {
      snprintf(hex, sizeof hex, i ? " %2.2X" : "%2.2X", bytes[i]);
      text += hex;
    }
    doc_.Set("General", key, text);
    return int(written);
  }
  std::string v;
  if (!doc_.Get("General", key, &v) || v.empty()) return -1;
  if (v.size() > 65535) v.resize(65535);
  size_t n = 0;
  for (size_t i = 0; i < v.size() && n < size;) {
    if (v[i] == ' ') {
      i++;
      continue;
    }
    char pair[3] = {v[i], i + 1 < v.size() ? v[i + 1] : '\0', 0};
    bytes[n++] = uint8_t(strtoul(pair, nullptr, 16));
    i += 2;
  }
  return int(n);
}

void ReadWriteAll(SettingsStore& s, Options& o) {
  // Sizes in KiB and counts of bytes: at most 1 GiB, so that a size in
  // bytes fits a 32-bit size_t.
  constexpr int64_t kMaxSizeKb = 1 << 20;
  s.Integer("ShowGridLines", o.ShowGridLines, 0);
  s.Integer("ShowInfoTip", o.ShowInfoTip, 1);
  s.Integer("SaveFilterIndex", o.SaveFilterIndex, 0);
  s.Integer("SaveSteamsFilterIndex", o.SaveSteamsFilterIndex, 0);
  s.Integer("ResolveIPAddr", o.ResolveIPAddr, 1);
  s.Integer("AddExportHeaderLine", o.AddExportHeaderLine, 0);
  s.Integer("DecompressHTTP", o.DecompressHTTP, 0);
  s.Integer("UseDnsQueriesForHostNames", o.UseDnsQueriesForHostNames, 1);
  s.Integer("MarkOddEvenRows", o.MarkOddEvenRows, 0);
  s.Integer("TrayIcon", o.TrayIcon, 0);
  s.Integer("CaptureOnProgramStart", o.CaptureOnProgramStart, 0);
  s.Integer("LoadPacketsFilterIndex", o.LoadPacketsFilterIndex, 1);
  s.Integer("GetProcessInfo", o.GetProcessInfo, 0);
  s.Integer("StatOnly", o.StatOnly, 0);
  s.Integer("SummaryMode", o.SummaryMode, 0);
  s.Integer("LiveMode", o.LiveMode, 1);
  s.Integer("LiveModeDisplayContent", o.LiveModeDisplayContent, 1);
  s.Integer("SplitLoc", o.SplitLoc, 0x3FFF);
  s.Integer("PromiscuousMode", o.PromiscuousMode, 0);
  s.Integer("AddToWindowsFirewall", o.AddToWindowsFirewall, 1);
  s.Integer("CaptureMethod", o.CaptureMethod, 1);
  s.Integer("CaptureIPv6", o.CaptureIPv6, 1);
  s.Text("PCapAdapterName", o.PCapAdapterName, "", sizeof o.PCapAdapterName);
  s.Text("NetMonAdapterName", o.NetMonAdapterName, "", sizeof o.NetMonAdapterName);
  s.Text("NetMon3AdapterName", o.NetMon3AdapterName, "", sizeof o.NetMon3AdapterName);
  s.Text("AdapterName", o.AdapterName, "", sizeof o.AdapterName);
  s.Integer("DisplayHighChars", o.DisplayHighChars, 0);
  s.Integer("DisplayMode", o.DisplayMode, 1, 1, 4);
  s.Integer("HexDumpCharsPerLine", o.HexDumpCharsPerLine, 16, 4, 256);
  s.Integer("HexDumpCharsSpc", o.HexDumpCharsSpc, 8, 0, 256);
  s.Integer("HexDumpDisplayChars", o.HexDumpDisplayChars, 1);
  s.Integer("HexDumpDisplayCounter", o.HexDumpDisplayCounter, 1);
  s.Integer("HexDumpMaxSize", o.HexDumpMaxSize, 100, 0, kMaxSizeKb);
  s.Integer("MaxDataSizeDisplay", o.MaxDataSizeDisplay, 1000, 0, kMaxSizeKb);
  s.Integer("DisplayTCP", o.DisplayTCP, 1);
  s.Integer("DisplayUDP", o.DisplayUDP, 1);
  s.Integer("DisplayICMP", o.DisplayICMP, 1);
  s.Integer("DisplayCaptureTime", o.DisplayCaptureTime, 0);
  s.Integer("ShowOutgoingIncoming", o.ShowOutgoingIncoming, 0);
  s.Integer("ForeColorLocal", o.ForeColorLocal, 0xFF0000, 0, 0xFFFFFF);
  s.Integer("ForeColorRemote", o.ForeColorRemote, 0xFF00C0, 0, 0xFFFFFF);
  s.Integer("ForeColorTime", o.ForeColorTime, 0xFFC000, 0, 0xFFFFFF);
  s.Integer("AutoModeCharsToCheck", o.AutoModeCharsToCheck, 64, 0, kMaxSizeKb);
  s.Text("NonDisplayChar", o.NonDisplayChar, ".", sizeof o.NonDisplayChar);
  s.Integer("AutoLiveModeScroll", o.AutoLiveModeScroll, 0);
  s.Integer("ShowOnlyActiveConnections", o.ShowOnlyActiveConnections, 0);
  s.Integer("HideLowerPane", o.HideLowerPane, 0);
  s.Text("HttpExtractOptions.Folder", o.HttpExtractOptions_Folder, "", sizeof o.HttpExtractOptions_Folder);
  s.Integer("AlwaysOnTop", o.AlwaysOnTop, 0);

  // Filters: the text with its terminating NUL.
  std::string* filters[2] = {&o.CaptureFilter, &o.DisplayFilter};
  const char* names[2] = {"CaptureFilter", "DisplayFilter"};
  for (int i = 0; i < 2; i++) {
    if (s.writing()) {
      // The value holds kMaxStoredFilter bytes; a longer text keeps whole
      // rules only, since a rule cut off could mean another.
      std::string f = *filters[i];
      if (f.size() > kMaxStoredFilter) {
        const size_t cut = f.find_last_of(" \t\r\n", kMaxStoredFilter);
        f.resize(cut == std::string::npos ? 0 : cut);
      }
      s.Binary(names[i], reinterpret_cast<uint8_t*>(&f[0]), 0, f.size() + 1);
    } else {
      std::vector<uint8_t> buf(kMaxFilterText + 1, 0);
      filters[i]->clear();
      if (s.Binary(names[i], buf.data(), kMaxFilterText) > 0)
        filters[i]->assign(reinterpret_cast<const char*>(buf.data()));
    }
  }
  if (s.writing()) {
    if (o.WinPosValid) s.Binary("WinPos", o.WinPos, 0, sizeof o.WinPos);
  } else {
    uint8_t buf[sizeof o.WinPos];
    int n = s.Binary("WinPos", buf, sizeof buf);
    if (n > 0) {
      memcpy(o.WinPos, buf, size_t(n));
      o.WinPosValid = true;
    }
  }
  uint8_t cols[sizeof o.Columns];
  if (s.writing()) {
    if (o.ColumnsValid) {
      for (int i = 0; i < 23; i++) {
        for (int k = 0; k < 2; k++) {
          cols[i * 4 + k * 2] = uint8_t(o.Columns[i][k]);
          cols[i * 4 + k * 2 + 1] = uint8_t(uint16_t(o.Columns[i][k]) >> 8);
        }
      }
      s.Binary("Columns", cols, 0, sizeof cols);
    }
  } else {
    memset(cols, 0, sizeof cols);
    if (s.Binary("Columns", cols, sizeof cols) > 0) {
      for (int i = 0; i < 23; i++)
        for (int k = 0; k < 2; k++)
          o.Columns[i][k] = int16_t(cols[i * 4 + k * 2] | cols[i * 4 + k * 2 + 1] << 8);
      o.ColumnsValid = true;
    }
  }
  s.Integer("Sort", o.Sort, 0);
}

std::string DefaultConfigPath(const std::string& exe) {
  size_t dot = exe.rfind('.');
  size_t slash = exe.find_last_of("\\/");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return exe + ".cfg";
  return exe.substr(0, dot) + ".cfg";
}

bool LoadSettings(const std::string& path, Options& o) {
  std::string text;
  IniDocument doc;
  const bool read = ReadConfigText(path, &text);
  const unsigned long code = RawFile::LastErrorCode();
  if (read) doc.Parse(text);
  SettingsStore s(doc, false);
  ReadWriteAll(s, o);
  if (!read) RawFile::SetLastErrorCode(code);  // the reason stays the read's
  return read;
}

bool SaveSettings(const std::string& path, Options& o) {
  std::string text;
  IniDocument doc;
  if (!ReadConfigTextForUpdate(path, &text)) return false;
  doc.Parse(text);
  SettingsStore s(doc, true);
  ReadWriteAll(s, o);
  return WriteConfigText(path, doc.Serialize());
}
