#include "app/main_window_win32.h"

#include <commctrl.h>
#include <richedit.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/advanced_options_win32.h"
#include "app/command_line.h"
#include "app/config.h"
#include "app/language_win32.h"
#include "app/strings.h"
#include "capture/columns.h"
#include "enrich/enrichment_win32.h"
#include "capture/packet_sniffer_win32.h"
#include "capture/pcap_library_win32.h"
#include "export/summary_export.h"
#include "filter/filter_dialog_win32.h"
#include "stream/http.h"
#include "stream/stream_export.h"
#include "stream/stream_formatter.h"
#include "stream/stream_loader.h"
#include "resource.h"

namespace {

const char kTitle[] = "Pakrill";
constexpr int kSplitBar = 4;
constexpr UINT WM_PK_DEVICE_ERROR = WM_USER + 262;
constexpr UINT WM_PK_WRITE_ERROR = WM_USER + 263;

struct ToolButton {
  int image;
  int command;
};
const ToolButton kToolButtons[] = {
    {5, IDM_START}, {6, IDM_STOP},  {10, IDM_RESTART},     {-1, 0},     {7, IDM_NEXT},  {8, IDM_PREVIOUS},
    {-1, 0},        {9, IDM_HTML_REPORT}, {1, IDM_SAVE_PACKETS}, {2, IDM_COPY}, {3, IDM_PROPERTIES}, {4, IDM_EXIT},
};

void ShowFileError(HWND owner, DWORD code) {
  char sys[256] = "Unknown Error", msg[320];
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, sys, sizeof sys,
                 nullptr);
  snprintf(msg, sizeof msg, "Error %lu: %s", (unsigned long)code, sys);
  MessageBoxA(owner, msg, "Error", MB_ICONWARNING);
}

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
  void OnBlock(const StreamBlock& b) override { x.OnBlock(b.bytes.data(), b.bytes.length()); }
};

int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

int CALLBACK FontFound(const LOGFONTA*, const TEXTMETRICA*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FontInstalled(const char* face) {
  LOGFONTA lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  strcpy(lf.lfFaceName, face);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExA(dc, &lf, FontFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
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
      SendMessageA(pane_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece));
    }
    std::string rest(text + pos, n - pos);
    SendMessageA(pane_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(rest.c_str()));
  }

 private:
  HWND pane_;
  FormatterSettings settings_;
  bool capturing_;
  DWORD start_;
};

}  // namespace

MainWindow::MainWindow(const std::vector<std::string>& args) : args_(args) {
  methods_.reset(new CaptureMethods(engine_));
  engine_.notifier = this;
}

MainWindow::~MainWindow() {
  if (toolbarImages_) ImageList_Destroy(toolbarImages_);
}

bool MainWindow::CreateMainWindow(HINSTANCE instance, HACCEL accelerators) {
  instance_ = instance;
  accel_ = accelerators;
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_PAKRILL));
  Window::RegisterClass(instance, kTitle, icon, LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)),
                        reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  return Create(0, kTitle, kTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                640, 480, nullptr, nullptr, instance) != nullptr;
}

