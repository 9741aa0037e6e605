// The main window's list tools: sorting by header clicks, moving the
// selection, Properties, Column Settings, the lower pane's menu and the
// hand-off of addresses to the IP-information tool.
#include "app/main_window_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include "app/column_settings_dialog_win32.h"
#include "app/properties_dialog_win32.h"
#include "base/strings.h"
#include "resource.h"

namespace {
const char kToolClass[] = "Toveral_Quorvex";
const char kToolFile[] = "Quorvex.exe";
}  // namespace

void MainWindow::OnColumnClick(int column) {
  if (column < 0 || column >= kColumnCount) return;
  sort_.Click(kColumns[column].id, GetKeyState(VK_SHIFT) < 0);
  options_.Sort = sort_.primary();
  SortList();
}

void MainWindow::SortList() {
  std::vector<const Conversation*> rows;
  rows.reserve(rows_.size());
  for (uint32_t idx : rows_) rows.push_back(&table_.at(idx));
  const ColumnContext ctx = TextContext();
  const std::vector<uint32_t> order = SortOrder(rows, sort_.keys(), ctx);
  // The same rows with the same selection, only in another order: no
  // selection change reaches the lower pane.
  const std::vector<size_t> selected = SelectedRows();
  const size_t focused = RowConversation(ListView_GetNextItem(list_, -1, LVNI_FOCUSED));
  std::vector<uint32_t> sorted(rows_.size());
  for (size_t i = 0; i < rows_.size(); i++) sorted[i] = rows_[order[i]];
  rows_.swap(sorted);
  SelectConversations(selected, focused);
  const int focusedRow = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
  if (focusedRow >= 0) ListView_EnsureVisible(list_, focusedRow, FALSE);
  InvalidateRect(list_, nullptr, FALSE);
  ShowSortArrow();
}

void MainWindow::ShowSortArrow() {
  HWND header = ListView_GetHeader(list_);
  const int primary = sort_.primary();
  for (int c = 0; c < kColumnCount; c++) {
    HDITEMA item{};
    item.mask = HDI_FORMAT;
    if (!Header_GetItem(header, c, &item)) continue;
    item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
    if (kColumns[c].id == (primary & kSortColumnMask)) item.fmt |= primary & kSortDescending ? HDF_SORTDOWN : HDF_SORTUP;
    Header_SetItem(header, c, &item);
  }
}

void MainWindow::MoveSelection(int delta) {
  const int row = MoveTarget(ListView_GetItemCount(list_), ListView_GetNextItem(list_, -1, LVNI_SELECTED), delta);
  if (row < 0) return;
  ClearListSelection();
  ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_EnsureVisible(list_, row, FALSE);
}

void MainWindow::ShowProperties() {
  const std::vector<size_t> rows = SelectedRows();
  if (rows.size() != 1) return;
  const Conversation& c = table_.at(rows[0]);
  const ColumnContext ctx = TextContext();
  PropertiesData data;
  char buf[kColumnTextSize];
  for (const ColumnDef& d : kColumns) data.fields.emplace_back(GetString(d.titleString), ColumnText(c, d.id, buf, ctx));
  ShowPropertiesDialog(hwnd_, data);
}

ColumnLayout MainWindow::ReadLayout() const {
  ColumnLayout l = DefaultColumnLayout();
  int order[kColumnCount];
  if (ListView_GetColumnOrderArray(list_, kColumnCount, order))
    for (int p = 0; p < kColumnCount; p++)
      if (order[p] >= 0 && order[p] < kColumnCount) l[size_t(order[p])].position = int16_t(p);
  for (int c = 0; c < kColumnCount; c++) l[size_t(c)].width = int16_t(ListView_GetColumnWidth(list_, c));
  return l;
}

void MainWindow::ApplyLayout(const ColumnLayout& l) {
  if (!LayoutApplicable(l)) return;
  int order[kColumnCount];
  for (int c = 0; c < kColumnCount; c++) order[c] = c;
  std::stable_sort(order, order + kColumnCount, [&](int a, int b) { return l[size_t(a)].position < l[size_t(b)].position; });
  ListView_SetColumnOrderArray(list_, kColumnCount, order);
  for (int c = 0; c < kColumnCount; c++)
    if (l[size_t(c)].width >= 0 && l[size_t(c)].width < 2000) ListView_SetColumnWidth(list_, c, l[size_t(c)].width);
  InvalidateRect(list_, nullptr, TRUE);
}

void MainWindow::ChooseColumns() {
  ColumnSettingsData data{ReadLayout()};
  if (ShowColumnSettingsDialog(hwnd_, data)) ApplyLayout(data.layout);
}

void MainWindow::ApplyProcessColumns() {
  ColumnLayout l = ReadLayout();
  if (ApplyProcessColumnsRule(l, options_.GetProcessInfo != 0)) ApplyLayout(l);
}

void MainWindow::FindHandOffTool() {
  char path[MAX_PATH] = "";
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p(path, n < sizeof path ? n : 0);
  p = p.substr(0, p.find_last_of('\\') + 1) + kToolFile;
  const DWORD attr = GetFileAttributesA(p.c_str());
  toolPath_ = attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY) ? p : "";
}

bool MainWindow::HandOffAvailable() const {
  return !toolPath_.empty() || FindWindowA(kToolClass, nullptr) != nullptr;
}

void MainWindow::HandOff() {
  std::vector<const Conversation*> rows;
  for (size_t idx : SelectedRows()) rows.push_back(&table_.at(idx));
  handOffText_ = HandOffText(rows, &table_.addresses());
  HWND tool = FindWindowA(kToolClass, nullptr);
  if (!tool && !toolPath_.empty()) {
    std::string command = "\"" + toolPath_ + "\" /nodlgstart";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    Sleep(100);
    tool = FindWindowA(kToolClass, nullptr);
  }
  if (!tool) return;
  // The tool reads the text out of this process while it handles 1281.
  // Bounded: a tool that hangs must not hang this window (and its capture).
  DWORD_PTR answer;
  if (SendMessageTimeoutA(tool, WM_QUORVEX_PROCESS, 0, LPARAM(GetCurrentProcessId()), SMTO_ABORTIFHUNG, 5000, &answer))
    SendMessageTimeoutA(tool, WM_QUORVEX_TEXT, WPARAM(handOffText_.size()),
                        reinterpret_cast<LPARAM>(handOffText_.c_str()), SMTO_ABORTIFHUNG, 5000, &answer);
}

void MainWindow::OpenPaneMenu(int x, int y) {
  if (x == -1 && y == -1) {  // from the keyboard: near the pane's corner
    RECT r;
    GetWindowRect(lower_, &r);
    x = r.left + 10;
    y = r.top + 10;
  }
  UpdateMenuState();
  TrackPopupMenu(GetSubMenu(contextMenu_, 1), TPM_RIGHTBUTTON, x, y, 0, hwnd_, nullptr);
}
