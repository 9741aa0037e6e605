// The firewall's COM objects of the local computer's current profile.
#pragma once
#include <windows.h>
#include <netfw.h>

#include "enrich/firewall.h"

class Win32Firewall : public FirewallAccess {
 public:
  ~Win32Firewall() override { Close(); }
  bool Open() override;
  void Close() override;
  bool Enabled() override;
  bool HasEntry(const std::string& path) override;
  bool EnableEntry(const std::string& path) override;
  bool AddEntry(const std::string& path, const char* name) override;
  bool RemoveEntry(const std::string& path) override;
  HRESULT lastResult = S_OK;

 private:
  INetFwMgr* manager_ = nullptr;
  INetFwPolicy* policy_ = nullptr;
  INetFwProfile* profile_ = nullptr;
  INetFwAuthorizedApplications* apps_ = nullptr;
};
