#include "app/advanced_options_win32.h"

#include <commdlg.h>

#include <cstdio>
#include <cstdlib>

#include "base/language_win32.h"
#include "base/window_win32.h"
#include "resource.h"

namespace {

struct AdvancedData {
  Options copy;
  bool filling = false;
};

const struct {
  int id;
  int32_t Options::*field;
} kChecks[] = {
    {IDC_ADV_LIVE, &Options::LiveMode},
    {IDC_ADV_LIVE_CONTENT, &Options::LiveModeDisplayContent},
    {IDC_ADV_PROCESS, &Options::GetProcessInfo},
    {IDC_ADV_STATONLY, &Options::StatOnly},
    {IDC_ADV_ACTIVE, &Options::ShowOnlyActiveConnections},
    {IDC_ADV_SUMMARY, &Options::SummaryMode},
    {IDC_ADV_IPV6, &Options::CaptureIPv6},
    {IDC_ADV_HEXCHARS, &Options::HexDumpDisplayChars},
    {IDC_ADV_HEXCOUNTER, &Options::HexDumpDisplayCounter},
};
const struct {
  int id;
  int32_t Options::*field;
} kNumbers[] = {
    {IDC_ADV_PERLINE, &Options::HexDumpCharsPerLine},
    {IDC_ADV_SPACE, &Options::HexDumpCharsSpc},
    {IDC_ADV_AUTOCHECK, &Options::AutoModeCharsToCheck},
    {IDC_ADV_HEXMAX, &Options::HexDumpMaxSize},
    {IDC_ADV_MAXDISPLAY, &Options::MaxDataSizeDisplay},
};
const struct {
  int edit, button;
  int32_t Options::*field;
} kColors[] = {
    {IDC_ADV_COLOR_LOCAL, IDC_ADV_SELECT_LOCAL, &Options::ForeColorLocal},
    {IDC_ADV_COLOR_REMOTE, IDC_ADV_SELECT_REMOTE, &Options::ForeColorRemote},
    {IDC_ADV_COLOR_TIME, IDC_ADV_SELECT_TIME, &Options::ForeColorTime},
};

void Write(HWND dlg, AdvancedData& d) {
  d.filling = true;
  for (const auto& c : kChecks) CheckDlgButton(dlg, c.id, d.copy.*c.field ? BST_CHECKED : BST_UNCHECKED);
  for (const auto& n : kNumbers) SetDlgItemInt(dlg, n.id, UINT(d.copy.*n.field), TRUE);
  SetDlgItemTextA(dlg, IDC_ADV_NONDISPLAY, d.copy.NonDisplayChar);
  for (const auto& c : kColors) {
    char hex[16];
    snprintf(hex, sizeof hex, "%6.6X", unsigned(d.copy.*c.field) & 0xFFFFFF);
    SetDlgItemTextA(dlg, c.edit, hex);
  }
  EnableWindow(GetDlgItem(dlg, IDC_ADV_LIVE_CONTENT), IsDlgButtonChecked(dlg, IDC_ADV_LIVE) == BST_CHECKED);
  d.filling = false;
}

void Read(HWND dlg, AdvancedData& d) {
  for (const auto& c : kChecks) d.copy.*c.field = IsDlgButtonChecked(dlg, c.id) == BST_CHECKED;
  for (const auto& n : kNumbers) d.copy.*n.field = int32_t(GetDlgItemInt(dlg, n.id, nullptr, TRUE));
  GetDlgItemTextA(dlg, IDC_ADV_NONDISPLAY, d.copy.NonDisplayChar, sizeof d.copy.NonDisplayChar);
  for (const auto& c : kColors) {
    char hex[16] = "";
    GetDlgItemTextA(dlg, c.edit, hex, sizeof hex);
    d.copy.*c.field = int32_t(strtoul(hex, nullptr, 16));
  }
}

INT_PTR CALLBACK AdvancedProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* d = reinterpret_cast<AdvancedData*>(GetWindowLongPtrA(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG: {
      d = reinterpret_cast<AdvancedData*>(lp);
      SetWindowLongPtrA(dlg, DWLP_USER, lp);
      TranslateDialog(dlg, IDD_ADVANCED);
      for (int id : {IDC_ADV_PERLINE, IDC_ADV_SPACE}) {
        for (const char* v : {"4", "8", "16", "32", "64"})
          SendDlgItemMessageA(dlg, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(v));
        SendDlgItemMessageA(dlg, id, CB_LIMITTEXT, 3, 0);
      }
      SendDlgItemMessageA(dlg, IDC_ADV_AUTOCHECK, EM_LIMITTEXT, 4, 0);
      SendDlgItemMessageA(dlg, IDC_ADV_NONDISPLAY, EM_LIMITTEXT, 1, 0);
      for (const auto& c : kColors) SendDlgItemMessageA(dlg, c.edit, EM_LIMITTEXT, 6, 0);
      Write(dlg, *d);
      SetFocus(GetDlgItem(dlg, IDC_ADV_LIVE));
      ApplyRightToLeft(dlg, 3);
      return FALSE;
    }
    case WM_CTLCOLOREDIT:
      for (const auto& c : kColors)
        if (reinterpret_cast<HWND>(lp) == GetDlgItem(dlg, c.edit)) {
          SetTextColor(reinterpret_cast<HDC>(wp), COLORREF(d->copy.*c.field));
          return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
        }
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wp), code = HIWORD(wp);
      if (!d || d->filling) return FALSE;
      if (id == IDC_ADV_SUMMARY && IsDlgButtonChecked(dlg, id) == BST_CHECKED)
        CheckDlgButton(dlg, IDC_ADV_STATONLY, BST_CHECKED);
      if (id == IDC_ADV_STATONLY && IsDlgButtonChecked(dlg, id) != BST_CHECKED)
        CheckDlgButton(dlg, IDC_ADV_SUMMARY, BST_UNCHECKED);
      if (id == IDC_ADV_LIVE)
        EnableWindow(GetDlgItem(dlg, IDC_ADV_LIVE_CONTENT), IsDlgButtonChecked(dlg, id) == BST_CHECKED);
      if (code == EN_KILLFOCUS || code == CBN_KILLFOCUS) {
        Read(dlg, *d);
        Write(dlg, *d);
        return TRUE;
      }
      for (const auto& c : kColors)
        if (id == c.button) {
          Read(dlg, *d);
          static COLORREF custom[16];
          CHOOSECOLORA cc{};
          cc.lStructSize = sizeof cc;
          cc.hwndOwner = dlg;
          cc.rgbResult = COLORREF(d->copy.*c.field);
          cc.lpCustColors = custom;
          cc.Flags = CC_RGBINIT | CC_FULLOPEN | CC_SOLIDCOLOR | CC_ANYCOLOR;
          if (ChooseColorA(&cc)) d->copy.*c.field = int32_t(cc.rgbResult);
          Write(dlg, *d);
          return TRUE;
        }
      if (id == IDOK) {
        Read(dlg, *d);
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (id == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedAdvancedProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(AdvancedProc, dlg, msg, wp, lp);
}

}  // namespace

bool ShowAdvancedOptions(HWND owner, Options& options) {
  AdvancedData d{options};
  if (DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ADVANCED), owner, GuardedAdvancedProc,
                      reinterpret_cast<LPARAM>(&d)) != IDOK)
    return false;
  options = d.copy;
  return true;
}
