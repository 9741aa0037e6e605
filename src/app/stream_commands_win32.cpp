// Conversation content to files: stream export, the HTML report, HTTP bodies.
#include "app/main_window_win32.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>

#include "base/language_win32.h"
#include "base/strings.h"
#include "stream/http.h"
#include "stream/stream_export.h"
#include "stream/stream_loader.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK ExtractProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* folder = reinterpret_cast<std::string*>(GetWindowLongPtrA(dlg, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(dlg, DWLP_USER, lp);
    TranslateDialog(dlg, IDD_EXTRACT_HTTP);
    SetDlgItemTextA(dlg, IDC_EXTRACT_FOLDER, reinterpret_cast<std::string*>(lp)->c_str());
    ApplyRightToLeft(dlg, 3);
    return TRUE;
  }
  if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
    if (LOWORD(wp) == IDOK) {
      char text[MAX_PATH] = "";
      GetDlgItemTextA(dlg, IDC_EXTRACT_FOLDER, text, sizeof text);
      *folder = text;
    }
    EndDialog(dlg, LOWORD(wp));
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedExtractProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(ExtractProc, dlg, msg, wp, lp);
}

struct ExtractBlocks : BlockSink {
  HttpExtractor& x;
  explicit ExtractBlocks(HttpExtractor& e) : x(e) {}
  void OnBlock(const StreamBlock& b) override { x.OnBlock(b.bytes.data(), b.bytes.length(), b.lacking()); }
};

}  // namespace

bool MainWindow::WriteStreams(const std::string& path, int format) {
  std::string error;
  unsigned long code = 0;
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  const bool ok = WriteStreamFile(path, format, SelectedConversationsLastFirst(), file_, TextContext(), ExportColumns(),
                                  engine_.running, &error, &table_, &code);
  SetCursor(old);
  // Refusals of our own carry no system code: their text says why.
  if (!ok && code) ShowSystemError(hwnd_, DWORD(code));
  else if (!ok) MessageBoxA(hwnd_, error.c_str(), "Error", MB_ICONWARNING);
  return ok;
}

void MainWindow::ExportStreams() {
  std::string filter;
  static const struct {
    int id;
    const char* pattern;
  } kFilters[] = {{541, "*.txt"}, {542, "*.html;*.htm"}, {543, "*.dat"}, {544, "*.dat"}, {545, "*.dat"}};
  for (const auto& f : kFilters) {
    char entry[128];
    snprintf(entry, sizeof entry, "%s (%s)", GetString(f.id), f.pattern);
    filter += entry;
    filter += '\0';
    filter += f.pattern;
    filter += '\0';
  }
  char path[MAX_PATH] = "";
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = DWORD(std::clamp(options_.SaveSteamsFilterIndex, 1, 5));
  ofn.lpstrFile = path;
  ofn.nMaxFile = sizeof path - 1;
  ofn.lpstrTitle = GetString(21);
  ofn.lpstrDefExt = "txt";
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
  if (!GetSaveFileNameA(&ofn)) return;
  options_.SaveSteamsFilterIndex = int32_t(ofn.nFilterIndex);
  WriteStreams(path, int(ofn.nFilterIndex));
}

void MainWindow::HtmlReport() {
  if (WriteStreams(reportPath_, 2)) ShellExecuteA(hwnd_, "open", reportPath_.c_str(), "", "", SW_SHOW);
}

void MainWindow::ExtractHttpFiles() {
  std::string folder = options_.HttpExtractOptions_Folder;
  if (DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_EXTRACT_HTTP), hwnd_, GuardedExtractProc,
                      reinterpret_cast<LPARAM>(&folder)) != IDOK)
    return;
  snprintf(options_.HttpExtractOptions_Folder, sizeof options_.HttpExtractOptions_Folder, "%s", folder.c_str());
  if (folder.empty()) return;
  HttpExtractor extractor(folder, file_.name());
  ExtractBlocks sink(extractor);
  for (const Conversation* c : SelectedConversationsLastFirst()) LoadStream(file_, *c, sink, engine_.running, &table_);
  if (extractor.filesFailed()) MessageBoxA(hwnd_, extractor.FailureReport().c_str(), "Error", MB_ICONWARNING);
  else if (const std::string holes = extractor.HoleReport(); !holes.empty())
    MessageBoxA(hwnd_, holes.c_str(), "Pakrill", MB_ICONINFORMATION);
}
