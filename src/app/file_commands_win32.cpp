// The main window's file commands: saving and loading packets, summaries and
// the configuration, and the end of a session.
#include "app/main_window_win32.h"

#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "app/config.h"
#include "app/report.h"
#include "base/raw_file.h"
#include "base/thread.h"
#include "base/strings.h"
#include "export/summary_export.h"
#include "packetfile/capture_writer.h"
#include "app/import.h"
#include "app/library_import_win32.h"
#include "resource.h"

namespace {


// "Description (pattern)\0pattern\0" entries, as the file dialogs want them.
std::string FilterList(std::initializer_list<std::pair<int, const char*>> entries) {
  std::string s;
  for (const auto& e : entries) {
    s += std::string(GetString(e.first)) + " (" + e.second + ")";
    s += '\0';
    s += e.second;
    s += '\0';
  }
  return s;
}

bool AskFile(HWND owner, bool save, const std::string& filters, int titleString, const char* defExt, DWORD* index,
             char (&path)[MAX_PATH]) {
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filters.c_str();
  ofn.nFilterIndex = index ? *index : 1;
  ofn.lpstrFile = path;
  ofn.nMaxFile = MAX_PATH - 1;
  ofn.lpstrTitle = GetString(titleString);
  ofn.lpstrDefExt = defExt;
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
              (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  const BOOL ok = save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
  if (ok && index) *index = ofn.nFilterIndex;
  return ok != FALSE;
}

void Message(HWND owner, int formatString, const char* a, const char* b = "") {
  char text[1024];
  snprintf(text, sizeof text, GetString(formatString), a, b);
  MessageBoxA(owner, text, kTitle, MB_ICONWARNING);
}


uint64_t FileSize(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &a)) return 0;
  return uint64_t(a.nFileSizeHigh) << 32 | a.nFileSizeLow;
}

}  // namespace

// "Error %d: %s" with the system's text for the code.
void ShowSystemError(HWND owner, DWORD code) {
  char sys[512] = "";
  DWORD n = 0;
  if (code >= 2100 && code <= 2999) {
    if (HMODULE net = LoadLibraryExA("netmsg.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
      n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, net, code, 0, sys,
                         sizeof sys, nullptr);
      FreeLibrary(net);
    }
  }
  if (!n)
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, sys,
                       sizeof sys, nullptr);
  if (!n) strcpy(sys, "Unknown Error");
  char msg[600];
  snprintf(msg, sizeof msg, "Error %lu: %s", static_cast<unsigned long>(code), sys);
  MessageBoxA(owner, msg, "Error", MB_ICONWARNING);
}

// Keeps the window painting while a file is read, with the share read in
// the status bar; Escape or Stop ends the import part.
class FileProgress : public ReadProgress {
 public:
  FileProgress(MainWindow& w, const char* path) : w_(w), size_(FileSize(path)) {}
  bool Continue(uint64_t done) override {
    // The library's reading is measured by its records, an estimate: the
    // import shows 100% only once it has ended.
    const int top = rebuilding_ ? 100 : 99;
    const int pct = size_ ? int(done * 100 / size_) : 0;
    Step(rebuilding_ ? 37 : 36, pct > top ? top : pct);
    // The rebuild goes on after Escape (the list must match the file),
    // but not once the session is ending.
    return (rebuilding_ && !w_.sessionEndPending_) || !w_.importCancel_;
  }
  void Rebuilding() override {
    rebuilding_ = true;
    size_ = w_.file_.name()[0] ? FileSize(w_.file_.name()) : 0;
  }
  // The list holds no rows of its own: letting them go is immediate.
  void ClearRows() {
    w_.ClearList();
  }

 private:
  // At most every 100 ms: the status text, then the waiting messages.
  void Step(int stringId, int pct) {
    const DWORD now = GetTickCount();
    if (now - last_ < 100) return;
    last_ = now;
    char text[160];
    snprintf(text, sizeof text, GetString(stringId), pct);
    w_.SetStatus(text);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        PostQuitMessage(int(m.wParam));
        w_.importCancel_ = true;
        break;
      }
      if (m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE) {
        w_.importCancel_ = true;
        continue;
      }
      if (w_.PreTranslate(&m)) continue;
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }

  MainWindow& w_;
  uint64_t size_;
  DWORD last_ = 0;
  bool rebuilding_ = false;
};

int MainWindow::InitialShowCommand() const {
  // A stored place that is refused takes its maximised state with it.
  WINDOWPLACEMENT wp;
  if (!StoredPlacement(&wp)) return SW_SHOWNORMAL;
  return wp.showCmd == SW_SHOWMAXIMIZED ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
}

