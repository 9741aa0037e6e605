// Facts about loaded DLLs.
#pragma once
#include <windows.h>

// Wine's own stand-ins for some outside libraries export functions that
// end the process when called; those libraries (or functions) count as missing.
bool IsWineBuiltin(HMODULE module);