void MainWindow::OnCreate() {
  menu_ = LoadTranslatedMenu(instance_, IDM_MAIN);
  ApplyRightToLeft(hwnd_, 0);
  SetMenu(hwnd_, menu_);
  status_ = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, hwnd_,
                            reinterpret_cast<HMENU>(IDC_STATUS), instance_, nullptr);
  int parts[1] = {-1};
  SendMessageA(status_, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));

  toolbar_ = CreateWindowExA(0, TOOLBARCLASSNAMEA, "",
                             WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP, 0, 0, 0, 0,
                             hwnd_, reinterpret_cast<HMENU>(IDC_TOOLBAR), instance_, nullptr);
  SendMessageA(toolbar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  toolbarImages_ = ImageList_LoadImageA(instance_, MAKEINTRESOURCEA(IDB_TOOLBAR), 16, 0, RGB(255, 0, 255),
                                        IMAGE_BITMAP, LR_CREATEDIBSECTION);
  SendMessageA(toolbar_, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolbarImages_));
  std::vector<TBBUTTON> buttons;
  for (const ToolButton& b : kToolButtons) {
    TBBUTTON t{};
    t.iBitmap = b.image < 0 ? 0 : b.image;
    t.idCommand = b.command;
    t.fsState = TBSTATE_ENABLED;
    t.fsStyle = b.image < 0 ? BTNS_SEP : BTNS_BUTTON;
    buttons.push_back(t);
  }
  SendMessageA(toolbar_, TB_ADDBUTTONSA, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
  SendMessageA(toolbar_, TB_AUTOSIZE, 0, 0);

  list_ = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, 0, 0, 0, 0, hwnd_,
                          reinterpret_cast<HMENU>(IDC_LIST), instance_, nullptr);
  lower_ = CreateWindowExA(WS_EX_CLIENTEDGE, "RichEdit20A", "",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                               ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                           0, 0, 0, 0, hwnd_, reinterpret_cast<HMENU>(IDC_LOWER_PANE), instance_, nullptr);
  if (lower_) {
    SendMessageA(lower_, EM_SHOWSCROLLBAR, SB_VERT, TRUE);
    SendMessageA(lower_, EM_SHOWSCROLLBAR, SB_HORZ, TRUE);
    SendMessageA(lower_, EM_AUTOURLDETECT, 0, 0);
    // Its right clicks reach the window as EN_MSGFILTER notifications.
    SendMessageA(lower_, EM_SETEVENTMASK, 0, SendMessageA(lower_, EM_GETEVENTMASK, 0, 0) | ENM_MOUSEEVENTS);
    CHARFORMATA cf{};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_FACE | CFM_SIZE | CFM_BOLD;
    cf.yHeight = 200;
    // Fixedsys keeps the hex dump's columns; where the system has no such
    // font (Wine), another fixed-pitch face does.
    const char* face = "Fixedsys";
    for (const char* f : {"Fixedsys", "Courier New", "Liberation Mono", "DejaVu Sans Mono", "Noto Mono"})
      if (FontInstalled(f)) {
        face = f;
        break;
      }
    strcpy(cf.szFaceName, face);
    SendMessageA(lower_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&cf));
  }
  contextMenu_ = LoadTranslatedMenu(instance_, IDM_CONTEXT);
  trayMenu_ = LoadTranslatedMenu(instance_, IDM_TRAY);

  // Settings: the file next to the executable, then /LoadConfig's file.
  char exe[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  configPath_ = DefaultConfigPath(exe);
  {
    std::string folder(exe);
    folder = folder.substr(0, folder.find_last_of('\\') + 1);
    const DWORD attr = GetFileAttributesA(folder.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_READONLY)) {
      char temp[MAX_PATH] = "";
      GetTempPathA(sizeof temp, temp);
      folder = temp;
    }
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    reportPath_ = folder.size() + 11 <= 259 ? folder + "report.html" : "";
  }
  if (!args_.empty() && EqualNoCase(args_[0].c_str(), "/noloadsettings"))
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Toveral\\Pakrill");
  const bool firstStart = GetFileAttributesA(configPath_.c_str()) == INVALID_FILE_ATTRIBUTES;
  LoadSettings(configPath_, options_);
  findMessage_ = RegisterWindowMessageA(FINDMSGSTRINGA);
  const int lc = FindArgument(args_, "/LoadConfig");
  if (lc >= 0 && ArgumentAt(args_, size_t(lc) + 1)[0]) {
    snprintf(options_.configFile, sizeof options_.configFile, "%.259s", ArgumentAt(args_, size_t(lc) + 1));
    LoadSettings(options_.configFile, options_);
  }
  enrich_ = std::make_unique<Enrichment>(options_, table_);
  enrich_->Attach();
  CreateColumns();
  sort_.Reset(options_.Sort);
  ShowSortArrow();
  FindHandOffTool();
  ApplyListStyles();
  ApplyWindowPlacement();

  methods_->messageFilter = this;
  methods_->notifyWindow = hwnd_;
  methods_->deviceErrorMessage = WM_PK_DEVICE_ERROR;

  SetTimer(hwnd_, TIMER_REFRESH, 100, nullptr);
  ShowWindow(lower_, options_.HideLowerPane ? SW_HIDE : SW_SHOW);
  if (HWND tips = ListView_GetToolTips(list_)) {
    SendMessageA(tips, TTM_SETDELAYTIME, TTDT_AUTOPOP, 65535);
    SendMessageA(tips, TTM_SETDELAYTIME, TTDT_INITIAL, 10);
    SendMessageA(tips, TTM_SETDELAYTIME, TTDT_RESHOW, 10);
  }
  DragAcceptFiles(hwnd_, TRUE);
  smallIcon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_PAKRILL), IMAGE_ICON, 16, 16, 0));
  if (options_.TrayIcon) ShowTray(true);
  if (options_.AlwaysOnTop) SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  table_.ParseDisplayFilter();
  UpdateMenuState();
  UpdateStatus();
  // A new user's default, raw sockets, cannot capture on every system: the
  // first start takes the packet capture driver there. A stored choice stays.
  if (firstStart && lc < 0 && options_.CaptureMethod == 1 && CaptureLibrary().bound() &&
      !RawSocketsCanCapture()) {
    options_.CaptureMethod = 2;
    SetStatus(GetString(45));
  }
  if (FindArgument(args_, "/StartCapture") >= 0 || options_.CaptureOnProgramStart)
    PostMessageA(hwnd_, WM_PK_START_CAPTURE, 0, 0);
}

void MainWindow::ApplyWindowPlacement() {
  if (!options_.WinPosValid) return;
  WINDOWPLACEMENT wp;
  memcpy(&wp, options_.WinPos, sizeof wp);
  const RECT& r = wp.rcNormalPosition;
  int sx = GetSystemMetrics(SM_XVIRTUALSCREEN), sy = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int sw = GetSystemMetrics(SM_CXVIRTUALSCREEN), sh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (!sw || !sh) {
    sx = sy = 0;
    sw = GetSystemMetrics(SM_CXSCREEN);
    sh = GetSystemMetrics(SM_CYSCREEN);
  }
  if (r.right - r.left > 20 && r.bottom - r.top > 20 && r.right > sx + 5 && r.top >= sy - 10 &&
      r.left + 20 < sx + sw && r.top + 20 < sy + sh && wp.showCmd != 0)
    SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
}

void MainWindow::CreateColumns() {
  for (int pos = 0; pos < kColumnCount; pos++) {
    const ColumnDef& d = kColumns[pos];
    LVCOLUMNA c{};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
    c.fmt = LVCFMT_LEFT;
    c.cx = d.defaultWidth;
    c.pszText = const_cast<char*>(GetString(d.titleString));
    c.iSubItem = d.id;
    ListView_InsertColumn(list_, pos, &c);
  }
  ApplyColumnLayout();
}

