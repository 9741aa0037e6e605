#include "stream/stream_formatter.h"

#include <cstdio>

#include "capture/columns.h"
#include "stream/http.h"

namespace {
char Replacement(const Options& o) { return o.NonDisplayChar[0] ? o.NonDisplayChar[0] : '.'; }
}  // namespace

int ResolveDisplayMode(const uint8_t* d, size_t n, const FormatterSettings& s) {
  const int mode = s.options.DisplayMode;
  if (mode == 3 || mode == 4) return mode;
  if (mode != 1) return 2;
  if (s.display && n > size_t(s.options.HexDumpMaxSize) * 1024) return 2;
  const size_t check = s.options.AutoModeCharsToCheck < 0 ? 0 : size_t(s.options.AutoModeCharsToCheck);
  for (size_t i = 0; i < n && i < check; i++) {
    const uint8_t c = d[i];
    if (!(c == 9 || c == 10 || c == 13 || c >= 32)) return 3;
  }
  return 2;
}

namespace {

// Renders the hex dump into `out`; with `parts`, hands `out` over whenever
// it holds kFormatPartSize bytes, so that it never holds the whole dump.
void RenderHexDump(const uint8_t* d, size_t n, const FormatterSettings& s, PieceSink* budget, std::string& out,
                   PieceSink* parts) {
  const Options& o = s.options;
  const int perLine = o.HexDumpCharsPerLine < 4 ? 4 : o.HexDumpCharsPerLine > 256 ? 256 : o.HexDumpCharsPerLine;
  const int group = o.HexDumpCharsSpc;
  const size_t charColumn = size_t(3 * perLine + 1 + (group > 0 ? perLine / group : 0));
  const char repl = Replacement(o);
  static const char kHex[] = "0123456789ABCDEF";
  // One line: at most 256 bytes as "XX " plus a space per group.
  char hex[256 * 3 + 256 + 1], chars[256 * 2 + 1];
  for (size_t start = 0; start < n; start += size_t(perLine)) {
    size_t h = 0, c = 0;
    bool stop = false;
    for (int k = 1; k <= perLine && start + size_t(k) - 1 < n; k++) {
      if (budget && budget->BudgetExhausted()) {
        stop = true;
        break;
      }
      const uint8_t b = d[start + size_t(k) - 1];
      hex[h++] = kHex[b >> 4];
      hex[h++] = kHex[b & 15];
      hex[h++] = ' ';
      chars[c++] = b >= 32 && (b < 128 || s.highChars) ? char(b) : repl;
      if (group > 0 && k % group == 0) {
        hex[h++] = ' ';
        chars[c++] = ' ';
      }
    }
    if (stop) break;
    if (o.HexDumpDisplayCounter) {
      char counter[16];
      snprintf(counter, sizeof counter, "%8.8X  ", unsigned(start));
      out += counter;
    }
    out.append(hex, h);
    if (o.HexDumpDisplayChars) {
      out.append(h < charColumn ? charColumn - h : 1, ' ');
      out.append(chars, c);
    }
    out += "\r\n";
    if (parts && out.size() >= kFormatPartSize) {
      parts->PiecePart(out.data(), out.size());
      out.clear();
    }
  }
}

}  // namespace

std::string HexDump(const uint8_t* d, size_t n, const FormatterSettings& s, PieceSink* budget) {
  std::string out;
  RenderHexDump(d, n, s, budget, out, nullptr);
  return out;
}

void FormatBlock(const StreamBlock& block, const FormatterSettings& s, PieceSink& out) {
  const Options& o = s.options;
  const uint32_t color = uint32_t(block.direction == 2 ? o.ForeColorRemote : o.ForeColorLocal);
  const uint8_t* d = block.bytes.data();
  size_t n = block.bytes.length();
  std::string decoded;
  if (o.DecompressHTTP && HttpResponseDecoder(d, n, &decoded)) {
    d = reinterpret_cast<const uint8_t*>(decoded.data());
    n = decoded.size();
  }
  const int mode = ResolveDisplayMode(d, n, s);
  if (o.DisplayCaptureTime) {
    char t[kColumnTextSize], line[kColumnTextSize + 8];
    FormatPacketTime(block.startTime, t, sizeof t);
    const int len = snprintf(line, sizeof line, "[%s]\r\n", t);
    out.Emit(line, size_t(len), true, uint32_t(o.ForeColorTime));
  }
  if (mode == 4) {
    const std::string text(reinterpret_cast<const char*>(d), n);
    size_t pos = 0;
    std::string url;
    while (pos < text.size() && UrlListEntry(text.c_str(), &pos, &url)) {
      out.Emit(url.data(), url.size(), true, color);
      out.Emit("\r\n", 2, false, 0);
    }
    return;
  }
  const char repl = Replacement(o);
  auto printable = [&](std::string& text) {
    for (char& ch : text) {
      const uint8_t c = uint8_t(ch);
      if (!(c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 127) || (c >= 128 && s.highChars))) ch = repl;
    }
  };
  if (!s.display) {
    // A file: the rendering goes out as it is produced.
    out.BeginPiece(true, color);
    std::string part;
    if (mode == 3) {
      RenderHexDump(d, n, s, &out, part, &out);
    } else {
      for (size_t pos = 0; pos < n; pos += kFormatPartSize) {
        part.assign(reinterpret_cast<const char*>(d) + pos, n - pos < kFormatPartSize ? n - pos : kFormatPartSize);
        printable(part);
        out.PiecePart(part.data(), part.size());
      }
      part.clear();
    }
    if (!part.empty()) out.PiecePart(part.data(), part.size());
    out.EndPiece();
  } else if (mode == 3) {
    const std::string dump = HexDump(d, n, s, &out);
    out.Emit(dump.data(), dump.size(), true, color);
  } else {
    std::string text(reinterpret_cast<const char*>(d), n);
    printable(text);
    out.Emit(text.data(), text.size(), true, color);
  }
  out.Emit("\r\n", 2, false, 0);
}
