#include "stream/http.h"

#include <zlib.h>

#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/platform.h"
#include "base/strings.h"
#include "base/raw_file.h"

namespace {

bool StartsNoCase(const char* s, const char* prefix) {
  for (; *prefix; s++, prefix++) {
    char a = *s >= 'A' && *s <= 'Z' ? char(*s + 32) : *s;
    char b = *prefix >= 'A' && *prefix <= 'Z' ? char(*prefix + 32) : *prefix;
    if (a != b) return false;
  }
  return true;
}

// Offset of `needle` in the first `limit` bytes of `s` (as a string), without case.
const char* FindNoCase(const char* s, const char* needle, const char* limit) {
  const size_t n = strlen(needle);
  for (const char* p = s; *p && p + n <= limit; p++)
    if (StartsNoCase(p, needle)) return p;
  return nullptr;
}

// Inflates gzip members from `in`, appending to `out` up to kMaxDecodedBody
// (*cut then). Returns false when the data is not gzip at all.
bool Gunzip(const uint8_t* in, size_t n, std::string* out, bool* cut) {
  if (n < 2 || in[0] != 0x1f || in[1] != 0x8b) return false;
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return true;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = uInt(n);
  std::vector<uint8_t> chunk(16384);
  for (;;) {
    z.next_out = chunk.data();
    z.avail_out = uInt(chunk.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    const size_t got = chunk.size() - z.avail_out;
    if (out->size() + got > kMaxDecodedBody) {
      out->append(reinterpret_cast<const char*>(chunk.data()), kMaxDecodedBody - out->size());
      *cut = true;
      break;
    }
    out->append(reinterpret_cast<const char*>(chunk.data()), got);
    if (rc == Z_STREAM_END) {
      // Another member may follow.
      if (z.avail_in >= 2 && z.next_in[0] == 0x1f && z.next_in[1] == 0x8b && inflateReset(&z) == Z_OK) continue;
      break;
    }
    if (rc != Z_OK || (got == 0 && z.avail_in == 0)) break;  // damaged or cut: keep what we have
  }
  inflateEnd(&z);
  return true;
}

const char* const kReserved[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                 "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4",
                                 "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "COM0", "LPT0", "CONIN$", "CONOUT$",
                                 // Superscript digits ¹ ² ³ of the ANSI code page: Windows reserves these too.
                                 "COM\xb9", "COM\xb2", "COM\xb3", "LPT\xb9", "LPT\xb2", "LPT\xb3"};

// Whether Windows would open a device for the name: its part before the
// first dot, spaces at its end dropped, is a reserved word.
bool IsDeviceName(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* r : kReserved)
    if (EqualNoCase(stem.c_str(), r)) return true;
  return false;
}

// A name Windows accepts for a file inside the folder.
std::string PlainFileName(std::string name) {
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || strchr("*<>?/\\\":|", c)) c = '-';
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.back() = '-';
  if (name.empty() || name.find_first_not_of('-') == std::string::npos) name = name.empty() ? "Index" : name;
  return IsDeviceName(name) ? "_" + name : name;
}

}  // namespace

bool UrlListEntry(const char* text, size_t* pos, std::string* url) {
  const char* p = text + *pos;
  if (!StartsNoCase(p, "get ") && !StartsNoCase(p, "post ")) return false;
  const size_t m = StartsNoCase(p, "post ") ? 5 : 4;
  const char* blank = strstr(p, "\r\n\r\n");
  if (!blank) return false;
  *pos += size_t(blank - p) + 4;
  std::string host;
  bool hostFound = false;
  for (const char* line = p; line < blank;) {
    const char* end = line;
    while (end < blank && *end != '\r' && *end != '\n') end++;
    std::string l(line, size_t(end - line) > 1022 ? 1022 : size_t(end - line));
    if (StartsNoCase(l.c_str(), "host: ")) {
      host += l.substr(6);
      hostFound = true;
    }
    line = end;
    if (line < blank && *line == '\r') line++;
    if (line < blank && *line == '\n') line++;
  }
  const char* target = p + m;
  const char* space = strchr(target, ' ');
  if (!hostFound || !space || space > blank) return false;
  *url = "http://" + host + std::string(target, size_t(space - target));
  return true;
}

