// Adapters of every capture method as one record, and the Capture Options dialog.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "base/options.h"

struct CaptureAdapter {
  std::string name;         // opens the adapter and is stored as the choice
  std::string description;  // human-readable
  uint32_t address = 0;     // IPv4, network order; 0 when none
  uint32_t index = 0;       // Network Monitor 3 table position
  int32_t promiscuous = 0;
  char addressText[21] = "";
  int32_t method = 0;
  bool ipv6 = true;  // the capture passes IPv6 frames (Options::CaptureIPv6)
  // IPv6 addresses the capture library lists with the adapter (method 2).
  std::vector<IpAddress> addresses6;
};

// The adapter's IPv6 addresses as the system has them now: those of the
// system's adapter with the same GUID or name, else with the same IPv4
// address, then any the capture library listed; at most `limit`.
std::vector<IpAddress> AdapterIPv6Addresses(const CaptureAdapter& adapter, size_t limit);

class AdapterList {
 public:
  // Rebuilds the list of one method (1 raw sockets, 2 packet capture driver,
  // 3 and 4 the Network Monitor drivers, which are not on this system).
  void Enumerate(int method);
  const std::vector<CaptureAdapter>& adapters(int method) const { return lists_[Slot(method)]; }
  const CaptureAdapter* AdapterAt(int method, size_t position) const;
  const CaptureAdapter* FindByName(int method, const char* name) const;
  static bool MethodAvailable(int method);

 private:
  static int Slot(int method) { return method >= 1 && method <= 4 ? method - 1 : 1; }
  std::vector<CaptureAdapter> lists_[4];
};

// The stored adapter name of a method in the options.
char* StoredAdapterName(Options& o, int method);

// Capture Options: true when the user confirmed with OK.
bool ShowCaptureOptions(HWND owner, Options& options, AdapterList& adapters);

// The stored adapter of the current method; opens Capture Options while it
// is missing. False when the user cancels.
bool ResolveCaptureAdapter(HWND owner, Options& options, AdapterList& adapters, CaptureAdapter* out);
