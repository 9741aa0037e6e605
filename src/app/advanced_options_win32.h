#pragma once
#include <windows.h>

#include "base/options.h"

// Advanced Options: edits a copy of the options; true (and the options
// stored) when the user confirmed with OK.
bool ShowAdvancedOptions(HWND owner, Options& options);
