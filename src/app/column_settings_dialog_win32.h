// Column Settings: which columns the list shows, in which order and width.
#pragma once
#include <windows.h>

#include "app/list_tools.h"

struct ColumnSettingsData {
  ColumnLayout layout;  // the list's layout in; the chosen one out on OK
};

// True when the user confirmed with OK.
bool ShowColumnSettingsDialog(HWND owner, ColumnSettingsData& data);
