#include "enrich/firewall.h"

namespace {
// Opens, runs `change` only when the firewall is on, and always closes.
template <class Change>
bool WithFirewall(FirewallAccess& fw, Change change) {
  if (!fw.Open()) {
    fw.Close();
    return false;
  }
  const bool ok = fw.Enabled() ? change() : true;
  fw.Close();
  return ok;
}
}  // namespace

bool AddToFirewall(FirewallAccess& fw, const std::string& exePath) {
  return WithFirewall(fw, [&] {
    if (fw.HasEntry(exePath)) return fw.EnableEntry(exePath);
    return fw.AddEntry(exePath, kFirewallEntryName);
  });
}

bool RemoveFromFirewall(FirewallAccess& fw, const std::string& exePath) {
  return WithFirewall(fw, [&] { return !fw.HasEntry(exePath) || fw.RemoveEntry(exePath); });
}
