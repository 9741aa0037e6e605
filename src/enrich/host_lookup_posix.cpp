#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "enrich/resolver.h"

namespace {
bool NameOf(const sockaddr* sa, socklen_t size, std::string* name) {
  char host[NI_MAXHOST];
  if (getnameinfo(sa, size, host, sizeof host, nullptr, 0, NI_NAMEREQD)) return false;
  *name = host;
  return true;
}

// getnameinfo, since gethostbyaddr shares one result buffer between threads.
class PosixHostLookup : public HostLookup {
 public:
  bool Reverse(uint32_t address, std::string* name) override {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    memcpy(&sa.sin_addr, &address, 4);
    return NameOf(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name);
  }
  bool Reverse6(const uint8_t (&address)[16], std::string* name) override {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    memcpy(&sa.sin6_addr, address, 16);
    return NameOf(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name);
  }
};
}  // namespace

std::shared_ptr<HostLookup> SystemHostLookup() { return std::make_shared<PosixHostLookup>(); }
