#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "enrich/resolver.h"

namespace {
// Windows 2000's ws2_32 has no getnameinfo: it is looked up, not imported.
using GetNameInfoFn = int(WSAAPI*)(const sockaddr*, socklen_t, char*, DWORD, char*, DWORD, int);

// Winsock keeps gethostbyaddr's result per thread.
class WinsockHostLookup : public HostLookup {
 public:
  bool Reverse(uint32_t address, std::string* name) override {
    hostent* h = gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    if (!h || !h->h_name) return false;
    *name = h->h_name;
    return true;
  }
  bool Reverse6(const uint8_t (&address)[16], std::string* name) override {
    HMODULE ws = GetModuleHandleA("ws2_32.dll");
    auto get = ws ? reinterpret_cast<GetNameInfoFn>(reinterpret_cast<void*>(GetProcAddress(ws, "getnameinfo")))
                  : nullptr;
    if (!get) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    memcpy(&sa.sin6_addr, address, 16);
    char host[NI_MAXHOST];
    if (get(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD)) return false;
    *name = host;
    return true;
  }
};
}  // namespace

std::shared_ptr<HostLookup> SystemHostLookup() { return std::make_shared<WinsockHostLookup>(); }
