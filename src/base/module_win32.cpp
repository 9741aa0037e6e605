#include "base/module_win32.h"

#include <cstring>

bool IsWineBuiltin(HMODULE m) {
  if (!m) return false;
  const char* image = reinterpret_cast<const char*>(m);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const size_t room = dos->e_lfanew > 0x40 ? size_t(dos->e_lfanew) - 0x40 : 0;
  static const char kMarker[] = "Wine builtin DLL";
  return room >= sizeof kMarker - 1 && memcmp(image + 0x40, kMarker, sizeof kMarker - 1) == 0;
}
