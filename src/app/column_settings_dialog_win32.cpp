#include "app/column_settings_dialog_win32.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>

#include "base/strings.h"
#include "base/language_win32.h"
#include "base/window_win32.h"
#include "resource.h"

namespace {

struct State {
  ColumnSettingsData* data;
  ColumnSettings settings;
  HWND list = nullptr;
  HIMAGELIST checks = nullptr;
  bool filling = false;
};

State* Get(HWND dlg) { return reinterpret_cast<State*>(GetWindowLongPtrA(dlg, DWLP_USER)); }

std::vector<bool> Selected(const State& s) {
  std::vector<bool> sel(s.settings.rows().size());
  for (size_t r = 0; r < sel.size(); r++) sel[r] = ListView_GetItemState(s.list, int(r), LVIS_SELECTED) != 0;
  return sel;
}

int FirstSelected(const State& s) { return ListView_GetNextItem(s.list, -1, LVNI_SELECTED); }

void ShowCheck(const State& s, int row) {
  ListView_SetItemState(s.list, row, INDEXTOSTATEIMAGEMASK(s.settings.rows()[size_t(row)].checked ? 2 : 1),
                        LVIS_STATEIMAGEMASK);
}

void UpdateButtons(HWND dlg, State& s) {
  const int row = FirstSelected(s);
  const bool any = row >= 0;
  const bool checked = any && s.settings.rows()[size_t(row)].checked;
  EnableWindow(GetDlgItem(dlg, IDC_COLSET_UP), any && s.settings.CanMoveUp(row));
  EnableWindow(GetDlgItem(dlg, IDC_COLSET_DOWN), any && s.settings.CanMoveDown(row));
  EnableWindow(GetDlgItem(dlg, IDC_COLSET_SHOW), any && !checked);
  EnableWindow(GetDlgItem(dlg, IDC_COLSET_HIDE), any && checked);
  EnableWindow(GetDlgItem(dlg, IDC_COLSET_WIDTH), any);
  // Show or Hide greys itself once pressed: the keys go back to the rows.
  HWND focus = GetFocus();
  if (focus && IsChild(dlg, focus) && !IsWindowEnabled(focus)) SetFocus(s.list);
  s.filling = true;
  char text[16] = "";
  if (any) snprintf(text, sizeof text, "%d", s.settings.rows()[size_t(row)].width);
  SetDlgItemTextA(dlg, IDC_COLSET_WIDTH, text);
  s.filling = false;
}

void Fill(HWND dlg, State& s, const std::vector<bool>& selected) {
  s.filling = true;
  SendMessageA(s.list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(s.list);
  const auto& rows = s.settings.rows();
  for (size_t r = 0; r < rows.size(); r++) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = int(r);
    item.pszText = const_cast<char*>(GetString(kColumns[rows[r].column].titleString));
    ListView_InsertItem(s.list, &item);
    ShowCheck(s, int(r));
    if (r < selected.size() && selected[r]) ListView_SetItemState(s.list, int(r), LVIS_SELECTED, LVIS_SELECTED);
  }
  for (size_t r = 0; r < selected.size(); r++)
    if (selected[r]) {
      ListView_SetItemState(s.list, int(r), LVIS_FOCUSED, LVIS_FOCUSED);
      ListView_EnsureVisible(s.list, int(r), FALSE);
      break;
    }
  SendMessageA(s.list, WM_SETREDRAW, TRUE, 0);
  s.filling = false;
  UpdateButtons(dlg, s);
}

void Toggle(HWND dlg, State& s, int row) {
  if (row < 0 || row >= int(s.settings.rows().size())) return;
  s.settings.Toggle(row);
  ShowCheck(s, row);
  UpdateButtons(dlg, s);
}

INT_PTR CALLBACK ColumnSettingsProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  State* s = Get(dlg);
  switch (msg) {
    case WM_INITDIALOG: {
      auto* data = reinterpret_cast<ColumnSettingsData*>(lp);
      TranslateDialog(dlg, IDD_COLUMN_SETTINGS);
      s = new State{data, ColumnSettings(data->layout)};
      SetWindowLongPtrA(dlg, DWLP_USER, reinterpret_cast<LONG_PTR>(s));
      s->list = GetDlgItem(dlg, IDC_COLSET_LIST);
      ListView_SetExtendedListViewStyle(s->list, LVS_EX_FULLROWSELECT);
      HINSTANCE inst = GetModuleHandleA(nullptr);
      s->checks = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 2, 0);
      for (int icon : {IDI_UNCHECKED, IDI_CHECKED}) {
        HICON h = static_cast<HICON>(LoadImageA(inst, MAKEINTRESOURCEA(icon), IMAGE_ICON, 16, 16, 0));
        ImageList_AddIcon(s->checks, h);  // a copy: the loaded icon is ours to free
        if (h) DestroyIcon(h);
      }
      ListView_SetImageList(s->list, s->checks, LVSIL_STATE);
      RECT rc;
      GetClientRect(s->list, &rc);
      LVCOLUMNA col{};
      col.mask = LVCF_WIDTH;
      col.cx = rc.right - GetSystemMetrics(SM_CXVSCROLL);
      ListView_InsertColumn(s->list, 0, &col);
      SendDlgItemMessageA(dlg, IDC_COLSET_WIDTH, EM_LIMITTEXT, 3, 0);
      Fill(dlg, *s, {});
      ApplyRightToLeft(dlg, 3);
      return TRUE;
    }
    case WM_DESTROY:
      if (s) {
        ImageList_Destroy(s->checks);
        delete s;
        SetWindowLongPtrA(dlg, DWLP_USER, 0);
      }
      return FALSE;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (!s || hdr->idFrom != IDC_COLSET_LIST) return FALSE;
      if (hdr->code == LVN_ITEMCHANGED && !s->filling) {
        auto* nm = reinterpret_cast<NMLISTVIEW*>(hdr);
        if (nm->uChanged & LVIF_STATE) UpdateButtons(dlg, *s);
      } else if (hdr->code == NM_DBLCLK || hdr->code == NM_CLICK) {
        // A click on the box itself toggles it too; a double click toggles
        // once, so on the box its first click has done so already.
        LVHITTESTINFO hit{};
        hit.pt = reinterpret_cast<NMITEMACTIVATE*>(hdr)->ptAction;
        const bool onBox = ListView_HitTest(s->list, &hit) >= 0 && (hit.flags & LVHT_ONITEMSTATEICON);
        if (hdr->code == NM_CLICK && onBox) Toggle(dlg, *s, hit.iItem);
        if (hdr->code == NM_DBLCLK && !onBox) Toggle(dlg, *s, reinterpret_cast<NMITEMACTIVATE*>(hdr)->iItem);
      }
      return FALSE;
    }
    case WM_COMMAND: {
      if (!s) return FALSE;
      std::vector<bool> sel = Selected(*s);
      switch (LOWORD(wp)) {
        case IDC_COLSET_UP: s->settings.MoveUp(sel); Fill(dlg, *s, sel); return TRUE;
        case IDC_COLSET_DOWN: s->settings.MoveDown(sel); Fill(dlg, *s, sel); return TRUE;
        case IDC_COLSET_SHOW:
        case IDC_COLSET_HIDE:
          s->settings.SetChecked(sel, LOWORD(wp) == IDC_COLSET_SHOW);
          Fill(dlg, *s, sel);
          return TRUE;
        case IDC_COLSET_DEFAULT: s->settings.Defaults(); Fill(dlg, *s, {}); return TRUE;
        case IDC_COLSET_WIDTH:
          if (HIWORD(wp) == EN_CHANGE && !s->filling) {
            char text[8] = "";
            GetDlgItemTextA(dlg, IDC_COLSET_WIDTH, text, sizeof text);
            s->settings.TakeWidth(FirstSelected(*s), text);
          }
          return TRUE;
        case IDOK: s->data->layout = s->settings.Result(); EndDialog(dlg, IDOK); return TRUE;
        case IDCANCEL: EndDialog(dlg, IDCANCEL); return TRUE;
      }
      return FALSE;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedColumnSettingsProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(ColumnSettingsProc, dlg, msg, wp, lp);
}

}  // namespace

bool ShowColumnSettingsDialog(HWND owner, ColumnSettingsData& data) {
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_COLUMN_SETTINGS), owner,
                         GuardedColumnSettingsProc, reinterpret_cast<LPARAM>(&data)) == IDOK;
}
