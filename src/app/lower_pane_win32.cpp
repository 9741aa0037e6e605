// The lower pane: the selected conversation in the chosen display mode, and
// finding text in it.
#include "app/main_window_win32.h"

#include <richedit.h>

#include <cstring>

#include "base/strings.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"
#include "resource.h"

namespace {

// Rich edit controls may read inserted text that begins "{\\rtf" as rich
// text; a captured payload so beginning must show as its bytes.
void ReplaceSelection(HWND pane, const char* text) {
  if (text[0] == '{' && text[1] == '\\') {
    SendMessageA(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("{"));
    text++;
  }
  SendMessageA(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

// Formats blocks straight into the rich edit control.
class PaneWriter : public BlockSink, public PieceSink {
 public:
  PaneWriter(HWND pane, const Options& o, bool capturing)
      : pane_(pane), settings_{o, o.DisplayHighChars != 0, true}, capturing_(capturing),
        start_(GetTickCount()) {}
  void OnBlock(const StreamBlock& block) override { FormatBlock(block, settings_, *this); }
  bool BudgetExhausted() override { return capturing_ && GetTickCount() - start_ >= kCaptureLoadBudgetMs; }
  void Emit(const char* text, size_t n, bool colored, uint32_t color) override {
    if (colored) {
      CHARFORMATA cf{};
      cf.cbSize = sizeof cf;
      cf.dwMask = CFM_COLOR;
      cf.crTextColor = color;
      SendMessageA(pane_, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    }
    // In 4096-byte pieces; while capturing, at most 100 ms of them.
    const DWORD t0 = GetTickCount();
    char piece[4097];
    size_t pos = 0;
    for (; n - pos > 4096; pos += 4096) {
      if (capturing_ && GetTickCount() - t0 >= kCaptureLoadBudgetMs) {
        pos = n - (n % 4096);
        break;
      }
      memcpy(piece, text + pos, 4096);
      piece[4096] = 0;
      ReplaceSelection(pane_, piece);
    }
    std::string rest(text + pos, n - pos);
    ReplaceSelection(pane_, rest.c_str());
  }

 private:
  HWND pane_;
  FormatterSettings settings_;
  bool capturing_;
  DWORD start_;
};

}  // namespace

void MainWindow::RefreshLowerPane() {
  if (options_.HideLowerPane || !lower_) return;
  if (engine_.running && !options_.LiveModeDisplayContent) return;
  SetWindowTextA(lower_, "");
  if (options_.StatOnly) return;
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  SendMessageA(lower_, WM_SETREDRAW, FALSE, 0);
  SendMessageA(lower_, EM_SETTEXTMODE,
               (options_.DisplayHighChars ? TM_PLAINTEXT : TM_RICHTEXT) | TM_SINGLELEVELUNDO | TM_MULTICODEPAGE, 0);
  const std::vector<size_t> rows = SelectedRows();
  PaneWriter writer(lower_, options_, engine_.running);
  auto load = [&](const Conversation& c) {
    if (LoadStream(file_, c, writer, engine_.running, &table_) == LoadResult::BudgetExhausted) {
      std::string notice = std::string("\r\n\r\n") + GetString(31) + "\r\n" + GetString(32) + "\r\n";
      SendMessageA(lower_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(notice.c_str()));
    }
  };
  if (rows.size() == 1) {
    const Conversation& c = table_.at(rows[0]);
    if (int64_t(c.dataSize) <= int64_t(options_.MaxDataSizeDisplay) * 1024 || options_.DisplayMode == 4) {
      load(c);
    } else {
      char text[256];
      snprintf(text, sizeof text, GetString(33), options_.MaxDataSizeDisplay);
      std::string notice = std::string(text) + "\r\n" + GetString(34);
      SendMessageA(lower_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(notice.c_str()));
    }
  } else if (options_.DisplayMode == 4) {
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) load(table_.at(*it));
  }
  SendMessageA(lower_, EM_SETSEL, 0, 0);
  SendMessageA(lower_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(lower_, nullptr, TRUE);
  SetCursor(old);
}

void MainWindow::OpenFind(int mode) {
  if (findDialog_) {
    SetFocus(findDialog_);
    return;
  }
  findMode_ = mode;
  find_ = FINDREPLACEA{};
  find_.lStructSize = sizeof find_;
  find_.hwndOwner = hwnd_;
  find_.Flags = FR_DOWN;
  find_.lpstrFindWhat = findText_;
  find_.wFindWhatLen = sizeof findText_;
  findDialog_ = FindTextA(&find_);
}

void MainWindow::OnFindMessage(const FINDREPLACEA& fr) {
  if (fr.Flags & FR_DIALOGTERM) {
    findDialog_ = nullptr;
    savedFocus_ = findMode_ == 2 ? list_ : lower_;
    SetFocus(savedFocus_);
    return;
  }
  if (!(fr.Flags & FR_FINDNEXT) || !findText_[0]) return;
  if (findMode_ == 2) FindInRows(findText_, fr.Flags);
  else FindInPane(findText_, fr.Flags);
}

void MainWindow::FindInPane(const char* text, DWORD flags) {
  flags &= FR_DOWN | FR_WHOLEWORD | FR_MATCHCASE;
  CHARRANGE sel{};
  SendMessageA(lower_, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
  FINDTEXTA ft{};
  ft.chrg.cpMin = sel.cpMin + 1;
  ft.chrg.cpMax = -1;
  ft.lpstrText = text;
  LRESULT at = SendMessageA(lower_, EM_FINDTEXT, flags, reinterpret_cast<LPARAM>(&ft));
  if (at < 0) {
    ft.chrg.cpMin = 0;
    at = SendMessageA(lower_, EM_FINDTEXT, flags, reinterpret_cast<LPARAM>(&ft));
  }
  if (at < 0) return;
  SendMessageA(lower_, EM_HIDESELECTION, FALSE, 0);
  SendMessageA(lower_, EM_SETSEL, WPARAM(at), LPARAM(at + LRESULT(strlen(text))));
  SendMessageA(lower_, EM_SCROLLCARET, 0, 0);
}
