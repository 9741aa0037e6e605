#include "capture/netmon_library_win32.h"

#include <cstdio>
#include <cstring>

#include "base/module_win32.h"

NetMonLibrary& NetMon() {
  static NetMonLibrary lib;
  return lib;
}

namespace {
template <typename T>
void Bind(HMODULE m, const char* name, T& fn) {
  fn = m ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}

using GetAdaptersInfoFn = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

struct BlobTable {
  DWORD count;
  HBLOB_T blobs[1];
};
}  // namespace

void BindNetMonLibrary(HMODULE m) {
  NetMonLibrary& lib = NetMon();
  if (lib.module && lib.module != m) FreeLibrary(lib.module);
  lib.module = m;
  lib.tried = true;
  Bind(m, "CreateNPPInterface", lib.CreateNPPInterface);
  Bind(m, "DestroyBlob", lib.DestroyBlob);
  Bind(m, "GetNetworkInfoFromBlob", lib.GetNetworkInfoFromBlob);
  Bind(m, "GetNPPBlobTable", lib.GetNPPBlobTable);
}

bool LoadNetMonLibrary() {
  NetMonLibrary& lib = NetMon();
  if (!lib.tried) {
    HMODULE m = LoadLibraryA("npptools.dll");
    // Wine's npptools.dll is nothing but stubs.
    if (m && IsWineBuiltin(m)) {
      FreeLibrary(m);
      m = nullptr;
    }
    BindNetMonLibrary(m);
  }
  return lib.module != nullptr;
}

const std::vector<NetMonAdapter>& EnumerateNetMonAdapters(const char* nameFilter, bool keepBlobs) {
  NetMonLibrary& lib = NetMon();
  LoadNetMonLibrary();
  lib.adapters.clear();
  std::vector<uint8_t> chain;
  if (HMODULE ip = LoadLibraryA("iphlpapi.dll")) {
    auto get = reinterpret_cast<GetAdaptersInfoFn>(reinterpret_cast<void*>(GetProcAddress(ip, "GetAdaptersInfo")));
    ULONG size = 0;
    if (get && get(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size) {
      size += 1000;
      chain.resize(size);
      if (get(reinterpret_cast<IP_ADAPTER_INFO*>(chain.data()), &size) != 0) chain.clear();
    }
    FreeLibrary(ip);
  }
  void* raw = nullptr;
  if (!lib.GetNPPBlobTable || lib.GetNPPBlobTable(nullptr, &raw) != 0 || !raw) return lib.adapters;
  auto* table = static_cast<BlobTable*>(raw);
  for (DWORD i = 0; i < table->count; i++) {
    HBLOB_T blob = table->blobs[i];
    NetMonAdapter a;
    bool keep = false;
    if (lib.GetNetworkInfoFromBlob && lib.GetNetworkInfoFromBlob(blob, a.info) == 0) {
      const uint8_t* mac = a.info + 6;
      if (mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) {
        const IP_ADAPTER_INFO* linked = nullptr;
        if (!chain.empty())
          for (auto* c = reinterpret_cast<const IP_ADAPTER_INFO*>(chain.data()); c; c = c->Next)
            if (c->AddressLength == 6 && memcmp(c->Address, mac, 6) == 0) {
              linked = c;
              break;
            }
        char text[32];
        snprintf(text, sizeof text, "%2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
        a.linked = linked != nullptr;
        a.name = linked ? linked->AdapterName : text;
        a.description = linked ? linked->Description : a.name;
        if (linked) {
          snprintf(a.addressText, sizeof a.addressText, "%s", linked->IpAddressList.IpAddress.String);
          a.address = inet_addr(a.addressText);
          if (a.address == INADDR_NONE) a.address = 0;
        }
        a.blob = keepBlobs ? blob : nullptr;
        if (lib.adapters.size() < size_t(kNetMonMaxAdapters) && (!nameFilter || a.name == nameFilter)) {
          lib.adapters.push_back(a);
          keep = keepBlobs;
        }
      }
    }
    if (!keep && lib.DestroyBlob) lib.DestroyBlob(blob);
  }
  GlobalFree(raw);
  return lib.adapters;
}
