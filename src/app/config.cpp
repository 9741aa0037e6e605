#include "app/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/strings.h"
#include "packetfile/raw_file.h"

namespace {

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) a++;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) b--;
  return s.substr(a, b - a);
}

}  // namespace

bool ReadConfigText(const std::string& path, std::string* out) {
  RawFile f;
  if (!f.OpenRead(path.c_str())) return false;
  char buf[65536];
  out->clear();
  for (;;) {
    long n = f.Read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    if (out->size() + size_t(n) > kMaxConfigFileSize) return false;
    out->append(buf, size_t(n));
  }
}

// The sign and leading digits, saturated a little past 32 bits so that a
// clamp still sees an out-of-range value as such.
int64_t ProfileDigits(const std::string& v) {
  const char* p = v.c_str();
  bool neg = *p == '-';
  if (*p == '-' || *p == '+') p++;
  int64_t n = 0;
  while (*p >= '0' && *p <= '9' && n < 0x100000000LL) n = n * 10 + (*p++ - '0');
  return neg ? -n : n;
}

int32_t ProfileInt(const std::string& v) { return int32_t(uint32_t(ProfileDigits(v))); }

void IniDocument::Parse(const std::string& text) {
  lines_.clear();
  std::string section;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    Line l;
    l.text = text.substr(pos, end - pos);
    if (!l.text.empty() && l.text.back() == '\r') l.text.pop_back();
    pos = end + 1;
    const std::string t = Trim(l.text);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      section = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      l.header = true;
      l.section = section;
    } else if (!t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos) {
        l.section = section;
        l.key = Trim(t.substr(0, eq));
        std::string v = Trim(t.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
          v = v.substr(1, v.size() - 2);
        l.value = v;
      }
    }
    lines_.push_back(l);
  }
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.text;
    out += "\r\n";
  }
  return out;
}

bool IniDocument::Get(const std::string& section, const std::string& key, std::string* value) const {
  for (const Line& l : lines_) {
    if (!l.header && !l.key.empty() && EqualNoCase(l.section.c_str(), section.c_str()) &&
        EqualNoCase(l.key.c_str(), key.c_str())) {
      *value = l.value;
      return true;
    }
  }
  return false;
}

void IniDocument::Set(const std::string& section, const std::string& key, const std::string& value) {
  Line entry;
  entry.section = section;
  entry.key = key;
  entry.value = value;
  entry.text = key + "=" + value;
  size_t lastOfSection = std::string::npos;
  for (size_t i = 0; i < lines_.size(); i++) {
    Line& l = lines_[i];
    if (!EqualNoCase(l.section.c_str(), section.c_str())) continue;
    if (l.header) {
      lastOfSection = i;
      continue;
    }
    if (EqualNoCase(l.key.c_str(), key.c_str())) {
      l = entry;
      return;
    }
    if (!l.key.empty()) lastOfSection = i;
  }
  if (lastOfSection == std::string::npos) {
    Line h;
    h.header = true;
    h.section = section;
    h.text = "[" + section + "]";
    lines_.push_back(h);
    lines_.push_back(entry);
  } else {
    lines_.insert(lines_.begin() + long(lastOfSection) + 1, entry);
  }
}

void SettingsStore::Integer(const char* key, int32_t& field, int32_t def, int64_t lo, int64_t hi) {
  if (writing_) {
    doc_.Set("General", key, std::to_string(field));
    return;
  }
  std::string v;
  if (!doc_.Get("General", key, &v)) {
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
      std::string& f = *filters[i];
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

void LoadSettings(const std::string& path, Options& o) {
  std::string text;
  IniDocument doc;
  if (ReadConfigText(path, &text)) doc.Parse(text);
  SettingsStore s(doc, false);
  ReadWriteAll(s, o);
}

bool SaveSettings(const std::string& path, Options& o) {
  std::string text;
  IniDocument doc;
  if (ReadConfigText(path, &text)) doc.Parse(text);
  SettingsStore s(doc, true);
  ReadWriteAll(s, o);
  const std::string out = doc.Serialize();
  RawFile f;
  return f.OpenWrite(path.c_str()) && f.Write(out.data(), out.size());
}