void MainWindow::LoadPacketFile(const char* path) {
  if (engine_.running || importing_) return;
  std::string reason;
  if (DetectFileFormat(path, &reason) == CaptureFormat::Unknown) {
    Message(hwnd_, 38, path, reason.c_str());
    return;
  }
  importing_ = true;
  importCancel_ = false;
  UpdateMenuState();
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  FileProgress progress(*this, path);
  progress.ClearRows();
  table_.Clear();
  if (lower_) SetWindowTextA(lower_, "");  // its conversation is gone with the table
  // Through the packet capture library when it is loaded, as the driver
  // method's frames are; the core reader takes what the library cannot open.
  // However the load ends, the window leaves import mode: a load left in it
  // would refuse every later capture and file.
  // A fault on this thread is caught here too, not by the command's guard,
  // which would leave past the clean-up below.
  struct Load {
    MainWindow* w;
    const char* path;
    FileProgress* progress;
    LoadOutcome out;
  } load{this, path, &progress, {}};
  const LRESULT ended = GuardedCall(
      [](void* p) -> LRESULT {
        auto* l = static_cast<Load*>(p);
        try {
          l->out = LoadCaptureWithPackets(l->path, l->w->table_, l->w->file_, l->w->options_, l->progress,
                                          ImportThroughCaptureLibrary);
        } catch (const std::bad_alloc&) {
          RawFile::SetLastErrorCode(kOutOfMemoryCode);
          l->out = LoadOutcome{};
          l->out.message = RawFile::LastErrorText();
          return 2;
        }
        return 0;
      },
      &load, 1);  // 1: a fault, already shown
  const LoadOutcome& out = load.out;
  const bool abandoned = ended == 1;
  if (ended) table_.Clear();
  importing_ = false;
  if (sessionEndPending_) {
    EndOfSession();
    return;
  }
  SetCursor(old);
  RefreshRows(true);
  SortList();
  SetFocus(list_);
  UpdateMenuState();
  UpdateStatus();
  if (abandoned) return;
  if (!out.ok)
    Message(hwnd_, 38, path, out.message.c_str());
  else if (out.damaged)  // the message says it is damaged; its reason says so once
    Message(hwnd_, 39, path, out.message.c_str() + (out.message.rfind("damaged file: ", 0) == 0 ? 14 : 0));
  else if (out.cancelled)
    MessageBoxA(hwnd_, GetString(40), kTitle, MB_ICONINFORMATION);
}

void MainWindow::LoadPacketData() {
  if (engine_.running || importing_) return;
  const std::string filters = FilterList({{601, "*.pkp"}, {602, "*.*"}, {603, "*.cap"}});
  char path[MAX_PATH] = "";
  DWORD index = DWORD(options_.LoadPacketsFilterIndex);
  if (!AskFile(hwnd_, false, filters, 19, "pkp", &index, path)) return;
  options_.LoadPacketsFilterIndex = int32_t(index);
  // The content decides how the file is read, whichever entry was chosen.
  LoadPacketFile(path);
}

void MainWindow::SavePacketData() {
  if (engine_.running || importing_) return;
  if (!file_.name()[0]) {
    MessageBoxA(hwnd_, GetString(44), kTitle, MB_ICONWARNING);
    return;
  }
  const std::string filters = FilterList({{601, "*.pkp"}, {604, "*.pcap"}, {605, "*.pcapng"}});
  char path[MAX_PATH] = "";
  DWORD index = 1;
  if (!AskFile(hwnd_, true, filters, 18, "pkp", &index, path)) return;
  // A name typed as .pcap or .pcapng asks for that kind whatever the entry.
  const size_t n = strlen(path);
  if (index == 1 && n > 5 && _stricmp(path + n - 5, ".pcap") == 0) index = 2;
  if (index == 1 && n > 7 && _stricmp(path + n - 7, ".pcapng") == 0) index = 3;
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  std::string error;
  if (index == 2 || index == 3) {
    const ConvertResult r = WriteCaptureFile(file_, path, index == 3 ? CaptureFormat::PcapNg : CaptureFormat::Pcap);
    if (!r.ok || r.damaged) error = r.error;  // damage: only the packets before it were saved
  } else if (RawFile::SameFile(file_.name(), path)) {
    // Saved there already; a copy onto itself could empty it.
  } else if (!CopyFileA(file_.name(), path, FALSE)) {
    const DWORD code = GetLastError();
    char sys[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, sys, sizeof sys,
                   nullptr);
    error = sys[0] ? sys : "error " + std::to_string(code);
  }
  SetCursor(old);
  if (!error.empty()) Message(hwnd_, 41, path, error.c_str());
}