void MainWindow::ApplyColumnLayout() {
  // A stored layout: widths and display order by column.
  if (options_.ColumnsValid) {
    int zeros = 0;
    for (auto& e : options_.Columns) zeros += e[1] == 0;
    if (zeros < 2) {
      int order[kColumnCount];
      for (int i = 0; i < kColumnCount; i++) order[i] = i;
      for (int p = 0; p < kColumnCount; p++)
        for (int col = 0; col < kColumnCount; col++)
          if (options_.Columns[col][1] == p) {
            order[p] = col;
            if (options_.Columns[col][0] >= 0 && options_.Columns[col][0] < 2000)
              ListView_SetColumnWidth(list_, col, options_.Columns[col][0]);
          }
      ListView_SetColumnOrderArray(list_, kColumnCount, order);
    }
  }
}

void MainWindow::ApplyListStyles() {
  DWORD ex = LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_DOUBLEBUFFER;
  if (options_.ShowGridLines) ex |= LVS_EX_GRIDLINES;
  if (options_.ShowInfoTip) ex |= LVS_EX_INFOTIP;
  ListView_SetExtendedListViewStyle(list_, ex);
}

std::vector<int> MainWindow::ExportColumns() const {
  int order[kColumnCount];
  ListView_GetColumnOrderArray(list_, kColumnCount, order);
  std::vector<int> cols;
  for (int pos : order) {
    if (ListView_GetColumnWidth(list_, pos) > 0) cols.push_back(kColumns[pos].id);
  }
  return cols;
}

void MainWindow::PacketCountChanged() { PostMessageA(hwnd_, WM_PK_PACKET_COUNT, 0, 0); }
void MainWindow::PacketFileWriteFailed() { PostMessageA(hwnd_, WM_PK_WRITE_ERROR, 0, 0); }

// ---------------------------------------------------------------------------
// Capture control

void MainWindow::StartCapture() {
  if (engine_.running) {
    UpdateMenuState();
    return;
  }
  CaptureAdapter adapter;
  if (!ResolveCaptureAdapter(hwnd_, options_, adapters_, &adapter)) {
    UpdateMenuState();
    return;
  }
  ClearList();
  table_.Clear();
  if (enrich_) enrich_->CaptureStarting();
  SetWindowTextA(lower_, "");
  table_.LocalAddress = adapter.address;
  file_.headerAddress = adapter.address;
  adapter.promiscuous = options_.PromiscuousMode;
  engine_.ResetCounters();
  SetStatus(GetString(17));
  file_.ResetFile(true);
  bool ok = false;
  const bool fileOk = file_.CreateForWriting();
  if (fileOk) ok = methods_->Start(adapter);
  if (ok) {
    options_.captureActive = 1;
  } else {
    MessageBoxA(hwnd_, GetString(fileOk ? 9 : 16), kTitle, MB_ICONWARNING);
    file_.CloseWriting();
  }
  UpdateMenuState();
}

void MainWindow::StopCapture() {
  if (enrich_) enrich_->CaptureStopping();
  UpdateMenuState();
  file_.CloseWriting();
  methods_->Stop();
  options_.captureActive = 0;
  if (!options_.LiveMode) {
    ReloadFromFile();
  } else {
    RefreshRows(true);
    if (table_.resolver) table_.resolver->AbandonPending();
    table_.QueueNameLookups();
    RefreshLowerPane();
  }
  UpdateMenuState();
  UpdateStatus();
}

void MainWindow::RestartCapture() {
  file_.CloseWriting();
  methods_->Stop();
  PostMessageA(hwnd_, WM_PK_START_CAPTURE, 0, 0);
}

void MainWindow::ToggleCaptureActive() {
  if (!engine_.running) return;
  options_.captureActive = 1 - options_.captureActive;
  UpdateMenuState();
  SetStatus(GetString(options_.captureActive ? 29 : 28));
}

void MainWindow::Leave() {
  if (engine_.running) {
    if (MessageBoxA(hwnd_, GetString(20), kTitle, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    file_.CloseWriting();
    methods_->Stop();
    options_.captureActive = 0;
    UpdateMenuState();
    SetTimer(hwnd_, TIMER_EXIT, 700, nullptr);
    return;
  }
  DestroyWindow(hwnd_);
}

// ---------------------------------------------------------------------------
// The list

void MainWindow::ClearList() {
  ListView_DeleteAllItems(list_);
  hasRow_.clear();
}

void MainWindow::RefreshRows(bool all) {
  SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
  hasRow_.resize(table_.count(), 0);
  for (int i = ListView_GetItemCount(list_) - 1; i >= 0; i--) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    ListView_GetItem(list_, &item);
    const size_t idx = size_t(item.lParam);
    if (idx >= table_.count()) continue;
    Conversation& c = table_.at(idx);
    if (!table_.IsVisible(c)) {
      ListView_DeleteItem(list_, i);
      hasRow_[idx] = 0;
    } else if (all || !(c.flags & kRowTextCurrent)) {
      c.flags |= kRowTextCurrent;
      ListView_RedrawItems(list_, i, i);
    }
  }
  for (size_t idx = 0; idx < table_.count(); idx++) {
    if (hasRow_[idx]) continue;
    Conversation& c = table_.at(idx);
    if (!table_.IsVisible(c)) continue;
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(list_);
    item.pszText = LPSTR_TEXTCALLBACKA;
    item.lParam = LPARAM(idx);
    ListView_InsertItem(list_, &item);
    hasRow_[idx] = 1;
    c.flags |= kRowTextCurrent;
  }
  SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list_, nullptr, FALSE);
}

