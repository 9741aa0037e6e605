#include "capture/pcap_library_win32.h"

#include <cstring>

#include "base/module_win32.h"

PacketCaptureLibrary& CaptureLibrary() {
  static PacketCaptureLibrary lib;
  return lib;
}

namespace {
// dir + "\" + name, or "" when it would not fit in MAX_PATH.
void JoinPath(const char* dir, const char* name, char* out) {
  const size_t d = strlen(dir), n = strlen(name);
  const bool slash = d > 0 && dir[d - 1] == '\\';
  out[0] = 0;
  if (d + n + 1 >= MAX_PATH) return;
  strcpy(out, dir);
  if (!slash) strcat(out, "\\");
  strcat(out, name);
}

template <typename T>
bool Bind(HMODULE m, const char* name, T& fn, bool required) {
  fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  return fn || !required;
}
}  // namespace

bool LoadPacketCaptureLibrary() {
  PacketCaptureLibrary& lib = CaptureLibrary();
  if (lib.module) FreeLibrary(lib.module);
  lib = PacketCaptureLibrary();
  char system[MAX_PATH] = "", dll[MAX_PATH], folder[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  JoinPath(system, "Npcap\\wpcap.dll", dll);
  HMODULE m = nullptr;
  if (dll[0] && GetFileAttributesA(dll) != INVALID_FILE_ATTRIBUTES) {
    JoinPath(system, "Npcap", folder);
    char current[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof current, current);
    SetCurrentDirectoryA(folder);  // its helper DLLs lie beside it
    m = LoadLibraryA(dll);
    if (!m) m = LoadLibraryA("wpcap.dll");
    SetCurrentDirectoryA(current);
  } else {
    m = LoadLibraryA("wpcap.dll");
  }
  return m && BindPacketCaptureLibrary(m);
}

bool BindPacketCaptureLibrary(HMODULE m) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  if (lib.module && lib.module != m) FreeLibrary(lib.module);
  lib = PacketCaptureLibrary();
  bool ok = Bind(m, "pcap_findalldevs_ex", lib.pcap_findalldevs_ex, false) &&
            Bind(m, "pcap_freealldevs", lib.pcap_freealldevs, true) &&
            Bind(m, "pcap_open", lib.pcap_open, false) && Bind(m, "pcap_close", lib.pcap_close, true) &&
            Bind(m, "pcap_next_ex", lib.pcap_next_ex, false) && Bind(m, "pcap_loop", lib.pcap_loop, true) &&
            Bind(m, "pcap_compile", lib.pcap_compile, true) &&
            Bind(m, "pcap_setfilter", lib.pcap_setfilter, true) &&
            Bind(m, "pcap_freecode", lib.pcap_freecode, true) && Bind(m, "pcap_next", lib.pcap_next, true) &&
            Bind(m, "pcap_findalldevs", lib.pcap_findalldevs, true) &&
            Bind(m, "pcap_open_live", lib.pcap_open_live, true) &&
            Bind(m, "pcap_open_offline", lib.pcap_open_offline, false) &&
            Bind(m, "pcap_geterr", lib.pcap_geterr, false) && Bind(m, "pcap_datalink", lib.pcap_datalink, false) &&
            Bind(m, "pcap_dispatch", lib.pcap_dispatch, true) &&
            Bind(m, "pcap_setnonblock", lib.pcap_setnonblock, false) &&
            Bind(m, "pcap_create", lib.pcap_create, false) && Bind(m, "pcap_set_snaplen", lib.pcap_set_snaplen, false) &&
            Bind(m, "pcap_set_promisc", lib.pcap_set_promisc, false) &&
            Bind(m, "pcap_set_timeout", lib.pcap_set_timeout, false) &&
            Bind(m, "pcap_set_buffer_size", lib.pcap_set_buffer_size, false) &&
            Bind(m, "pcap_activate", lib.pcap_activate, false);
  if (!ok) {
    FreeLibrary(m);
    lib = PacketCaptureLibrary();
    return false;
  }
  // Wine's copy captures live but ends the process when asked for a file.
  if (IsWineBuiltin(m)) lib.pcap_open_offline = nullptr;
  lib.module = m;
  return true;
}
