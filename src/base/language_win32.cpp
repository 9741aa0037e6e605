#include "base/language_win32.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ini.h"
#include "base/strings.h"
#include "base/language.h"
#include "base/raw_file.h"
#include "resource.h"

namespace {

constexpr int kTopLevelSubmenuKey = 70001;
constexpr int kNestedSubmenuKey = 71001;

// Visits the items of a menu as the language file numbers them; `onItem`
// gets the menu, the position, the key and the item's text.
template <class OnItem>
void WalkMenu(HMENU menu, bool topLevel, int& nested, OnItem& onItem) {
  const int count = GetMenuItemCount(menu);
  for (int pos = 0; pos < count; pos++) {
    char text[4097] = "";
    MENUITEMINFOA mii{};
    mii.cbSize = sizeof mii;
    mii.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_TYPE;
    mii.dwTypeData = text;
    mii.cch = sizeof text - 1;
    if (!GetMenuItemInfoA(menu, UINT(pos), TRUE, &mii)) continue;
    const bool hasText = !(mii.fType & (MFT_SEPARATOR | MFT_BITMAP | MFT_OWNERDRAW)) && text[0];
    int key = int(mii.wID);
    if (mii.hSubMenu) key = topLevel ? kTopLevelSubmenuKey + pos : kNestedSubmenuKey + nested++;
    if (hasText) onItem(menu, pos, key, mii, text);
    if (mii.hSubMenu) WalkMenu(mii.hSubMenu, false, nested, onItem);
  }
}

struct Template {
  IniDocument doc;
  // Keeps what a translator already wrote.
  void Put(const std::string& section, const std::string& key, const std::string& value) {
    std::string old;
    if (value.empty() || (doc.Get(section, key, &old) && !old.empty())) return;
    doc.Set(section, key, value);
  }
};

INT_PTR CALLBACK DoNothing(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

BOOL CALLBACK OnMenuResource(HMODULE module, LPCSTR, LPSTR name, LONG_PTR param) {
  if (!IS_INTRESOURCE(name)) return TRUE;
  auto* t = reinterpret_cast<Template*>(param);
  HMENU menu = LoadMenuA(module, name);
  if (!menu) return TRUE;
  char section[32];
  snprintf(section, sizeof section, "menu_%d", int(reinterpret_cast<UINT_PTR>(name)));
  int nested = 0;
  auto write = [&](HMENU, int, int key, const MENUITEMINFOA&, char* text) {
    if (char* tab = strchr(text, '\t')) *tab = 0;
    t->Put(section, std::to_string(key), text);
  };
  WalkMenu(menu, true, nested, write);
  DestroyMenu(menu);
  return TRUE;
}

struct DialogTemplate {
  Template* t;
  std::string section;
};

BOOL CALLBACK OnDialogChild(HWND child, LPARAM param) {
  auto* d = reinterpret_cast<DialogTemplate*>(param);
  const int id = GetDlgCtrlID(child);
  char text[4096] = "";
  if (id > 0 && GetWindowTextA(child, text, sizeof text) > 0) d->t->Put(d->section, std::to_string(id), text);
  return TRUE;
}

BOOL CALLBACK OnDialogResource(HMODULE module, LPCSTR, LPSTR name, LONG_PTR param) {
  if (!IS_INTRESOURCE(name) || reinterpret_cast<UINT_PTR>(name) == IDD_EXCEPTION) return TRUE;
  HWND dlg = CreateDialogParamA(module, name, nullptr, DoNothing, 0);
  if (!dlg) return TRUE;
  ShowWindow(dlg, SW_HIDE);
  DialogTemplate d{reinterpret_cast<Template*>(param), ""};
  char section[32];
  snprintf(section, sizeof section, "dialog_%d", int(reinterpret_cast<UINT_PTR>(name)));
  d.section = section;
  char caption[4096] = "";
  if (GetWindowTextA(dlg, caption, sizeof caption) > 0) d.t->Put(section, "caption", caption);
  EnumChildWindows(dlg, OnDialogChild, reinterpret_cast<LPARAM>(&d));
  DestroyWindow(dlg);
  return TRUE;
}

struct DialogTranslation {
  std::string section;
};

BOOL CALLBACK TranslateChild(HWND child, LPARAM param) {
  auto* d = reinterpret_cast<DialogTranslation*>(param);
  std::string text;
  if (LanguageLookup(d->section.c_str(), std::to_string(GetDlgCtrlID(child)).c_str(), &text))
    SetWindowTextA(child, text.c_str());
  return TRUE;
}

struct Mirror {
  HWND parent;
  RECT client;
  int flags;
};

BOOL CALLBACK MirrorChild(HWND child, LPARAM param) {
  auto* m = reinterpret_cast<Mirror*>(param);
  if (GetParent(child) != m->parent) return TRUE;  // direct children only
  if (m->flags & 2)
    SetWindowLongPtrA(child, GWL_EXSTYLE, GetWindowLongPtrA(child, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
  if (m->flags & 1) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, m->parent, reinterpret_cast<POINT*>(&r), 2);
    SetWindowPos(child, nullptr, m->client.right - r.right - m->client.left, r.top, 0, 0,
                 SWP_NOZORDER | SWP_NOSIZE);
  }
  return TRUE;
}

}  // namespace

HMENU LoadTranslatedMenu(HINSTANCE instance, int menuId) {
  HMENU menu = LoadMenuA(instance, MAKEINTRESOURCEA(menuId));
  if (!menu || !LanguageFileInUse()) return menu;
  char section[32];
  snprintf(section, sizeof section, "menu_%d", menuId);
  int nested = 0;
  auto translate = [&](HMENU m, int pos, int key, const MENUITEMINFOA& mii, char* text) {
    std::string value;
    if (!LanguageLookup(section, std::to_string(key).c_str(), &value)) return;
    if (const char* tab = strchr(text, '\t')) value += tab;  // the accelerator stays
    const UINT_PTR id = mii.hSubMenu ? reinterpret_cast<UINT_PTR>(mii.hSubMenu) : mii.wID;
    ModifyMenuA(m, UINT(pos), MF_BYPOSITION | MF_STRING | (mii.hSubMenu ? MF_POPUP : 0) |
                                  (mii.fType & (MFT_RADIOCHECK | MFT_RIGHTJUSTIFY)),
                id, value.c_str());
  };
  WalkMenu(menu, true, nested, translate);
  return menu;
}

void TranslateDialog(HWND dialog, int dialogId) {
  if (!LanguageFileInUse()) return;
  char section[32];
  snprintf(section, sizeof section, "dialog_%d", dialogId);
  std::string caption;
  if (LanguageLookup(section, "caption", &caption)) SetWindowTextA(dialog, caption.c_str());
  DialogTranslation d{section};
  EnumChildWindows(dialog, TranslateChild, reinterpret_cast<LPARAM>(&d));
}

void ApplyRightToLeft(HWND window, int flags) {
  if (!LanguageRightToLeft()) return;
  Mirror m{window, {}, flags};
  GetClientRect(window, &m.client);
  if (flags) EnumChildWindows(window, MirrorChild, reinterpret_cast<LPARAM>(&m));
  SetWindowLongPtrA(window, GWL_EXSTYLE, GetWindowLongPtrA(window, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
}

bool WriteLanguageTemplate(HINSTANCE instance, const std::string& path) {
  Template t;
  std::string text;
  if (!ReadConfigTextForUpdate(path, &text)) return false;
  t.doc.Parse(text);
  EnumResourceNamesA(instance, MAKEINTRESOURCEA(4) /* RT_MENU */, OnMenuResource, reinterpret_cast<LONG_PTR>(&t));
  EnumResourceNamesA(instance, MAKEINTRESOURCEA(5) /* RT_DIALOG */, OnDialogResource,
                     reinterpret_cast<LONG_PTR>(&t));
  for (int i = 0; i < BuiltinStringCount(); i++) {
    const int id = BuiltinStringIdAt(i);
    char s[4096] = "";
    if (LoadStringA(instance, UINT(id), s, sizeof s) > 0) t.Put("strings", std::to_string(id), s);
  }
  ForgetLanguageFile();
  return WriteConfigText(path, t.doc.Serialize());
}