void DechunkBody(const uint8_t* d, size_t n, std::string* out) {
  size_t j = 0;
  while (j < n) {
    // The size: hex digits; then anything (extensions, spaces) up to CR LF.
    unsigned long long s = 0;
    size_t digits = 0;
    for (; j < n && isxdigit(d[j]); j++, digits++) {
      if (digits >= kMaxChunkSizeText) return;  // no real chunk size is that long
      if (s >> 60) return;                      // nor that large
      s = s * 16 + unsigned(d[j] <= '9' ? d[j] - '0' : (d[j] | 0x20) - 'a' + 10);
    }
    if (!digits) {
      if (j + 1 < n && d[j] == '\r' && d[j + 1] == '\n') {  // a stray empty line: no chunk yet
        j += 2;
        continue;
      }
      return;
    }
    const uint8_t* cr = static_cast<const uint8_t*>(memchr(d + j, '\r', n - j));
    while (cr && !(cr + 1 < d + n && cr[1] == '\n'))
      cr = static_cast<const uint8_t*>(memchr(cr + 1, '\r', size_t(d + n - cr - 1)));
    if (!cr) return;
    j = size_t(cr - d);
    if (s > n - j - 2) {  // the capture ends inside this chunk: what it holds is body still
      out->append(reinterpret_cast<const char*>(d + j + 2), n - j - 2);
      return;
    }
    out->append(reinterpret_cast<const char*>(d + j + 2), size_t(s));
    const size_t q = j + 2 + size_t(s);
    j = q + 1 < n && d[q] == '\r' && d[q + 1] == '\n' ? q + 2 : q;
    if (s == 0) return;  // the last chunk; trailers are not body
  }
}

bool HttpResponseDecoder(const uint8_t* b, size_t n, std::string* out, bool dechunkAlways, bool* cut) {
  bool cutHere = false;
  if (!cut) cut = &cutHere;
  *cut = false;
  if (n < 5 || memcmp(b, "HTTP/", 5) != 0) return false;
  // The header is text: it ends at the first NUL as much as at its blank line.
  const char* s = reinterpret_cast<const char*>(b);
  const size_t at = std::string_view(s, strnlen(s, n)).find("\r\n\r\n");
  if (at == std::string_view::npos) return false;
  const char* blank = s + at;
  const size_t h = at + 4;
  const bool gzip = FindNoCase(s + 1, "Content-Encoding: gzip", blank) != nullptr;
  const bool chunked = FindNoCase(s + 1, "Transfer-Encoding: chunked", blank) != nullptr;
  if (!gzip && !(chunked && dechunkAlways)) return false;
  std::string body;
  if (chunked) DechunkBody(b + h, n - h, &body);
  else body.assign(reinterpret_cast<const char*>(b + h), n - h);
  out->assign(reinterpret_cast<const char*>(b), h);
  if (!gzip || !Gunzip(reinterpret_cast<const uint8_t*>(body.data()), body.size(), out, cut)) out->append(body);
  return true;
}

void HttpFileName(const char* block, std::string* pending) {
  if (strncmp(block, "GET /", 5) != 0) return;
  const char* eol = strstr(block, "\r\n");
  if (!eol) return;
  const std::string line(block, size_t(eol - block));
  size_t a = line.find(' ');
  while (a < line.size() && line[a] == ' ') a++;
  size_t b = line.find(' ', a);
  std::string target = line.substr(a, b == std::string::npos ? std::string::npos : b - a);
  if (target.size() > 8190) target.resize(8190);
  const size_t slash = target.find_last_of('/');
  if (slash == std::string::npos) return;
  std::string name = target.substr(slash + 1);
  if (name.size() > kMaxFileNamePart) name = name.substr(name.size() - kMaxFileNamePart);
  for (char& c : name)
    if (strchr("*<>?/\":", c)) c = '-';
  *pending = PlainFileName(name.empty() ? "Index" : name);
}

namespace {
const char* BuiltInMimeExtension(const std::string& type) {
  static const struct {
    const char* type;
    const char* ext;
  } kTypes[] = {
      {"text/html", ".htm"},          {"text/plain", ".txt"},        {"text/css", ".css"},
      {"text/xml", ".xml"},           {"text/javascript", ".js"},    {"application/javascript", ".js"},
      {"application/json", ".json"},  {"application/xml", ".xml"},   {"application/pdf", ".pdf"},
      {"application/zip", ".zip"},    {"application/x-gzip", ".gz"}, {"application/octet-stream", ".bin"},
      {"image/gif", ".gif"},          {"image/jpeg", ".jpg"},        {"image/png", ".png"},
      {"image/svg+xml", ".svg"},      {"image/x-icon", ".ico"},      {"image/webp", ".webp"},
      {"audio/mpeg", ".mp3"},         {"video/mp4", ".mp4"},
  };
  for (const auto& t : kTypes)
    if (EqualNoCase(type.c_str(), t.type)) return t.ext;
  return "";
}
}  // namespace

std::string MimeExtension(const std::string& type) {
  // The type names a registry key: a backslash would reach another key.
  if (type.empty() || type.find('\\') != std::string::npos) return "";
  char ext[256] = "";
  const int r = GetPlatform().MimeExtension(type.c_str(), ext, sizeof ext);
  if (r < 0) return BuiltInMimeExtension(type);
  // Whatever the database says, an extension never leads out of the folder.
  if (r == 0 || ext[0] != '.' || !ext[1]) return "";
  for (const char* p = ext; *p; p++)
    if (static_cast<unsigned char>(*p) < 32 || strchr("\\/:*?\"<>|", *p)) return "";
  return ext;
}