void MainWindow::SaveSummaries() {
  const std::vector<size_t> selected = SelectedRows();
  if (selected.empty()) return;
  std::string filters;
  static const char* const kPatterns[kSummaryFormatCount] = {"*.txt", "*.txt", "*.txt", "*.htm;*.html",
                                                             "*.htm;*.html", "*.xml", "*.csv"};
  for (int f = 0; f < kSummaryFormatCount; f++) filters += FilterList({{501 + f, kPatterns[f]}});
  char path[MAX_PATH] = "";
  DWORD index = DWORD(options_.SaveFilterIndex);
  if (!AskFile(hwnd_, true, filters, 7, "txt", &index, path)) return;
  options_.SaveFilterIndex = int32_t(index);
  const int format = int(index) >= 1 && int(index) <= kSummaryFormatCount ? int(index) : kFormatText;
  std::vector<const Conversation*> rows;
  for (size_t i : selected) rows.push_back(&table_.at(i));
  const ColumnContext ctx = TextContext();
  std::string error;
  unsigned long code = 0;
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  const bool ok = WriteSummaryFile(path, format, rows, ExportColumns(), ctx, options_.AddExportHeaderLine != 0,
                                   &error, &code);
  SetCursor(old);
  if (!ok) ShowSystemError(hwnd_, DWORD(code));
}

void MainWindow::StoreLayoutInOptions() {
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  if (GetWindowPlacement(hwnd_, &wp)) {
    memcpy(options_.WinPos, &wp, sizeof options_.WinPos);
    options_.WinPosValid = true;
  }
  int order[kColumnCount];
  if (ListView_GetColumnOrderArray(list_, kColumnCount, order)) {
    for (int p = 0; p < kColumnCount; p++) {
      options_.Columns[order[p]][1] = int16_t(p);
      options_.Columns[order[p]][0] = int16_t(ListView_GetColumnWidth(list_, order[p]));
    }
    options_.ColumnsValid = true;
  }
}

void MainWindow::SaveConfiguration() {
  const std::string filters = FilterList({{621, "*.cfg"}});
  char path[MAX_PATH] = "";
  if (!AskFile(hwnd_, true, filters, 24, "cfg", nullptr, path)) return;
  StoreLayoutInOptions();
  if (!SaveSettings(path, options_)) Message(hwnd_, 43, path, RawFile::LastErrorText().c_str());
}

void MainWindow::LoadConfiguration() {
  const std::string filters = FilterList({{621, "*.cfg"}});
  char path[MAX_PATH] = "";
  if (!AskFile(hwnd_, false, filters, 25, "cfg", nullptr, path)) return;
  const bool hadPlacement = options_.WinPosValid, hadColumns = options_.ColumnsValid;
  // A file that cannot be read would put every setting back to its default.
  Options loaded = options_;
  loaded.WinPosValid = loaded.ColumnsValid = false;
  if (!LoadSettings(path, loaded)) {
    Message(hwnd_, 38, path, RawFile::LastErrorText().c_str());
    return;
  }
  options_ = loaded;
  if (options_.WinPosValid) ApplyWindowPlacement();
  if (options_.ColumnsValid) ApplyColumnLayout();
  options_.WinPosValid = options_.WinPosValid || hadPlacement;
  options_.ColumnsValid = options_.ColumnsValid || hadColumns;
  ApplyListStyles();
  PostMessageA(hwnd_, WM_PK_REFRESH, 0, 0);
}

void MainWindow::EndOfSession() {
  if (sessionEnded_) return;
  if (importing_) {
    // Reached through the import's message loop: the import still holds the
    // packet file, so it is stopped, the settings are kept now, and the
    // files are dealt with once it has let go.
    importCancel_ = true;
    sessionEndPending_ = true;
    StoreLayoutInOptions();
    SaveSettings(options_.configFile[0] ? options_.configFile : configPath_, options_);
    return;
  }
  sessionEnded_ = true;
  KillTimer(hwnd_, TIMER_REFRESH);
  methods_->Stop();
  ShowTray(false);
  file_.ResetFile(false);
  if (!reportPath_.empty()) DeleteFileA(reportPath_.c_str());
  StoreLayoutInOptions();
  SaveSettings(options_.configFile[0] ? options_.configFile : configPath_, options_);
}
