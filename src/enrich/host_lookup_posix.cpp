#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "enrich/resolver.h"

namespace {
// getnameinfo, since gethostbyaddr shares one result buffer between threads.
class PosixHostLookup : public HostLookup {
 public:
  bool Reverse(uint32_t address, std::string* name) override {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    memcpy(&sa.sin_addr, &address, 4);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD))
      return false;
    *name = host;
    return true;
  }
};
}  // namespace

std::shared_ptr<HostLookup> SystemHostLookup() { return std::make_shared<PosixHostLookup>(); }
