// Renders stream blocks as text in the display modes of the lower pane;
// the stream export writes the same text to files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/options.h"
#include "stream/stream_loader.h"

class PieceSink {
 public:
  virtual ~PieceSink() = default;
  // A piece of text, in `color` (a COLORREF) when `colored`.
  virtual void Emit(const char* text, size_t n, bool colored, uint32_t color) = 0;
  virtual bool BudgetExhausted() { return false; }
  // One piece handed over in parts as it is produced, so that a large
  // block is never rendered whole in memory (files). By default every part
  // is a piece of its own.
  virtual void BeginPiece(bool colored, uint32_t color) {
    partColored_ = colored;
    partColor_ = color;
  }
  virtual void PiecePart(const char* text, size_t n) { Emit(text, n, partColored_, partColor_); }
  virtual void EndPiece() {}

 private:
  bool partColored_ = false;
  uint32_t partColor_ = 0;
};

// Rendered text goes to the sink in parts of about this size when a block
// is written to a file.
constexpr size_t kFormatPartSize = 64 << 10;

struct FormatterSettings {
  const Options& options;
  bool highChars;  // show bytes 128..255 as themselves
  bool display;    // the pane (Automatic shows large blocks as Ascii unexamined)
};

// Mode actually used for a block: 2 Ascii, 3 Hex Dump, 4 URL List.
int ResolveDisplayMode(const uint8_t* data, size_t n, const FormatterSettings& s);
void FormatBlock(const StreamBlock& block, const FormatterSettings& s, PieceSink& out);
// The hex dump of a block, line by line, as the pane shows it.
std::string HexDump(const uint8_t* data, size_t n, const FormatterSettings& s, PieceSink* budget = nullptr);
