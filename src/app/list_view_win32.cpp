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
  // A stored layout: widths and display order by column, as exports read it.
  int order[kColumnCount], width[kColumnCount];
  if (!StoredColumnLayout(options_, order, width)) return;
  for (int col = 0; col < kColumnCount; col++) ListView_SetColumnWidth(list_, col, width[col]);
  ListView_SetColumnOrderArray(list_, kColumnCount, order);
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
  rows_.clear();
  hasRow_.clear();
  ListView_SetItemCountEx(list_, 0, 0);
}

// Some list controls repaint each row whose state changes, which with
// millions of rows takes minutes: while the list is frozen they repaint
// once, when it thaws.
void MainWindow::FreezeList(bool frozen) {
  SendMessageA(list_, WM_SETREDRAW, frozen ? FALSE : TRUE, 0);
  if (!frozen) InvalidateRect(list_, nullptr, FALSE);
}

void MainWindow::SetAllRowsState(UINT state, UINT mask) {
  FreezeList(true);
  ListView_SetItemState(list_, -1, state, mask);
  FreezeList(false);
}

// A change of every row's state (row -1) costs some list controls a
// notification per row, seconds with millions of rows: only the rows that
// have a state are changed, unless there are many.
void MainWindow::ClearListSelection() {
  constexpr UINT kRowByRow = 4096;
  const UINT selected = ListView_GetSelectedCount(list_);
  if (selected > kRowByRow) {
    SetAllRowsState(0, LVIS_SELECTED | LVIS_FOCUSED);
    return;
  }
  if (selected)
    for (int r = -1; (r = ListView_GetNextItem(list_, r, LVNI_SELECTED)) >= 0;)
      ListView_SetItemState(list_, r, 0, LVIS_SELECTED);
  const int focused = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
  if (focused >= 0) ListView_SetItemState(list_, focused, 0, LVIS_FOCUSED);
}