void MainWindow::ReloadFromFile() {
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
  ClearList();
  table_.Clear();
  table_.RebuildFromFile();
  RefreshRows(true);
  SortList();
  SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
  SetCursor(old);
  SetFocus(list_);
  UpdateMenuState();
  UpdateStatus();
}


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

std::vector<size_t> MainWindow::SelectedRows() const {
  std::vector<size_t> rows;
  for (int i = ListView_GetNextItem(list_, -1, LVNI_SELECTED); i >= 0; i = ListView_GetNextItem(list_, i, LVNI_SELECTED)) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    ListView_GetItem(list_, &item);
    if (size_t(item.lParam) < table_.count()) rows.push_back(size_t(item.lParam));
  }
  return rows;
}

std::vector<const Conversation*> MainWindow::SelectedConversationsLastFirst() {
  std::vector<const Conversation*> out;
  const std::vector<size_t> rows = SelectedRows();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) out.push_back(&table_.at(*it));
  return out;
}

bool MainWindow::WriteStreams(const std::string& path, int format) {
  std::string error;
  HCURSOR old = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));
  const bool ok = WriteStreamFile(path, format, SelectedConversationsLastFirst(), file_, options_, ExportColumns(),
                                  engine_.running, &error, &table_);
  SetCursor(old);
  if (!ok) {
    const std::string msg = path + ": " + error;
    MessageBoxA(hwnd_, msg.c_str(), "Error", MB_ICONWARNING);
  }
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
  ofn.nFilterIndex = DWORD(Clamp(options_.SaveSteamsFilterIndex, 1, 5));
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
  HttpExtractor extractor(folder);
  ExtractBlocks sink(extractor);
  for (const Conversation* c : SelectedConversationsLastFirst()) LoadStream(file_, *c, sink, engine_.running, &table_);
  if (extractor.filesFailed()) MessageBoxA(hwnd_, extractor.FailureReport().c_str(), "Error", MB_ICONWARNING);
}

bool MainWindow::PreTranslate(MSG* m) {
  if (!hwnd_) return false;
  if (accel_ && TranslateAcceleratorA(hwnd_, accel_, m)) return true;
  if (findDialog_ && IsDialogMessageA(findDialog_, m)) return true;
  return IsDialogMessageA(hwnd_, m) != FALSE;
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

void MainWindow::FindInRows(const char* text, DWORD flags) {
  ColumnContext ctx{options_, Processes()};
  const bool matchCase = (flags & FR_MATCHCASE) != 0;
  const int row = FindRow(ListView_GetItemCount(list_), ListView_GetNextItem(list_, -1, LVNI_SELECTED),
                          (flags & FR_DOWN) != 0, [&](int r) {
                            LVITEMA item{};
                            item.mask = LVIF_PARAM;
                            item.iItem = r;
                            ListView_GetItem(list_, &item);
                            return size_t(item.lParam) < table_.count() &&
                                   RowContainsText(table_.at(size_t(item.lParam)), text, matchCase, ctx);
                          });
  if (row < 0) return;
  ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_EnsureVisible(list_, row, FALSE);
}

void MainWindow::SelectAll(bool on) {
  if (GetFocus() == lower_) {
    SendMessageA(lower_, EM_SETSEL, on ? 0 : WPARAM(-1), on ? -1 : 0);
    return;
  }
  ListView_SetItemState(list_, -1, on ? LVIS_SELECTED : 0, LVIS_SELECTED);
}

void MainWindow::CopySelection() {
  if (GetFocus() == lower_) {
    // Without a selection, the whole pane.
    DWORD from = 0, to = 0;
    SendMessageA(lower_, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    if (from == to) SendMessageA(lower_, EM_SETSEL, 0, -1);
    SendMessageA(lower_, WM_COPY, 0, 0);
    if (from == to) SendMessageA(lower_, EM_SETSEL, from, to);
    return;
  }
  const std::vector<int> cols = ExportColumns();
  ColumnContext ctx{options_, Processes()};
  std::string text;
  if (options_.AddExportHeaderLine) AppendTitleLine(text, kFormatTabDelimited, cols);
  for (size_t idx : SelectedRows()) AppendSummaryRow(text, table_.at(idx), kFormatTabDelimited, cols, ctx);
  bool ok = false;
  if (OpenClipboard(hwnd_)) {
    EmptyClipboard();
    if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, text.size() + 1)) {
      memcpy(GlobalLock(mem), text.c_str(), text.size() + 1);
      GlobalUnlock(mem);
      ok = SetClipboardData(CF_TEXT, mem) != nullptr;
      if (!ok) GlobalFree(mem);
    }
    CloseClipboard();
  }
  if (!ok) ShowFileError(hwnd_, GetLastError());
}

// ---------------------------------------------------------------------------
// Layout, menus, status, tray

void MainWindow::Layout() {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  SendMessageA(toolbar_, TB_AUTOSIZE, 0, 0);
  SendMessageA(status_, WM_SIZE, 0, 0);
  RECT tr, sr;
  GetWindowRect(toolbar_, &tr);
  GetWindowRect(status_, &sr);
  const int top = tr.bottom - tr.top, bottom = rc.bottom - (sr.bottom - sr.top);
  int avail = bottom - top;
  if (avail <= 0) avail = 1;
  options_.SplitLoc = Clamp(options_.SplitLoc, 2000, 30000);
  splitY_ = top + int(int64_t(avail) * options_.SplitLoc / 32767);
  HDWP dwp = BeginDeferWindowPos(2);
  if (options_.HideLowerPane) {
    dwp = DeferWindowPos(dwp, list_, nullptr, 0, top, rc.right, bottom - top, SWP_NOZORDER);
  } else {
    dwp = DeferWindowPos(dwp, list_, nullptr, 0, top, rc.right, splitY_ - top, SWP_NOZORDER);
    dwp = DeferWindowPos(dwp, lower_, nullptr, 0, splitY_ + kSplitBar, rc.right,
                         std::max(0, bottom - splitY_ - kSplitBar), SWP_NOZORDER);
  }
  EndDeferWindowPos(dwp);
}

