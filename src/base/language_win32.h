// The language file's menus, dialogs and right-to-left layout.
#pragma once
#include <windows.h>

#include <string>

// The program's menu resource, its texts translated when a language file is in use.
HMENU LoadTranslatedMenu(HINSTANCE instance, int menuId);
// Call at the start of WM_INITDIALOG.
void TranslateDialog(HWND dialog, int dialogId);
// flags 2: every child gets the right-to-left layout; 1: the children's
// positions are mirrored; then the window itself. Nothing when off.
void ApplyRightToLeft(HWND window, int flags);
// Writes every menu text, dialog text and string of the program into the
// language file at `path`, keeping the values it already has.
bool WriteLanguageTemplate(HINSTANCE instance, const std::string& path);