void MainWindow::RefreshRows(bool all) {
  hasRow_.resize(table_.count(), 0);
  // Rows whose conversation is no longer shown go; the selection stays with
  // the conversations, since the control keeps it by position.
  bool hiding = false;
  for (uint32_t idx : rows_) hiding = hiding || !table_.IsVisible(table_.at(idx));
  if (hiding) {
    const std::vector<size_t> selected = SelectedRows();
    const size_t focused = RowConversation(ListView_GetNextItem(list_, -1, LVNI_FOCUSED));
    size_t kept = 0;
    for (uint32_t idx : rows_) {
      if (table_.IsVisible(table_.at(idx))) rows_[kept++] = idx;
      else hasRow_[idx] = 0;
    }
    rows_.resize(kept);
    ListView_SetItemCountEx(list_, int(rows_.size()), LVSICF_NOSCROLL);
    SelectConversations(selected, focused);
    // A selected conversation that went leaves the lower pane behind it.
    bool lost = false;
    for (size_t idx : selected) lost = lost || !hasRow_[idx];
    if (lost && !selectionPending_) {
      selectionPending_ = true;
      PostMessageA(hwnd_, WM_PK_SELECTION, 0, 0);
    }
  }
  for (size_t pos = 0; pos < rows_.size(); pos++) {
    Conversation& c = table_.at(rows_[pos]);
    if (all || !(c.flags & kRowTextCurrent)) {
      c.flags |= kRowTextCurrent;
      if (!all) ListView_RedrawItems(list_, int(pos), int(pos));
    }
  }
  const size_t before = rows_.size();
  for (size_t idx = 0; idx < table_.count(); idx++) {
    if (hasRow_[idx]) continue;
    Conversation& c = table_.at(idx);
    if (!table_.IsVisible(c)) continue;
    rows_.push_back(uint32_t(idx));
    hasRow_[idx] = 1;
    c.flags |= kRowTextCurrent;
  }
  if (rows_.size() != before) ListView_SetItemCountEx(list_, int(rows_.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (all || rows_.size() != before) InvalidateRect(list_, nullptr, FALSE);
}

void MainWindow::SelectConversations(const std::vector<size_t>& conversations, size_t focused) {
  const bool wasSorting = sorting_;
  sorting_ = true;  // the same conversations stay selected: nothing to tell the lower pane
  std::vector<uint8_t> chosen(table_.count(), 0);
  for (size_t idx : conversations)
    if (idx < chosen.size()) chosen[idx] = 1;
  size_t shown = 0;
  for (uint32_t idx : rows_) shown += chosen[idx];
  // Every row: one change of all (Select All of millions of rows, sorted),
  // or none when all are selected already and only the focus moves.
  const bool all = shown && shown == rows_.size();
  if (all && ListView_GetSelectedCount(list_) == rows_.size()) {
    const int was = ListView_GetNextItem(list_, -1, LVNI_FOCUSED);
    if (was >= 0) ListView_SetItemState(list_, was, 0, LVIS_FOCUSED);
    for (size_t pos = 0; pos < rows_.size(); pos++)
      if (rows_[pos] == focused) ListView_SetItemState(list_, int(pos), LVIS_FOCUSED, LVIS_FOCUSED);
    InvalidateRect(list_, nullptr, FALSE);
    sorting_ = wasSorting;
    return;
  }
  ClearListSelection();
  FreezeList(true);
  if (all) ListView_SetItemState(list_, -1, LVIS_SELECTED, LVIS_SELECTED);
  for (size_t pos = 0; pos < rows_.size(); pos++) {
    UINT state = chosen[rows_[pos]] && !all ? LVIS_SELECTED : 0;
    if (rows_[pos] == focused) state |= LVIS_FOCUSED;
    if (state) ListView_SetItemState(list_, int(pos), state, state);
  }
  FreezeList(false);
  sorting_ = wasSorting;
}

LRESULT MainWindow::FindRowByPrefix(const NMLVFINDITEMA* find) {
  if (!(find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find->lvfi.psz || rows_.empty()) return -1;
  const size_t len = strlen(find->lvfi.psz);
  const ColumnContext ctx = TextContext();
  char buf[kColumnTextSize];
  const int first = kColumns[0].id;
  const size_t n = rows_.size(), start = find->iStart >= 0 && size_t(find->iStart) < n ? size_t(find->iStart) : 0;
  for (size_t k = 0; k < n; k++) {
    const size_t pos = (start + k) % n;
    const char* text = ColumnText(table_.at(rows_[pos]), first, buf, ctx);
    if (_strnicmp(text, find->lvfi.psz, len) == 0 && ((find->lvfi.flags & LVFI_PARTIAL) || strlen(text) == len))
      return LRESULT(pos);
    if (!(find->lvfi.flags & LVFI_WRAP) && pos + 1 == n) break;
  }
  return -1;
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
  // All of them (Select All): without asking the control row by row.
  if (!rows_.empty() && ListView_GetSelectedCount(list_) == rows_.size()) {
    for (uint32_t idx : rows_)
      if (idx < table_.count()) rows.push_back(idx);
    return rows;
  }
  for (int i = ListView_GetNextItem(list_, -1, LVNI_SELECTED); i >= 0; i = ListView_GetNextItem(list_, i, LVNI_SELECTED))
    if (RowConversation(i) < table_.count()) rows.push_back(RowConversation(i));
  return rows;
}

std::vector<const Conversation*> MainWindow::SelectedConversationsLastFirst() {
  std::vector<const Conversation*> out;
  const std::vector<size_t> rows = SelectedRows();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) out.push_back(&table_.at(*it));
  return out;
}

void MainWindow::FindInRows(const char* text, DWORD flags) {
  const ColumnContext ctx = TextContext();
  const bool matchCase = (flags & FR_MATCHCASE) != 0;
  const int row = FindRow(ListView_GetItemCount(list_), ListView_GetNextItem(list_, -1, LVNI_SELECTED),
                          (flags & FR_DOWN) != 0, [&](int r) {
                            const size_t idx = RowConversation(r);
                            return idx < table_.count() && RowContainsText(table_.at(idx), text, matchCase, ctx);
                          });
  if (row < 0) return;
  ClearListSelection();
  ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_EnsureVisible(list_, row, FALSE);
}

void MainWindow::SelectAll(bool on) {
  if (GetFocus() == lower_) {
    SendMessageA(lower_, EM_SETSEL, on ? 0 : WPARAM(-1), on ? -1 : 0);
    return;
  }
  SetAllRowsState(on ? LVIS_SELECTED : 0, LVIS_SELECTED);
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
  // The text is made twice, measured and then written straight into the
  // clipboard's block: millions of rows must not be held twice in a
  // 32-bit process.
  const std::vector<int> cols = ExportColumns();
  const ColumnContext ctx = TextContext();
  const std::vector<size_t> rows = SelectedRows();
  const auto row = [&](size_t i) -> const Conversation& { return table_.at(rows[i]); };
  std::string title;
  if (options_.AddExportHeaderLine) AppendTitleLine(title, kFormatTabDelimited, cols);
  size_t size = title.size();
  const bool measured = MakeTabRows(rows.size(), row, cols, ctx, [&](const char*, size_t n) {
    return (size += n) < (size_t(1) << 31);  // no block of 2 GiB in this process
  });
  HGLOBAL mem = measured ? GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, size + 1) : nullptr;
  char* const text = mem ? static_cast<char*>(GlobalLock(mem)) : nullptr;
  if (!text) {
    if (mem) GlobalFree(mem);
    ShowSystemError(hwnd_, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  memcpy(text, title.data(), title.size());
  size_t used = title.size();
  const bool made = MakeTabRows(rows.size(), row, cols, ctx, [&](const char* data, size_t n) {
    if (n > size - used) return false;
    memcpy(text + used, data, n);
    used += n;
    return true;
  });
  text[used] = 0;
  GlobalUnlock(mem);
  bool ok = false;
  DWORD code = made ? 0 : ERROR_NOT_ENOUGH_MEMORY;
  if (made && used == size && OpenClipboard(hwnd_)) {
    EmptyClipboard();
    ok = SetClipboardData(CF_TEXT, mem) != nullptr;
    if (!ok) code = GetLastError();  // before the calls below change it
    CloseClipboard();
  } else if (made) {
    code = GetLastError();
  }
  if (!ok) {
    GlobalFree(mem);
    ShowSystemError(hwnd_, code);
  }
}
