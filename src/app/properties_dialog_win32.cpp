#include "app/properties_dialog_win32.h"

#include "base/language_win32.h"
#include "base/window_win32.h"
#include "resource.h"

namespace {

// Dialog units of one line and of the two columns.
constexpr int kMargin = 7, kLine = 15, kLabelWidth = 90, kBoxWidth = 220, kBoxHeight = 12;
constexpr int kFirstField = 2000;

INT_PTR CALLBACK PropertiesProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    const auto& data = *reinterpret_cast<const PropertiesData*>(lp);
    TranslateDialog(dlg, IDD_PROPERTIES);
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(dlg, WM_GETFONT, 0, 0));
    HINSTANCE inst = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dlg, GWLP_HINSTANCE));
    auto px = [&](int x, int y, int w, int h) {
      RECT r{x, y, x + w, y + h};
      MapDialogRect(dlg, &r);
      return r;
    };
    int y = kMargin;
    int id = kFirstField;
    for (const auto& f : data.fields) {
      const std::string label = f.first + ":";
      RECT lr = px(kMargin, y + 2, kLabelWidth, kBoxHeight - 2);
      RECT br = px(kMargin + kLabelWidth, y, kBoxWidth, kBoxHeight);
      HWND l = CreateWindowExA(0, "STATIC", label.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, lr.left, lr.top,
                               lr.right - lr.left, lr.bottom - lr.top, dlg, nullptr, inst, nullptr);
      HWND b = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", f.second.c_str(),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, br.left, br.top,
                               br.right - br.left, br.bottom - br.top, dlg,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id++)), inst, nullptr);
      SendMessageA(l, WM_SETFONT, WPARAM(font), FALSE);
      SendMessageA(b, WM_SETFONT, WPARAM(font), FALSE);
      y += kLine;
    }
    // OK below the last line, at the right; the dialog grows to fit.
    const int width = kMargin * 2 + kLabelWidth + kBoxWidth;
    RECT ok = px(width - kMargin - 55, y + 4, 55, 15);
    SetWindowPos(GetDlgItem(dlg, IDOK), nullptr, ok.left, ok.top, ok.right - ok.left, ok.bottom - ok.top,
                 SWP_NOZORDER);
    RECT client = px(0, 0, width, y + 4 + 15 + kMargin);
    AdjustWindowRectEx(&client, DWORD(GetWindowLongPtrA(dlg, GWL_STYLE)), FALSE,
                       DWORD(GetWindowLongPtrA(dlg, GWL_EXSTYLE)));
    const int w = client.right - client.left, h = client.bottom - client.top;
    RECT owner;
    GetWindowRect(GetParent(dlg) ? GetParent(dlg) : GetDesktopWindow(), &owner);
    int x = owner.left + (owner.right - owner.left - w) / 2, top = owner.top + (owner.bottom - owner.top - h) / 2;
    if (x < 0) x = 0;
    if (top < 0) top = 0;
    SetWindowPos(dlg, nullptr, x, top, w, h, SWP_NOZORDER);
    ApplyRightToLeft(dlg, 3);
    SetFocus(GetDlgItem(dlg, IDOK));
    return FALSE;
  }
  if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
    EndDialog(dlg, LOWORD(wp));
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedPropertiesProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(PropertiesProc, dlg, msg, wp, lp);
}

}  // namespace

void ShowPropertiesDialog(HWND owner, PropertiesData& data) {
  DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROPERTIES), owner, GuardedPropertiesProc,
                  reinterpret_cast<LPARAM>(&data));
}
