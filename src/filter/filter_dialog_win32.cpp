#include "filter/filter_dialog_win32.h"

#include <vector>

#include "base/language_win32.h"
#include "base/strings.h"
#include "base/window_win32.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK FilterProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* d = reinterpret_cast<FilterDialogData*>(GetWindowLongPtrA(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      d = reinterpret_cast<FilterDialogData*>(lp);
      SetWindowLongPtrA(dlg, DWLP_USER, lp);
      TranslateDialog(dlg, IDD_FILTER);
      SetWindowTextA(dlg, GetString(d->titleString));
      SetDlgItemTextA(dlg, IDC_FILTER_EXAMPLES,
                      "include:remote:tcp:80\r\ninclude:both:udp:53-139   exclude:remote:all:[::1]\r\n"
                      "exclude:both:tcpudp:192.168.0.1-192.168.0.100");
      SetDlgItemTextA(dlg, IDC_FILTER_TEXT, d->text.c_str());
      SetFocus(GetDlgItem(dlg, IDC_FILTER_TEXT));
      ApplyRightToLeft(dlg, 3);
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK: {
          HWND edit = GetDlgItem(dlg, IDC_FILTER_TEXT);
          std::vector<char> buf(size_t(GetWindowTextLengthA(edit)) + 1);
          GetWindowTextA(edit, buf.data(), int(buf.size()));
          d->text = buf.data();
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
        case IDC_FILTER_CLEAR:
          SetDlgItemTextA(dlg, IDC_FILTER_TEXT, "");
          return TRUE;
      }
      break;
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedFilterProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(FilterProc, dlg, msg, wp, lp);
}

}  // namespace

bool ShowFilterDialog(HWND owner, FilterDialogData& data) {
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_FILTER), owner, GuardedFilterProc,
                         reinterpret_cast<LPARAM>(&data)) == IDOK;
}
