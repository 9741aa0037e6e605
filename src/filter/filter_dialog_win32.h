#pragma once
#include <windows.h>

#include <string>

struct FilterDialogData {
  int titleString;   // 51 "Capture Filter" or 52 "Display Filter"
  std::string text;  // in: the current text; out: the text confirmed with OK
};

// True when the user confirmed with OK.
bool ShowFilterDialog(HWND owner, FilterDialogData& data);
