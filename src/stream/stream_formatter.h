// Renders stream blocks as text in the display modes of the lower pane;
// the stream export writes the same text to files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/options.h"
#include "stream/stream_loader.h"

class PieceSink {
 public:
  virtual ~PieceSink() = default;
  // A piece of text, in `color` (a COLORREF) when `colored`.
  virtual void Emit(const char* text, size_t n, bool colored, uint32_t color) = 0;
  virtual bool BudgetExhausted() { return false; }
};

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
