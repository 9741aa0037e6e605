// Entering the program in the firewall's authorized applications while a
// raw-sockets capture runs. Failures are silent: the capture goes on.
#pragma once
#include <string>

#include "base/options.h"

// The firewall's objects for one operation; each call returns false when
// the firewall refused or the object is missing.
class FirewallAccess {
 public:
  virtual ~FirewallAccess() = default;
  // Manager, local policy, current profile, authorized applications.
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool Enabled() = 0;
  virtual bool HasEntry(const std::string& path) = 0;
  virtual bool EnableEntry(const std::string& path) = 0;
  virtual bool AddEntry(const std::string& path, const char* name) = 0;
  virtual bool RemoveEntry(const std::string& path) = 0;
};

constexpr char kFirewallEntryName[] = "Toveral Pakrill";

// Whether a capture start or stop touches the firewall.
inline bool FirewallApplies(const Options& o) { return o.CaptureMethod == 1 && o.AddToWindowsFirewall; }

bool AddToFirewall(FirewallAccess& fw, const std::string& exePath);
bool RemoveFromFirewall(FirewallAccess& fw, const std::string& exePath);