bool MainWindow::OverSplitter(int y) const {
  return !options_.HideLowerPane && y >= splitY_ && y < splitY_ + kSplitBar;
}

void MainWindow::DrawSplitBar(int y) {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  HDC dc = GetDC(hwnd_);
  PatBlt(dc, 0, y, rc.right, kSplitBar, DSTINVERT);
  ReleaseDC(hwnd_, dc);
}

void MainWindow::UpdateMenuState() {
  const bool running = engine_.running;
  const int rows = ListView_GetItemCount(list_);
  const int selected = int(ListView_GetSelectedCount(list_));
  auto enable = [&](int id, bool on) {
    EnableMenuItem(menu_, UINT(id), MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(contextMenu_, UINT(id), MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(trayMenu_, UINT(id), MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
    SendMessageA(toolbar_, TB_ENABLEBUTTON, WPARAM(id), on);
  };
  auto check = [&](int id, bool on) { CheckMenuItem(menu_, UINT(id), MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); };
  enable(IDM_COPY, selected > 0);
  enable(IDM_PROPERTIES, selected == 1);
  enable(IDM_QUORVEX, rows > 0 && HandOffAvailable());
  enable(IDM_EXPORT_STREAMS, selected > 0);
  enable(IDM_HTML_REPORT, selected > 0);
  enable(IDM_EXTRACT_HTTP, rows > 0);
  enable(IDM_SAVE_SUMMARIES, selected > 0);
  enable(IDM_SAVE_PACKETS, !running && file_.name()[0]);
  enable(IDM_LOAD_PACKETS, !running);
  for (int id : {IDM_START, IDM_CAPTURE_OPTIONS, IDM_CAPTURE_FILTER, IDM_ADVANCED}) enable(id, !running);
  for (int id : {IDM_STOP, IDM_CAPTURE_ACTIVE, IDM_RESTART}) enable(id, running);
  for (int id : {IDM_NEXT, IDM_PREVIOUS, IDM_AUTOSIZE, IDM_AUTOSIZE_HEADERS, IDM_SELECT_ALL, IDM_DESELECT_ALL})
    enable(id, rows > 0);
  if (importing_) {
    // Stop ends an import; nothing else may start meanwhile.
    for (int id : {IDM_START, IDM_LOAD_PACKETS, IDM_SAVE_PACKETS, IDM_LOAD_CONFIG}) enable(id, false);
    enable(IDM_STOP, true);
  }
  CheckMenuRadioItem(menu_, IDM_MODE_AUTO, IDM_MODE_URLS, UINT(41100 + Clamp(options_.DisplayMode, 1, 4)),
                     MF_BYCOMMAND);
  check(IDM_CAPTURE_ACTIVE, options_.captureActive != 0);
  check(IDM_SHOW_GRID, options_.ShowGridLines);
  check(IDM_TOOLTIPS, options_.ShowInfoTip);
  check(IDM_ODD_EVEN, options_.MarkOddEvenRows);
  check(IDM_SHOW_TCP, options_.DisplayTCP);
  check(IDM_SHOW_UDP, options_.DisplayUDP);
  check(IDM_SHOW_ICMP, options_.DisplayICMP);
  check(IDM_HIGH_CHARS, options_.DisplayHighChars);
  check(IDM_CAPTURE_TIME, options_.DisplayCaptureTime);
  check(IDM_RESOLVE, options_.ResolveIPAddr);
  check(IDM_DNS_NAMES, options_.UseDnsQueriesForHostNames);
  check(IDM_TRAY_ICON, options_.TrayIcon);
  check(IDM_CAPTURE_AT_START, options_.CaptureOnProgramStart);
  check(IDM_OUT_IN, options_.ShowOutgoingIncoming);
  check(IDM_AUTOSCROLL, options_.AutoLiveModeScroll);
  check(IDM_HEADER_LINE, options_.AddExportHeaderLine);
  check(IDM_HIDE_LOWER, options_.HideLowerPane);
  check(IDM_DECOMPRESS, options_.DecompressHTTP);
  check(IDM_ALWAYS_ON_TOP, options_.AlwaysOnTop);
}

void MainWindow::SetStatus(const char* text) { SendMessageA(status_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text)); }

void MainWindow::UpdateStatus() {
  if (engine_.running) return;  // the packet count is shown while capturing
  char text[128];
  int n = snprintf(text, sizeof text, GetString(4), ListView_GetItemCount(list_));
  const int selected = int(ListView_GetSelectedCount(list_));
  if (selected > 0) snprintf(text + n, sizeof text - size_t(n), GetString(5), selected);
  SetStatus(text);
}

void MainWindow::ShowTray(bool on) {
  NOTIFYICONDATAA nid{};
  nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
  nid.hWnd = hwnd_;
  nid.uID = 1;
  if (on && !trayShown_) {
    nid.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    nid.uCallbackMessage = WM_PK_TRAY;
    nid.hIcon = smallIcon_;
    strcpy(nid.szTip, kTitle);
    trayShown_ = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
  } else if (!on && trayShown_) {
    Shell_NotifyIconA(NIM_DELETE, &nid);
    trayShown_ = false;
  }
}

// ---------------------------------------------------------------------------
// Messages

void MainWindow::OnCommand(int id) {
  auto toggle = [&](int32_t& opt) {
    opt = !opt;
    UpdateMenuState();
  };
  if (importing_) {
    // Only stopping the import is offered while one runs.
    if (id == IDM_STOP || id == IDM_EXIT) importCancel_ = true;
    return;
  }
  switch (id) {
    case IDM_SAVE_PACKETS: SavePacketData(); break;
    case IDM_LOAD_PACKETS: LoadPacketData(); break;
    case IDM_SAVE_SUMMARIES: SaveSummaries(); break;
    case IDM_SAVE_CONFIG: SaveConfiguration(); break;
    case IDM_LOAD_CONFIG: LoadConfiguration(); break;
    case IDM_START: StartCapture(); break;
    case IDM_STOP: StopCapture(); break;
    case IDM_RESTART: RestartCapture(); break;
    case IDM_CAPTURE_ACTIVE: ToggleCaptureActive(); break;
    case IDM_EXIT: Leave(); break;
    case IDM_COPY: CopySelection(); break;
    case IDM_FIND: OpenFind(1); break;
    case IDM_FIND_UPPER: OpenFind(2); break;
    case IDM_SELECT_ALL: SelectAll(true); break;
    case IDM_DESELECT_ALL: SelectAll(false); break;
    case IDM_NEXT: MoveSelection(1); break;
    case IDM_PREVIOUS: MoveSelection(-1); break;
    case IDM_AUTOSIZE:
    case IDM_AUTOSIZE_HEADERS:
      for (int c = 0; c < kColumnCount; c++)
        if (ListView_GetColumnWidth(list_, c) > 0)
          ListView_SetColumnWidth(list_, c, id == IDM_AUTOSIZE ? LVSCW_AUTOSIZE : LVSCW_AUTOSIZE_USEHEADER);
      break;
    case IDM_SHOW_GRID: toggle(options_.ShowGridLines); ApplyListStyles(); break;
    case IDM_TOOLTIPS: toggle(options_.ShowInfoTip); ApplyListStyles(); break;
    case IDM_ODD_EVEN: toggle(options_.MarkOddEvenRows); InvalidateRect(list_, nullptr, TRUE); break;
    case IDM_SHOW_TCP: toggle(options_.DisplayTCP); RefreshRows(false); UpdateStatus(); break;
    case IDM_SHOW_UDP: toggle(options_.DisplayUDP); RefreshRows(false); UpdateStatus(); break;
    case IDM_SHOW_ICMP: toggle(options_.DisplayICMP); RefreshRows(false); UpdateStatus(); break;
    case IDM_OUT_IN: toggle(options_.ShowOutgoingIncoming); RefreshRows(true); break;
    case IDM_HIGH_CHARS: toggle(options_.DisplayHighChars); RefreshLowerPane(); break;
    case IDM_CAPTURE_TIME: toggle(options_.DisplayCaptureTime); RefreshLowerPane(); break;
    case IDM_RESOLVE: toggle(options_.ResolveIPAddr); break;
    case IDM_DNS_NAMES: toggle(options_.UseDnsQueriesForHostNames); break;
    case IDM_CAPTURE_AT_START: toggle(options_.CaptureOnProgramStart); break;
    case IDM_AUTOSCROLL: toggle(options_.AutoLiveModeScroll); break;
    case IDM_HEADER_LINE: toggle(options_.AddExportHeaderLine); break;
    case IDM_DECOMPRESS: toggle(options_.DecompressHTTP); RefreshLowerPane(); break;
    case IDM_TRAY_ICON: toggle(options_.TrayIcon); ShowTray(options_.TrayIcon != 0); break;
    case IDM_HIDE_LOWER:
      toggle(options_.HideLowerPane);
      ShowWindow(lower_, options_.HideLowerPane ? SW_HIDE : SW_SHOW);
      Layout();
      RefreshLowerPane();
      break;
    case IDM_ALWAYS_ON_TOP:
      toggle(options_.AlwaysOnTop);
      SetWindowPos(hwnd_, options_.AlwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      break;
    case IDM_MODE_AUTO:
    case IDM_MODE_ASCII:
    case IDM_MODE_HEX:
    case IDM_MODE_URLS:
      options_.DisplayMode = id - 41100;
      UpdateMenuState();
      RefreshLowerPane();
      break;
    case IDM_DISPLAY_FILTER: {
      FilterDialogData d{52, options_.DisplayFilter};
      if (ShowFilterDialog(hwnd_, d)) {
        options_.DisplayFilter = d.text;
        table_.ParseDisplayFilter();
        PostMessageA(hwnd_, WM_PK_REFRESH, 0, 0);
      }
      break;
    }
    case IDM_CAPTURE_FILTER: {
      if (engine_.running) break;
      FilterDialogData d{51, options_.CaptureFilter};
      if (ShowFilterDialog(hwnd_, d)) options_.CaptureFilter = d.text;
      break;
    }
    case IDM_CAPTURE_OPTIONS:
      if (!engine_.running) ShowCaptureOptions(hwnd_, options_, adapters_);
      break;
    case IDM_ADVANCED:
      if (!engine_.running && ShowAdvancedOptions(hwnd_, options_)) {
        ApplyProcessColumns();
        RefreshRows(true);
        UpdateMenuState();
        RefreshLowerPane();
      }
      break;
    case IDM_EXPORT_STREAMS: ExportStreams(); break;
    case IDM_PROPERTIES: ShowProperties(); break;
    case IDM_CHOOSE_COLUMNS: ChooseColumns(); break;
    case IDM_QUORVEX: HandOff(); break;
    case IDM_HTML_REPORT: HtmlReport(); break;
    case IDM_EXTRACT_HTTP: ExtractHttpFiles(); break;
    case IDM_OPEN_MAIN:
      ShowWindow(hwnd_, SW_SHOWNORMAL);
      SetForegroundWindow(hwnd_);
      break;
    default:
      break;
  }
  UpdateMenuState();
}

LRESULT MainWindow::OnNotify(NMHDR* hdr) {
  if (hdr->hwndFrom == list_) {
    switch (hdr->code) {
      case LVN_GETDISPINFOA: {
        auto* di = reinterpret_cast<NMLVDISPINFOA*>(hdr);
        if ((di->item.mask & LVIF_TEXT) && size_t(di->item.lParam) < table_.count()) {
          static char buf[kColumnTextSize];
          ColumnContext ctx{options_, Processes()};
          const int id = di->item.iSubItem < kColumnCount ? kColumns[di->item.iSubItem].id : -1;
          const char* text = ColumnText(table_.at(size_t(di->item.lParam)), id, buf, ctx);
          snprintf(di->item.pszText, size_t(di->item.cchTextMax), "%s", text);
        }
        return 0;
      }
      case LVN_ITEMCHANGED: {
        auto* nm = reinterpret_cast<NMLISTVIEW*>(hdr);
        if (sorting_) return 0;
        if ((nm->uChanged & LVIF_STATE) && ((nm->uNewState ^ nm->uOldState) & LVIS_SELECTED) && !selectionPending_) {
          selectionPending_ = true;
          PostMessageA(hwnd_, WM_PK_SELECTION, 0, 0);
        }
        return 0;
      }
      case NM_CUSTOMDRAW: {
        auto* cd = reinterpret_cast<NMLVCUSTOMDRAW*>(hdr);
        if (cd->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (cd->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
          if (options_.MarkOddEvenRows && (cd->nmcd.dwItemSpec & 1)) {
            cd->clrText = RGB(0, 0, 0);
            cd->clrTextBk = RGB(224, 224, 224);
          }
          return CDRF_DODEFAULT;
        }
        return CDRF_DODEFAULT;
      }
      case LVN_COLUMNCLICK:
        OnColumnClick(reinterpret_cast<NMLISTVIEW*>(hdr)->iSubItem);
        return 0;
      case NM_DBLCLK:
        if (ListView_GetSelectedCount(list_) == 1) ShowProperties();
        return 0;
      case NM_RCLICK: {
        POINT pt;
        GetCursorPos(&pt);
        UpdateMenuState();
        TrackPopupMenu(GetSubMenu(contextMenu_, 0), TPM_RIGHTBUTTON, pt.x, pt.y, 0, hwnd_, nullptr);
        return 0;
      }
    }
  }
  if (hdr->hwndFrom == lower_ && hdr->code == EN_MSGFILTER) {
    const auto* mf = reinterpret_cast<MSGFILTER*>(hdr);
    if (mf->msg == WM_RBUTTONUP) {
      POINT pt;
      GetCursorPos(&pt);
      OpenPaneMenu(pt.x, pt.y);
      return 1;
    }
    return 0;
  }
  if (hdr->code == TTN_GETDISPINFOA) {
    auto* tt = reinterpret_cast<NMTTDISPINFOA*>(hdr);
    char text[80] = "";
    GetMenuStringA(menu_, UINT(hdr->idFrom), text, sizeof text, MF_BYCOMMAND);
    if (char* tab = strchr(text, '\t')) *tab = 0;
    std::string clean;
    for (const char* p = text; *p; p++)
      if (*p != '&') clean += *p;
    snprintf(tt->szText, sizeof tt->szText, "%s", clean.c_str());
  }
  return 0;
}

void MainWindow::OnTimer(UINT_PTR id) {
  if (id == TIMER_EXIT) {
    KillTimer(hwnd_, TIMER_EXIT);
    DestroyWindow(hwnd_);
    return;
  }
  if (id != TIMER_REFRESH || importing_) return;
  if (table_.changed && options_.LiveMode) {
    table_.changed = 0;
    RefreshRows(false);
    // New packets, whether or not they added a row.
    if (options_.AutoLiveModeScroll && ListView_GetItemCount(list_) > 0)
      ListView_EnsureVisible(list_, ListView_GetItemCount(list_) - 1, FALSE);
  }
  if (enrich_ && enrich_->Tick()) RefreshRows(false);
  if (table_.namesChanged) {
    table_.namesChanged = 0;
    RefreshRows(false);
  }
}

const ProcessTable* MainWindow::Processes() const { return enrich_ ? enrich_->processes() : nullptr; }

void MainWindow::OnDestroy() {
  EndOfSession();
  PostQuitMessage(0);
}

bool MainWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  *result = 0;
  if (msg == findMessage_ && findMessage_) {
    OnFindMessage(*reinterpret_cast<const FINDREPLACEA*>(lp));
    return true;
  }
  switch (msg) {
    case WM_CREATE:
      OnCreate();
      return true;
    case WM_SIZE:
      Layout();
      return true;
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return true;
    case WM_NOTIFY:
      *result = OnNotify(reinterpret_cast<NMHDR*>(lp));
      return true;
    case WM_TIMER:
      OnTimer(wp);
      return true;
    case WM_CLOSE:
      if (importing_) importCancel_ = true;
      else if (options_.TrayIcon && trayShown_ && !exiting_) ShowWindow(hwnd_, SW_HIDE);
      else Leave();
      return true;
    case WM_QUERYENDSESSION:
      *result = TRUE;
      return true;
    case WM_ENDSESSION:
      // The session ends without WM_DESTROY: keep the settings, leave no files.
      if (wp) EndOfSession();
      return true;
    case WM_DESTROY:
      OnDestroy();
      return true;
    case WM_NEXTDLGCTL: {
      // Tab and Shift+Tab (sent by IsDialogMessage): the frame is no dialog,
      // so it moves the focus between its panes itself.
      HWND next = LOWORD(lp) ? reinterpret_cast<HWND>(wp) : GetNextDlgTabItem(hwnd_, GetFocus(), wp != 0);
      if (next) SetFocus(next);
      return true;
    }
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wp) != lower_) return false;
      OpenPaneMenu(short(LOWORD(lp)), short(HIWORD(lp)));
      return true;
    case WM_INITMENUPOPUP:
      UpdateMenuState();
      return false;
    case WM_DROPFILES: {
      char path[MAX_PATH] = "";
      HDROP drop = reinterpret_cast<HDROP>(wp);
      const UINT n = DragQueryFileA(drop, 0, path, sizeof path);
      DragFinish(drop);
      if (n) LoadPacketFile(path);
      return true;
    }
    case WM_ACTIVATE: {
      // Leaving for another window (the Find dialog, another program) keeps
      // the focused pane; coming back returns to it, where the default
      // handling would focus the frame and leave the keys to the list.
      HWND focus = GetFocus();
      if (LOWORD(wp) == WA_INACTIVE) {
        if (focus && IsChild(hwnd_, focus)) savedFocus_ = focus;
        return false;
      }
      if (HIWORD(wp) || !savedFocus_ || !IsWindow(savedFocus_)) return false;
      SetFocus(savedFocus_);
      *result = 0;
      return true;
    }
    case WM_ACTIVATEAPP:
      if (wp) PostMessageA(hwnd_, WM_PK_RESTORE_FOCUS, 0, 0);
      return false;
    case WM_PK_RESTORE_FOCUS:
      if (savedFocus_ && IsWindow(savedFocus_)) SetFocus(savedFocus_);
      return true;
    case WM_PK_SELECTION:
      selectionPending_ = false;
      RefreshLowerPane();
      UpdateStatus();
      UpdateMenuState();
      return true;
    case WM_PK_PACKET_COUNT: {
      char text[64];
      snprintf(text, sizeof text, GetString(15), engine_.packetCount);
      SetStatus(text);
      engine_.statusPending = true;
      return true;
    }
    case WM_PK_REFRESH:
      table_.ParseDisplayFilter();
      RefreshRows(false);
      UpdateStatus();
      UpdateMenuState();
      return true;
    case WM_PK_LAYOUT:
      Layout();
      return true;
    case WM_PK_START_CAPTURE:
      StartCapture();
      return true;
    case WM_PK_WRITE_ERROR: {
      // The packet file is full: what follows would be lost, so the capture stops.
      const std::string msg = std::string(file_.name()) + ": " + file_.writeError();
      if (engine_.running) StopCapture();
      MessageBoxA(hwnd_, msg.c_str(), "Error", MB_ICONWARNING);
      return true;
    }
    case WM_PK_DEVICE_ERROR:
      if (!engine_.running) {
        StopCapture();
        SetStatus(GetString(30));
      }
      return true;
    case WM_PK_TRAY:
      if (lp == WM_LBUTTONDBLCLK) {
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd_);
      } else if (lp == WM_RBUTTONUP || lp == WM_CONTEXTMENU) {
        POINT pt;
        GetCursorPos(&pt);
        UpdateMenuState();
        SetForegroundWindow(hwnd_);
        TrackPopupMenu(GetSubMenu(trayMenu_, 0), TPM_BOTTOMALIGN, pt.x, pt.y, 0, hwnd_, nullptr);
      }
      return true;
    case WM_SETCURSOR: {
      POINT pt;
      GetCursorPos(&pt);
      ScreenToClient(hwnd_, &pt);
      if (reinterpret_cast<HWND>(wp) == hwnd_ && OverSplitter(pt.y)) {
        SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32645)));  // north-south
        *result = TRUE;
        return true;
      }
      return false;
    }
    case WM_LBUTTONDOWN: {
      const int y = short(HIWORD(lp));
      if (OverSplitter(y)) {
        SetCapture(hwnd_);
        dragging_ = true;
        dragY_ = y;
        DrawSplitBar(dragY_);
      }
      return true;
    }
    case WM_MOUSEMOVE:
      if (dragging_) {
        DrawSplitBar(dragY_);
        dragY_ = short(HIWORD(lp));
        DrawSplitBar(dragY_);
      }
      return true;
    case WM_LBUTTONUP:
      if (dragging_) {
        DrawSplitBar(dragY_);
        ReleaseCapture();
        dragging_ = false;
        RECT rc, tr, sr;
        GetClientRect(hwnd_, &rc);
        GetWindowRect(toolbar_, &tr);
        GetWindowRect(status_, &sr);
        const int top = tr.bottom - tr.top;
        int avail = rc.bottom - (sr.bottom - sr.top) - top;
        if (avail <= 0) avail = 1;
        options_.SplitLoc = Clamp(int(int64_t(short(HIWORD(lp)) - top) * 32767 / avail), 2000, 30000);
        PostMessageA(hwnd_, WM_PK_LAYOUT, 0, 0);
      }
      return true;
    default:
      return false;
  }
}
