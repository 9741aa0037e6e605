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
#include "base/language_win32.h"
#include "base/strings.h"
#include "capture/columns.h"
#include "enrich/enrichment_win32.h"
#include "capture/packet_sniffer_win32.h"
#include "capture/pcap_library_win32.h"
#include "filter/filter_dialog_win32.h"
#include "resource.h"

namespace {

constexpr int kSplitBar = 4;

struct ToolButton {
  int image;
  int command;
};
const ToolButton kToolButtons[] = {
    {5, IDM_START}, {6, IDM_STOP},  {10, IDM_RESTART},     {-1, 0},     {7, IDM_NEXT},  {8, IDM_PREVIOUS},
    {-1, 0},        {9, IDM_HTML_REPORT}, {1, IDM_SAVE_PACKETS}, {2, IDM_COPY}, {3, IDM_PROPERTIES}, {4, IDM_EXIT},
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
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_OWNERDATA, 0, 0, 0, 0, hwnd_,
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

bool MainWindow::StoredPlacement(WINDOWPLACEMENT* wp) const {
  if (!options_.WinPosValid) return false;
  memcpy(wp, options_.WinPos, sizeof *wp);
  const RECT& r = wp->rcNormalPosition;
  int sx = GetSystemMetrics(SM_XVIRTUALSCREEN), sy = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int sw = GetSystemMetrics(SM_CXVIRTUALSCREEN), sh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (!sw || !sh) {
    sx = sy = 0;
    sw = GetSystemMetrics(SM_CXSCREEN);
    sh = GetSystemMetrics(SM_CYSCREEN);
  }
  return r.right - r.left > 20 && r.bottom - r.top > 20 && r.right > sx + 5 && r.top >= sy - 10 &&
         r.left + 20 < sx + sw && r.top + 20 < sy + sh && wp->showCmd != 0;
}

void MainWindow::ApplyWindowPlacement() {
  WINDOWPLACEMENT wp;
  if (!StoredPlacement(&wp)) return;
  const RECT& r = wp.rcNormalPosition;
  SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
}

// ---------------------------------------------------------------------------
// Capture control

// ---------------------------------------------------------------------------
// The list


bool MainWindow::PreTranslate(MSG* m) {
  if (!hwnd_) return false;
  // Keys typed into the Find dialog are its own, not the list's shortcuts.
  const bool inFind = findDialog_ && (m->hwnd == findDialog_ || IsChild(findDialog_, m->hwnd));
  if (!inFind && accel_ && TranslateAcceleratorA(hwnd_, accel_, m)) return true;
  if (findDialog_ && IsDialogMessageA(findDialog_, m)) return true;
  return IsDialogMessageA(hwnd_, m) != FALSE;
}

// ---------------------------------------------------------------------------
// Layout, menus, status, tray

void MainWindow::Layout() {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  SendMessageA(toolbar_, TB_AUTOSIZE, 0, 0);
  SendMessageA(status_, WM_SIZE, 0, 0);
  InvalidateRect(status_, nullptr, TRUE);  // or the size grip stays drawn where the edge was
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
  enable(IDM_LOAD_CONFIG, !running);  // a capture reads its options for every packet
  for (int id : {IDM_START, IDM_CAPTURE_OPTIONS, IDM_CAPTURE_FILTER, IDM_ADVANCED}) enable(id, !running);
  for (int id : {IDM_STOP, IDM_CAPTURE_ACTIVE, IDM_RESTART}) enable(id, running);
  for (int id : {IDM_NEXT, IDM_PREVIOUS, IDM_AUTOSIZE, IDM_AUTOSIZE_HEADERS, IDM_SELECT_ALL, IDM_DESELECT_ALL})
    enable(id, rows > 0);
  if (importing_) {
    // Stop ends an import; nothing else may start meanwhile.
    for (int id : {IDM_START, IDM_LOAD_PACKETS, IDM_SAVE_PACKETS, IDM_LOAD_CONFIG}) enable(id, false);
    enable(IDM_STOP, true);
  }
  for (HMENU m : {menu_, contextMenu_})
    if (m)
      CheckMenuRadioItem(m, IDM_MODE_AUTO, IDM_MODE_URLS, UINT(41100 + Clamp(options_.DisplayMode, 1, 4)),
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
  if (exiting_) return;  // the window is going: nothing may start now
  switch (id) {
    case IDM_SAVE_PACKETS: SavePacketData(); break;
    case IDM_LOAD_PACKETS: LoadPacketData(); break;
    case IDM_SAVE_SUMMARIES: SaveSummaries(); break;
    case IDM_SAVE_CONFIG: SaveConfiguration(); break;
    case IDM_LOAD_CONFIG:
      if (!engine_.running) LoadConfiguration();
      break;
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
        const size_t idx = RowConversation(di->item.iItem);
        if ((di->item.mask & LVIF_TEXT) && idx < table_.count()) {
          static char buf[kColumnTextSize];
          const ColumnContext ctx = TextContext();
          const int id = di->item.iSubItem < kColumnCount ? kColumns[di->item.iSubItem].id : -1;
          const char* text = ColumnText(table_.at(idx), id, buf, ctx);
          snprintf(di->item.pszText, size_t(di->item.cchTextMax), "%s", text);
        }
        return 0;
      }
      case LVN_ODFINDITEMA:
        return FindRowByPrefix(reinterpret_cast<NMLVFINDITEMA*>(hdr));
      case LVN_ODSTATECHANGED: {
        auto* nm = reinterpret_cast<NMLVODSTATECHANGE*>(hdr);
        if (!sorting_ && ((nm->uNewState ^ nm->uOldState) & LVIS_SELECTED) && !selectionPending_) {
          selectionPending_ = true;
          PostMessageA(hwnd_, WM_PK_SELECTION, 0, 0);
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
    const bool empty = rows_.empty();
    RefreshRows(false);
    if (empty != rows_.empty()) UpdateMenuState();  // the buttons that need rows
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

ColumnContext MainWindow::TextContext() const {
  return {options_, enrich_ ? enrich_->processes() : nullptr, &table_.addresses()};
}

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
  // A restarted taskbar has lost the icon: without it a window hidden in
  // the tray could not be brought back.
  static const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  if (msg == taskbarCreated && taskbarCreated && trayShown_) {
    trayShown_ = false;
    ShowTray(true);
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
      if (n && !exiting_) LoadPacketFile(path);
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
      // The import's message loop must not move the packet file's reader.
      if (importing_) return true;
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
      if (!exiting_) StartCapture();
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
      } else if ((lp == WM_RBUTTONUP || lp == WM_CONTEXTMENU) && IsWindowEnabled(hwnd_)) {
        // Not under a dialog: its command (Start Capture under Save, say)
        // would change what the dialog's caller goes on to use.
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
