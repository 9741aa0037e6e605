#include <winsock2.h>

#include "enrich/resolver.h"

namespace {
// Winsock keeps gethostbyaddr's result per thread.
class WinsockHostLookup : public HostLookup {
 public:
  bool Reverse(uint32_t address, std::string* name) override {
    hostent* h = gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    if (!h || !h->h_name) return false;
    *name = h->h_name;
    return true;
  }
};
}  // namespace

std::shared_ptr<HostLookup> SystemHostLookup() { return std::make_shared<WinsockHostLookup>(); }
