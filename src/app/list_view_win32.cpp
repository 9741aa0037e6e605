// The upper list: columns, rows from the table, selection, copy and find.
#include "app/main_window_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/strings.h"
#include "capture/columns.h"
#include "export/summary_export.h"
#include "resource.h"

namespace {

void ShowFileError(HWND owner, DWORD code) {
  char sys[256] = "Unknown Error", msg[320];
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, sys, sizeof sys,
                 nullptr);
  snprintf(msg, sizeof msg, "Error %lu: %s", (unsigned long)code, sys);
  MessageBoxA(owner, msg, "Error", MB_ICONWARNING);
}

}  // namespace

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

void MainWindow::FindInRows(const char* text, DWORD flags) {
  ColumnContext ctx{options_, Processes(), &table_.addresses()};
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
  ColumnContext ctx{options_, Processes(), &table_.addresses()};
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
