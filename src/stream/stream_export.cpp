#include "stream/stream_export.h"

#include <cstdio>
#include <cstring>

#include "base/strings.h"
#include "capture/columns.h"
#include "capture/conversation_table.h"
#include "export/summary_export.h"
#include "base/raw_file.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

class FileWriter : public BlockSink, public PieceSink {
 public:
  FileWriter(RawFile& f, int format, const Options& o)
      : file_(f), format_(format), settings_{o, true, false} {}
  void OnBlock(const StreamBlock& b) override {
    if (format_ == kStreamText || format_ == kStreamHtml) {
      FormatBlock(b, settings_, *this);
      return;
    }
    if (format_ == kStreamRaw || (format_ == kStreamRawLocal && b.direction != 2) ||
        (format_ == kStreamRawRemote && b.direction == 2))
      Put(b.bytes.data(), b.bytes.length());
  }
  void Emit(const char* text, size_t n, bool colored, uint32_t color) override {
    BeginPiece(colored, color);
    PiecePart(text, n);
    EndPiece();
  }
  void BeginPiece(bool colored, uint32_t color) override {
    colored_ = colored;
    ended_ = false;
    if (format_ != kStreamHtml || !colored) return;
    char head[128];
    snprintf(head, sizeof head,
             "<table style=\"background-color:f8f8f8;color:%2.2X%2.2X%2.2X\"><tr><td><pre>\r\n", color & 0xFF,
             (color >> 8) & 0xFF, (color >> 16) & 0xFF);
    Put(head);
  }
  void PiecePart(const char* text, size_t n) override {
    // Text files end a piece at its first NUL, as a string would.
    if (ended_) return;
    if (const void* nul = memchr(text, 0, n)) {
      n = size_t(static_cast<const char*>(nul) - text);
      ended_ = true;
    }
    if (format_ != kStreamHtml) Put(text, n);
    else Put(HtmlEscape(std::string(text, n)));
  }
  void EndPiece() override {
    if (format_ == kStreamHtml && colored_) Put("\r\n</pre></table><p>\r\n");
  }
  void Put(const std::string& s) { Put(s.data(), s.size()); }
  void Put(const void* d, size_t n) {
    if (ok_ && n && !file_.Write(d, n)) {
      ok_ = false;
      code_ = RawFile::LastErrorCode();  // before anything else can change it
      error_ = RawFile::LastErrorText();
    }
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  unsigned long code() const { return code_; }

 private:
  RawFile& file_;
  int format_;
  FormatterSettings settings_;
  bool ok_ = true;
  bool colored_ = false, ended_ = false;
  std::string error_;
  unsigned long code_ = 0;
};

}  // namespace

bool WriteStreamFile(const std::string& path, int format, const std::vector<const Conversation*>& conversations,
                     PacketFile& file, const ColumnContext& ctx, const std::vector<int>& columns,
                     bool captureRunning, std::string* error, const ConversationTable* table,
                     unsigned long* errorCode) {
  auto fail = [&](const std::string& text, unsigned long code) {
    if (error) *error = text;
    if (errorCode) *errorCode = code;
    return false;
  };
  auto failed = [&] {  // the system's last error: its code first, before the text's lookup can change it
    const unsigned long code = RawFile::LastErrorCode();
    return fail(RawFile::LastErrorText(), code);
  };
  // Opening the output truncates it: it must not be the file the streams come from.
  if (file.name()[0] && RawFile::SameFile(file.name(), path.c_str()))
    return fail("the output is the packet file being read", 0);
  CreatedFile created(path.c_str());
  const bool ok = [&] {
    RawFile out;
    if (!out.OpenWrite(path.c_str())) return failed();
    FileWriter w(out, format, ctx.options);
    // The summaries' host names and countries come from the table's addresses.
    ColumnContext named = ctx;
    if (!named.addresses && table) named.addresses = &table->addresses();
    if (format == kStreamHtml) {
      const std::string title = MarkupText(GetString(22));
      w.Put("<html>\r\n<head><title>" + title + "</title></head>\r\n<body><h3>" + title + "</h3>");
    }
    for (const Conversation* c : conversations) {
      if (!w.ok()) break;  // the disk is full: nothing more can go out
      std::string summary;
      if (format == kStreamText) AppendSummaryRow(summary, *c, kFormatText, columns, named);
      if (format == kStreamHtml) AppendSummaryRow(summary, *c, kFormatHtmlVertical, columns, named);
      w.Put(summary);
      if (LoadStream(file, *c, w, captureRunning, table) == LoadResult::NoFile && file.name()[0]) {
        const unsigned long code = RawFile::LastErrorCode();
        return fail("cannot read the packet file: " + RawFile::LastErrorText(), code);
      }
      if (format == kStreamText) w.Put("\r\n");
      if (format == kStreamHtml) w.Put("\r\n<p>");
    }
    if (format == kStreamHtml) w.Put("\r\n</body></html>\r\n");
    if (!w.ok()) return fail(w.error(), w.code());
    if (!out.Close()) return failed();
    return true;
  }();
  if (ok) created.Keep();
  return ok;
}
