#include "base/code_page.h"

#include "base/platform.h"

namespace {

// The characters of Windows-1252 at 0x80..0x9F (0 where the code page has none).
const uint16_t k1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

size_t EncodeWindows1252(uint32_t ch, char* out) {
  if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) {
    out[0] = char(ch);
    return 1;
  }
  for (int i = 0; i < 32; i++)
    if (k1252High[i] && k1252High[i] == ch) {
      out[0] = char(0x80 + i);
      return 1;
    }
  return 0;
}

size_t Platform::EncodeCharacter(uint32_t ch, char* out) { return EncodeWindows1252(ch, out); }

std::u32string Platform::DecodeText(const char* text, size_t n) {
  std::u32string out;
  for (size_t i = 0; i < n; i++) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    // The five bytes the code page leaves out stand for themselves, as the system has them.
    out += b >= 0x80 && b < 0xA0 && k1252High[b - 0x80] ? char32_t(k1252High[b - 0x80]) : char32_t(b);
  }
  return out;
}

size_t Utf8SequenceAt(const char* text, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  if (n < 2 || p[0] < 0xC2 || p[0] > 0xF4) return 0;
  const size_t len = p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : 4;
  if (n < len) return 0;
  // The second byte's range excludes overlong forms, surrogates and
  // characters beyond U+10FFFF.
  const unsigned lo = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
  const unsigned hi = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return len;
}

std::string Utf8ToCodePage(const char* text, size_t n) {
  std::string out;
  out.reserve(n);
  Platform& platform = GetPlatform();
  for (size_t i = 0; i < n;) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += char(b);
      i++;
      continue;
    }
    const size_t len = Utf8SequenceAt(text + i, n - i);
    if (!len) {
      out += '?';
      i++;
      continue;
    }
    uint32_t ch = b & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; k++) ch = ch << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    char bytes[4];
    const size_t m = platform.EncodeCharacter(ch, bytes);
    if (m) out.append(bytes, m);
    else out += '?';
    i += len;
  }
  return out;
}
