#include "base/ini.h"

#include <cstdio>
#include <cstring>

#include "base/raw_file.h"
#include "base/strings.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

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
    if (out->size() + size_t(n) > kMaxConfigFileSize) {
      RawFile::SetLastErrorCode(kFileTooLargeCode);
      return false;
    }
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
  ok = f.Close() && ok;
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

bool IniDocument::Is(Span s, const std::string& name) const {
  if (s.size != name.size()) return false;
  for (size_t i = 0; i < name.size(); i++)
    if (Lower(text_[s.at + i]) != Lower(name[i])) return false;
  return true;
}

IniDocument::Span IniDocument::Add(const std::string& s) {
  const Span span{uint32_t(text_.size()), uint32_t(s.size())};
  text_ += s;
  return span;
}

void IniDocument::Parse(const std::string& text) {
  lines_.clear();
  text_ = text;
  Span section;
  size_t pos = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (pos < text_.size()) {
    size_t end = text_.find('\n', pos);
    if (end == std::string::npos) end = text_.size();
    Line l;
    l.text = {uint32_t(pos), uint32_t(end - pos)};
    if (l.text.size && text_[end - 1] == '\r') l.text.size--;
    size_t a = pos, b = end;
    pos = end + 1;
    if (a == 0 && text_.compare(0, 3, "\xEF\xBB\xBF") == 0) a = 3;  // an editor's UTF-8 mark
    while (a < b && blank(text_[a])) a++;
    while (b > a && blank(text_[b - 1])) b--;
    if (a < b && text_[a] == '[') {
      // Searched within the line only: a file of lines without one must not
      // search the rest of the file from each.
      size_t c = a + 1;
      const void* close = memchr(text_.data() + c, ']', b - c);
      size_t d = close ? size_t(static_cast<const char*>(close) - text_.data()) : b;
      while (c < d && blank(text_[c])) c++;
      while (d > c && blank(text_[d - 1])) d--;
      section = {uint32_t(c), uint32_t(d - c)};
      l.header = true;
      l.section = section;
    } else if (a < b && text_[a] != ';') {
      const void* found = memchr(text_.data() + a, '=', b - a);
      if (found) {
        const size_t eq = size_t(static_cast<const char*>(found) - text_.data());
        size_t k = eq, v = eq + 1, w = b;
        while (k > a && blank(text_[k - 1])) k--;
        while (v < w && blank(text_[v])) v++;
        if (w - v >= 2 && (text_[v] == '"' || text_[v] == '\'') && text_[w - 1] == text_[v]) v++, w--;
        l.section = section;
        l.key = {uint32_t(a), uint32_t(k - a)};
        l.value = {uint32_t(v), uint32_t(w - v)};
      }
    }
    // Lines that are neither headers nor entries join the run before them.
    if (!l.header && !l.key.size && !lines_.empty() && !lines_.back().header && !lines_.back().key.size) {
      lines_.back().text.size = uint32_t(l.text.at + l.text.size - lines_.back().text.at);
      continue;
    }
    lines_.push_back(l);
  }
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const Line& l : lines_) {
    // A run keeps each of its lines, with its own '\r' before the '\n' dropped.
    size_t at = l.text.at;
    const size_t end = l.text.at + l.text.size;
    for (;;) {
      size_t nl = text_.find('\n', at);
      if (nl == std::string::npos || nl >= end) {
        out.append(text_, at, end - at);
        break;
      }
      out.append(text_, at, nl - at - (nl > at && text_[nl - 1] == '\r'));
      out += "\r\n";
      at = nl + 1;
    }
    out += "\r\n";
  }
  return out;
}

bool IniDocument::Get(const std::string& section, const std::string& key, std::string* value) const {
  for (const Line& l : lines_) {
    if (!l.header && l.key.size && Is(l.section, section) && Is(l.key, key)) {
      *value = Text(l.value);
      return true;
    }
  }
  return false;
}

void IniDocument::Set(const std::string& section, const std::string& key, const std::string& value) {
  Line entry;
  entry.text = Add(key + "=" + value);
  entry.key = {entry.text.at, uint32_t(key.size())};
  entry.value = {uint32_t(entry.text.at + key.size() + 1), uint32_t(value.size())};
  size_t lastOfSection = std::string::npos;
  for (size_t i = 0; i < lines_.size(); i++) {
    Line& l = lines_[i];
    if ((!l.header && !l.key.size) || !Is(l.section, section)) continue;
    if (l.header) {
      lastOfSection = i;
      continue;
    }
    if (Is(l.key, key)) {
      entry.section = l.section;
      l = entry;
      return;
    }
    lastOfSection = i;
  }
  if (lastOfSection == std::string::npos) {
    Line h;
    h.header = true;
    h.text = Add("[" + section + "]");
    h.section = {h.text.at + 1, uint32_t(section.size())};
    lines_.push_back(h);
    entry.section = h.section;
    lines_.push_back(entry);
  } else {
    entry.section = lines_[lastOfSection].section;
    lines_.insert(lines_.begin() + long(lastOfSection) + 1, entry);
  }
}
