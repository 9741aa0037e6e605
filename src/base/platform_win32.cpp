// The core's platform services answered by the Windows API.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/pages.h"
#include "base/ini.h"
#include "base/platform.h"
#include "base/services.h"


namespace {

FILETIME ToFt(FileTime v) {
  FILETIME f;
  f.dwLowDateTime = DWORD(v);
  f.dwHighDateTime = DWORD(v >> 32);
  return f;
}
FileTime FromFt(const FILETIME& f) { return (FileTime(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

class Win32Platform : public Platform {
 public:
  uint32_t TickCount() override { return GetTickCount(); }

  FileTime LocalFileTimeNow() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return FromFt(ft);
  }

  FileTime UtcToLocalFileTime(FileTime utc) override {
    SYSTEMTIME su, sl;
    FILETIME fu = ToFt(utc), fl;
    if (!::FileTimeToSystemTime(&fu, &su)) return utc;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &su, &sl)) {
      return FileTimeToLocalFileTime(&fu, &fl) ? FromFt(fl) : utc;
    }
    ::SystemTimeToFileTime(&sl, &fl);
    return FromFt(fl);
  }

  void GroupDigits(const char* digits, char* out, size_t outSize) override {
    std::call_once(fmtOnce_, [this] {
      char buf[16];
      fmt_.NumDigits = 0;
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_ILZERO, buf, sizeof buf);
      fmt_.LeadingZero = atoi(buf);
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SGROUPING, buf, sizeof buf);
      fmt_.Grouping = atoi(buf);
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SDECIMAL, dec_, sizeof dec_);
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_STHOUSAND, thou_, sizeof thou_);
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_INEGNUMBER, buf, sizeof buf);
      fmt_.NegativeOrder = atoi(buf);
      fmt_.lpDecimalSep = dec_;
      fmt_.lpThousandSep = thou_;
    });
    if (!GetNumberFormatA(LOCALE_USER_DEFAULT, 0, digits, &fmt_, out, int(outSize))) {
      snprintf(out, outSize, "%s", digits);
    }
  }

  void FormatDateTime(const SystemTime& s, char* out, size_t outSize) override {
    SYSTEMTIME st{};
    st.wYear = WORD(s.year);
    st.wMonth = WORD(s.month);
    st.wDayOfWeek = WORD(s.dayOfWeek);
    st.wDay = WORD(s.day);
    st.wHour = WORD(s.hour);
    st.wMinute = WORD(s.minute);
    st.wSecond = WORD(s.second);
    st.wMilliseconds = WORD(s.milliseconds);
    char d[128] = "", t[128] = "";
    GetDateFormatA(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &st, nullptr, d, sizeof d);
    GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, nullptr, t, sizeof t);
    snprintf(out, outSize, "%s %s", d, t);
  }

  const char* ServiceName(uint16_t port) override {
    // getservbyport reads the services file again on each call, which a
    // report of many ports pays for thousands of times: the file is read
    // once here, as getservbyport would read it.
    std::call_once(svcOnce_, [this] {
      char dir[MAX_PATH + 1] = "";
      const UINT n = GetSystemDirectoryA(dir, sizeof dir);
      std::string text;
      servicesRead_ = n > 0 && n < sizeof dir &&
                      ReadConfigText(std::string(dir) + "\\drivers\\etc\\services", &text);
      services_.Parse(text.data(), text.size());
      if (servicesRead_) return;
      WSADATA wd;
      WSAStartup(MAKEWORD(2, 0), &wd);
      names_.reset(new std::string[65536]);
      looked_.reset(new bool[65536]());
    });
    if (servicesRead_) return services_.Name(port);
    std::lock_guard<std::mutex> lock(svcMutex_);
    if (!looked_[port]) {
      looked_[port] = true;
      if (servent* s = getservbyport(htons(port), nullptr)) {
        if (s->s_name) names_[port].assign(s->s_name, strnlen(s->s_name, kMaxServiceName));
      }
    }
    return names_[port].empty() ? nullptr : names_[port].c_str();
  }

  bool CreateTempFile(const char* prefix, char* path, size_t pathSize) override {
    char dir[MAX_PATH + 1];
    if (!GetTempPathA(sizeof dir, dir)) GetWindowsDirectoryA(dir, sizeof dir);
    char name[MAX_PATH + 1];
    if (!GetTempFileNameA(dir, prefix, 0, name)) return false;
    if (strlen(name) + 1 > pathSize) {
      DeleteFileA(name);
      return false;
    }
    strcpy(path, name);
    return true;
  }

  bool RemoveFile(const char* path) override { return DeleteFileA(path) != 0; }
  int MimeExtension(const char* type, char* out, size_t outSize) override {
    HKEY root, key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Mime\\Database\\Content Type", 0, KEY_READ, &root) != ERROR_SUCCESS)
      return -1;
    char ext[256] = "";
    DWORD size = sizeof ext - 1, kind = 0;
    bool found = false;
    if (RegOpenKeyExA(root, type, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      found = RegQueryValueExA(key, "Extension", nullptr, &kind, reinterpret_cast<BYTE*>(ext), &size) ==
                  ERROR_SUCCESS && kind == REG_SZ;
      RegCloseKey(key);
    }
    RegCloseKey(root);
    if (!found) return 0;
    ext[std::min<DWORD>(size, sizeof ext - 1)] = 0;  // a stored value need not end in NUL
    snprintf(out, outSize, "%s", ext);
    return 1;
  }

  std::u32string DecodeText(const char* text, size_t n) override {
    std::u32string out;
    if (!n) return out;
    std::vector<wchar_t> w(n);
    const int wn = MultiByteToWideChar(CP_ACP, 0, text, int(n), w.data(), int(n));
    for (int i = 0; i < wn; i++) {
      const uint32_t c = w[size_t(i)];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < wn && w[size_t(i) + 1] >= 0xDC00 && w[size_t(i) + 1] < 0xE000) {
        out += char32_t(0x10000 + ((c - 0xD800) << 10) + (w[size_t(++i)] - 0xDC00));
      } else {
        out += char32_t(c);
      }
    }
    return out;
  }

  size_t EncodeCharacter(uint32_t ch, char* out) override {
    wchar_t w[2];
    int wn = 1;
    if (ch >= 0x10000) {
      w[0] = wchar_t(0xD800 + ((ch - 0x10000) >> 10));
      w[1] = wchar_t(0xDC00 + ((ch - 0x10000) & 0x3FF));
      wn = 2;
    } else {
      w[0] = wchar_t(ch);
    }
    if (GetACP() == CP_UTF8) {  // takes neither flags nor a default-character report
      const int n = WideCharToMultiByte(CP_UTF8, 0, w, wn, out, 4, nullptr, nullptr);
      return n > 0 ? size_t(n) : 0;
    }
    // No best fit: "ő" must not quietly become "o".
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w, wn, out, 4, nullptr, &usedDefault);
    return n > 0 && !usedDefault ? size_t(n) : 0;
  }

 private:
  std::once_flag fmtOnce_, svcOnce_;
  NUMBERFMTA fmt_{};
  char dec_[8] = ".", thou_[8] = ",";
  std::mutex svcMutex_;
  std::unique_ptr<std::string[]> names_;
  std::unique_ptr<bool[]> looked_;
  ServiceTable services_;
  bool servicesRead_ = false;
};

}  // namespace

Platform* CreateDefaultPlatform() { return new Win32Platform(); }

void* AllocatePages(size_t bytes) {
  return bytes ? VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE) : nullptr;
}

void FreePages(void* p, size_t) {
  if (p) VirtualFree(p, 0, MEM_RELEASE);
}
