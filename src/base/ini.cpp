#include "base/ini.h"

#include <cstdio>
#include <cstring>

#include "base/raw_file.h"
#include "base/strings.h"

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

bool ReadConfigTextForUpdate(const std::string& path, std::string* out) {
  if (ReadConfigText(path, out)) return true;
  out->clear();
  RawFile f;
  return !f.OpenRead(path.c_str()) && RawFile::LastErrorIsMissing();
}

bool WriteConfigText(const std::string& path, const std::string& text) {
  const std::string temp = path + ".new";
  RawFile f;
  bool ok = f.OpenWrite(temp.c_str()) && f.Write(text.data(), text.size());
  f.Close();
  ok = ok && RawFile::Replace(temp.c_str(), path.c_str());
  if (!ok) {
    const unsigned long code = RawFile::LastErrorCode();
    remove(temp.c_str());
    RawFile::SetLastErrorCode(code);
  }
  return ok;
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

