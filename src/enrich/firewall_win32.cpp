#include "enrich/firewall_win32.h"

namespace {
const CLSID kManagerClass = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const IID kManagerInterface = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const CLSID kApplicationClass = {0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
const IID kApplicationInterface = {0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};

// An ANSI text as a BSTR, at most 1023 characters.
class Bstr {
 public:
  explicit Bstr(const char* text) {
    wchar_t wide[1024];
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1023);
    wide[n > 0 ? n : 0] = 0;
    wide[1023] = 0;
    s_ = SysAllocString(wide);
  }
  ~Bstr() { SysFreeString(s_); }
  operator BSTR() const { return s_; }

 private:
  BSTR s_;
};

template <class T>
void Release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}
}  // namespace

void Win32Firewall::Close() {
  Release(apps_);
  Release(profile_);
  Release(policy_);
  Release(manager_);
}

bool Win32Firewall::Open() {
  Close();
  lastResult = CoCreateInstance(kManagerClass, nullptr, CLSCTX_INPROC_SERVER, kManagerInterface,
                                reinterpret_cast<void**>(&manager_));
  if (FAILED(lastResult) || !manager_) return false;
  lastResult = manager_->get_LocalPolicy(&policy_);
  if (FAILED(lastResult) || !policy_) return false;
  lastResult = policy_->get_CurrentProfile(&profile_);
  if (FAILED(lastResult) || !profile_) return false;
  lastResult = profile_->get_AuthorizedApplications(&apps_);
  return SUCCEEDED(lastResult) && apps_;
}

bool Win32Firewall::Enabled() {
  VARIANT_BOOL on = VARIANT_FALSE;
  lastResult = profile_ ? profile_->get_FirewallEnabled(&on) : E_POINTER;
  return SUCCEEDED(lastResult) && on == VARIANT_TRUE;
}

bool Win32Firewall::HasEntry(const std::string& path) {
  INetFwAuthorizedApplication* app = nullptr;
  Bstr p(path.c_str());
  lastResult = apps_->Item(p, &app);
  const bool found = SUCCEEDED(lastResult) && app;
  Release(app);
  return found;
}

bool Win32Firewall::EnableEntry(const std::string& path) {
  INetFwAuthorizedApplication* app = nullptr;
  Bstr p(path.c_str());
  lastResult = apps_->Item(p, &app);
  if (FAILED(lastResult) || !app) return false;
  lastResult = app->put_Enabled(VARIANT_TRUE);
  Release(app);
  return SUCCEEDED(lastResult);
}

bool Win32Firewall::AddEntry(const std::string& path, const char* name) {
  INetFwAuthorizedApplication* app = nullptr;
  lastResult = CoCreateInstance(kApplicationClass, nullptr, CLSCTX_INPROC_SERVER, kApplicationInterface,
                                reinterpret_cast<void**>(&app));
  if (FAILED(lastResult) || !app) return false;
  Bstr p(path.c_str()), n(name);
  app->put_ProcessImageFileName(p);
  app->put_Name(n);
  app->put_Enabled(VARIANT_TRUE);
  lastResult = apps_->Add(app);
  Release(app);
  return lastResult == S_OK;
}

bool Win32Firewall::RemoveEntry(const std::string& path) {
  Bstr p(path.c_str());
  lastResult = apps_->Remove(p);
  return lastResult == S_OK;
}