std::string HttpExtractor::UniqueName(const std::string& name, size_t room) {
  // Windows' file names ignore case: "Same" and "same" are one file.
  auto key = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
  };
  const size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  // Each name goes on from the number it gave last: a page fetched again
  // and again must not try every number before. Names cut alike to fit the
  // folder count as one.
  const size_t fits = room > ext.size() ? room - ext.size() : 0;
  int& next = nextNumber_[key(stem.substr(0, fits) + ext)];
  for (int k = next;; k++) {
    const std::string number = k ? "(" + std::to_string(k) + ")" : "";
    if (number.size() + ext.size() >= room) return "";  // not even one byte of the base fits
    std::string base = stem;
    if (base.size() + number.size() + ext.size() > room) {
      base.resize(room - number.size() - ext.size());
      // Windows drops dots and spaces at the end of a name part.
      while (!base.empty() && (base.back() == '.' || base.back() == ' ')) base.back() = '-';
    }
    // Cut short, a name may have become a device's ("NUL.eee").
    if (IsDeviceName(base + number + ext)) {
      base = "_" + base;
      if (base.size() + number.size() + ext.size() > room) base.resize(room - number.size() - ext.size());
    }
    const std::string candidate = base + number + ext;
    if (used_.insert(key(candidate)).second) {
      next = k + 1;
      return candidate;
    }
  }
}

void HttpExtractor::Fail(const std::string& path, const std::string& reason) {
  if (size_t(failed_) < kMaxFailuresNamed) failures_ += path + ": " + reason + "\n";
  failed_++;
}

std::string HttpExtractor::FailureReport() const {
  if (!failed_) return "";
  std::string out = failures_;
  if (size_t(failed_) > kMaxFailuresNamed)
    out += "... and " + std::to_string(failed_ - int(kMaxFailuresNamed)) + " more\n";
  out += std::to_string(failed_) + " of " + std::to_string(failed_ + written_) + " bodies could not be written";
  return out;
}

std::string HttpExtractor::HoleReport() const {
  if (!holed_) return "";
  std::string out = holes_;
  if (size_t(holed_) > kMaxFailuresNamed) out += "... and " + std::to_string(holed_ - int(kMaxFailuresNamed)) + " more\n";
  return out + std::to_string(holed_) + " of " + std::to_string(written_) +
         " bodies lack bytes the capture did not hold (zeros in their place, or cut short)";
}

void HttpExtractor::OnBlock(const uint8_t* block, size_t n, bool holed) {
  std::string decoded;
  bool cut = false;
  if (HttpResponseDecoder(block, n, &decoded, true, &cut)) {
    block = reinterpret_cast<const uint8_t*>(decoded.data());
    n = decoded.size();
  }
  const char* s = reinterpret_cast<const char*>(block);
  HttpFileName(s, &pending_);
  if (n < 5 || memcmp(block, "HTTP/", 5) != 0) return;
  const char* blank = strstr(s, "\r\n\r\n");
  std::string name = pending_.empty() ? "Index" : pending_;
  if (blank) {
    if (const char* ct = FindNoCase(s + 1, "Content-Type: ", blank)) {
      std::string type(ct + 14, strcspn(ct + 14, ";\r\n"));
      if (type.size() > 255) type.resize(255);
      while (!type.empty() && type.back() == ' ') type.pop_back();
      while (!type.empty() && type[0] == ' ') type.erase(0, 1);
      const std::string ext = MimeExtension(type);
      const size_t dot = name.rfind('.');
      if (!ext.empty() && (dot == std::string::npos || !EqualNoCase(name.c_str() + dot, ext.c_str())) &&
          name.size() + ext.size() < 260) {
        name += ext;
        pending_ = name;  // a later response of the same type adds nothing
      }
    }
  }
  if (!blank || blank == s) return;
  const size_t b = size_t(blank - s);
  if (b + 6 >= n) return;  // bodies under 3 bytes are not written
  std::string path = folder_;
#ifdef _WIN32
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
#else
  if (!path.empty() && path.back() != '/') path += '/';
#endif
  std::string fitted = UniqueName(name, path.size() < kMaxPath ? kMaxPath - path.size() : 0);
  if (!fitted.empty() && !keep_.empty() && RawFile::SameFile(keep_.c_str(), (path + fitted).c_str()))
    fitted = UniqueName(name, path.size() < kMaxPath ? kMaxPath - path.size() : 0);  // the next number
  if (fitted.empty()) {
    Fail(path + name, "the folder's path leaves no room for the name");
    return;
  }
  path += fitted;
  RawFile f;
  if (!f.OpenWrite(path.c_str())) {
    Fail(path, RawFile::LastErrorText());
    return;
  }
  if (!f.Write(block + b + 4, n - b - 4) || !f.Close()) {
    const std::string reason = RawFile::LastErrorText();
    f.Close();
    GetPlatform().RemoveFile(path.c_str());  // no file rather than a part of one
    Fail(path, reason);
    return;
  }
  if (cut) {
    Fail(path, "its body decodes to more than " + std::to_string(kMaxDecodedBody >> 20) +
                   " MB: only that much was written");
    return;
  }
  written_++;
  if (holed) {
    if (size_t(holed_) < kMaxFailuresNamed) holes_ += path + "\n";
    holed_++;
  }
}
