#include "enrich/system_tables_win32.h"

#include <cstdio>
#include <cstring>

namespace {
// Rows as the system lays them out (only the fields read here are named).
struct TcpOwnerModuleRow {
  DWORD state, localAddr, localPort, remoteAddr, remotePort, pid;
  LARGE_INTEGER created;
  ULONGLONG module[16];
};
struct UdpOwnerModuleRow {
  DWORD localAddr, localPort, pid;
  LARGE_INTEGER created;
  int flags;
  ULONGLONG module[16];
};
struct Tcp6OwnerModuleRow {
  UCHAR localAddr[16];
  DWORD localScope, localPort;
  UCHAR remoteAddr[16];
  DWORD remoteScope, remotePort, state, pid;
  LARGE_INTEGER created;
  ULONGLONG module[16];
};
struct Udp6OwnerModuleRow {
  UCHAR localAddr[16];
  DWORD localScope, localPort, pid;
  LARGE_INTEGER created;
  int flags;
  ULONGLONG module[16];
};
struct TcpOwnerPidRow {
  DWORD state, localAddr, localPort, remoteAddr, remotePort, pid;
};
struct UdpOwnerPidRow {
  DWORD localAddr, localPort, pid;
};
struct Tcp6OwnerPidRow {
  UCHAR localAddr[16];
  DWORD localScope, localPort;
  UCHAR remoteAddr[16];
  DWORD remoteScope, remotePort, state, pid;
};
struct Udp6OwnerPidRow {
  UCHAR localAddr[16];
  DWORD localScope, localPort, pid;
};
struct TcpPlainRow {
  DWORD state, localAddr, localPort, remoteAddr, remotePort;
};
struct UdpPlainRow {
  DWORD localAddr, localPort;
};

using ExtendedTableFn = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, int, ULONG);
using StackTableFn = DWORD(WINAPI*)(PVOID*, BOOL, HANDLE, DWORD, DWORD);
using PlainTableFn = DWORD(WINAPI*)(PVOID, PULONG, BOOL);
using EnumModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using ModuleFileNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using WinStationSidFn = BOOLEAN(WINAPI*)(HANDLE, DWORD, FILETIME, PBYTE, PDWORD);
using OpenTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using TokenInfoFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using LookupSidFn = BOOL(WINAPI*)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE);

constexpr ULONG AF_INET = 2, AF_INET6 = 23;

void* Proc(HMODULE m, const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); }

constexpr int kTcpOwnerModuleAll = 8, kUdpOwnerModule = 2, kTcpOwnerPidAll = 5, kUdpOwnerPid = 1;
constexpr DWORD kSlack = 4096;  // endpoints opened between the two calls still fit

void Normalise(EndpointEntry& e) {
  static const uint8_t zero[16] = {};
  if (e.kind == 1 && (e.family == 2 ? e.remoteAddress == 0 : !memcmp(e.remoteAddress6, zero, 16)))
    e.remotePort = 0;
}

// Rows present in a table buffer: the count the system wrote, but never
// more than the buffer holds.
template <class Row>
DWORD RowCount(const std::vector<uint8_t>& buf, size_t headerSize) {
  DWORD n;
  memcpy(&n, buf.data(), sizeof n);
  const size_t room = buf.size() > headerSize ? (buf.size() - headerSize) / sizeof(Row) : 0;
  return n > room ? DWORD(room) : n;
}

template <class Row>
const Row* RowAt(const std::vector<uint8_t>& buf, size_t headerSize, DWORD i) {
  return reinterpret_cast<const Row*>(buf.data() + headerSize + size_t(i) * sizeof(Row));
}

// The tables put their rows after a DWORD count, aligned as the rows need.
template <class Row>
constexpr size_t HeaderSize() {
  return alignof(Row) > sizeof(DWORD) ? alignof(Row) : sizeof(DWORD);
}
}  // namespace

Win32SystemTables::Win32SystemTables() = default;

Win32SystemTables::~Win32SystemTables() {
  if (iphlpapi_) FreeLibrary(iphlpapi_);
  if (psapi_) FreeLibrary(psapi_);
  if (winsta_) FreeLibrary(winsta_);
}

void Win32SystemTables::Resolve() {
  if (resolved_) return;
  resolved_ = true;
  iphlpapi_ = LoadLibraryA("iphlpapi.dll");
  if (iphlpapi_) {
    getTcpTable_ = Proc(iphlpapi_, "GetTcpTable");
    getUdpTable_ = Proc(iphlpapi_, "GetUdpTable");
    tcpExStack_ = Proc(iphlpapi_, "AllocateAndGetTcpExTableFromStack");
    udpExStack_ = Proc(iphlpapi_, "AllocateAndGetUdpExTableFromStack");
    extTcp_ = Proc(iphlpapi_, "GetExtendedTcpTable");
    extUdp_ = Proc(iphlpapi_, "GetExtendedUdpTable");
  }
  psapi_ = LoadLibraryA("psapi.dll");
  if (psapi_) {
    enumModules_ = Proc(psapi_, "EnumProcessModules");
    moduleFileName_ = Proc(psapi_, "GetModuleFileNameExA");
    if (!enumModules_ || !moduleFileName_) {
      FreeLibrary(psapi_);
      psapi_ = nullptr;
      enumModules_ = moduleFileName_ = nullptr;
    }
  }
}

bool Win32SystemTables::Supported() {
  if (supported_ < 0) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    supported_ = GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion >= 5;
#pragma GCC diagnostic pop
  }
  return supported_ == 1;
}

bool Win32SystemTables::ExtendedQuery(bool tcp, ULONG family, std::vector<EndpointEntry>* out) {
  auto fn = reinterpret_cast<ExtendedTableFn>(tcp ? extTcp_ : extUdp_);
  // The module classes first; where a system lacks them, the PID classes
  // give the same rows.
  for (int pass = 0; pass < 2; pass++) {
    const bool module = pass == 0;
    const int cls = tcp ? (module ? kTcpOwnerModuleAll : kTcpOwnerPidAll) : (module ? kUdpOwnerModule : kUdpOwnerPid);
    DWORD size = 0;
    fn(nullptr, &size, FALSE, family, cls, 0);
    if (size == 0) continue;
    std::vector<uint8_t> buf(size_t(size) + kSlack);
    size = DWORD(buf.size());
    if (fn(buf.data(), &size, FALSE, family, cls, 0) != NO_ERROR) continue;
    auto add = [&](EndpointEntry e) {
      Normalise(e);
      out->push_back(e);
    };
#define PK_ROWS(Row, body)                                                   \
  {                                                                          \
    const DWORD n = RowCount<Row>(buf, HeaderSize<Row>());                   \
    for (DWORD i = 0; i < n; i++) {                                          \
      const Row& r = *RowAt<Row>(buf, HeaderSize<Row>(), i);                 \
      EndpointEntry e;                                                       \
      body add(e);                                                           \
    }                                                                        \
  }
    if (family == AF_INET && tcp) {
      auto fill = [](EndpointEntry& e, const auto& r) {
        e.kind = 1, e.state = int32_t(r.state), e.localAddress = r.localAddr, e.localPort = r.localPort;
        e.remoteAddress = r.remoteAddr, e.remotePort = r.remotePort, e.pid = r.pid;
      };
      if (module) PK_ROWS(TcpOwnerModuleRow, fill(e, r);) else PK_ROWS(TcpOwnerPidRow, fill(e, r);)
    } else if (family == AF_INET) {
      auto fill = [](EndpointEntry& e, const auto& r) {
        e.kind = 2, e.localAddress = r.localAddr, e.localPort = r.localPort, e.pid = r.pid;
      };
      if (module) PK_ROWS(UdpOwnerModuleRow, fill(e, r);) else PK_ROWS(UdpOwnerPidRow, fill(e, r);)
    } else if (tcp) {
      auto fill = [](EndpointEntry& e, const auto& r) {
        e.family = 23, e.kind = 1, e.state = int32_t(r.state), e.localPort = r.localPort;
        e.remotePort = r.remotePort, e.pid = r.pid;
        memcpy(e.localAddress6, r.localAddr, 16);
        memcpy(e.remoteAddress6, r.remoteAddr, 16);
      };
      if (module) PK_ROWS(Tcp6OwnerModuleRow, fill(e, r);) else PK_ROWS(Tcp6OwnerPidRow, fill(e, r);)
    } else {
      auto fill = [](EndpointEntry& e, const auto& r) {
        e.family = 23, e.kind = 2, e.localPort = r.localPort, e.pid = r.pid;
        memcpy(e.localAddress6, r.localAddr, 16);
      };
      if (module) PK_ROWS(Udp6OwnerModuleRow, fill(e, r);) else PK_ROWS(Udp6OwnerPidRow, fill(e, r);)
    }
#undef PK_ROWS
    return true;
  }
  return false;
}

bool Win32SystemTables::StackQuery(bool tcp, std::vector<EndpointEntry>* out) {
  auto fn = reinterpret_cast<StackTableFn>(tcp ? tcpExStack_ : udpExStack_);
  PVOID table = nullptr;
  if (fn(&table, TRUE, GetProcessHeap(), 2, AF_INET) != NO_ERROR || !table) return false;
  DWORD n;
  memcpy(&n, table, sizeof n);
  const uint8_t* rows = static_cast<const uint8_t*>(table) + sizeof(DWORD);
  for (DWORD i = 0; i < n; i++) {
    EndpointEntry e;
    if (tcp) {
      const auto& r = reinterpret_cast<const TcpOwnerPidRow*>(rows)[i];
      e.kind = 1, e.state = int32_t(r.state), e.localAddress = r.localAddr, e.localPort = r.localPort;
      e.remoteAddress = r.remoteAddr, e.remotePort = r.remotePort, e.pid = r.pid;
    } else {
      const auto& r = reinterpret_cast<const UdpOwnerPidRow*>(rows)[i];
      e.kind = 2, e.localAddress = r.localAddr, e.localPort = r.localPort, e.pid = r.pid;
    }
    Normalise(e);
    out->push_back(e);
  }
  HeapFree(GetProcessHeap(), 0, table);
  return true;
}

// Rows without owners (the oldest systems); their PIDs stay 0.
bool Win32SystemTables::PlainQuery(bool tcp, std::vector<EndpointEntry>* out) {
  auto fn = reinterpret_cast<PlainTableFn>(tcp ? getTcpTable_ : getUdpTable_);
  ULONG size = 0;
  fn(nullptr, &size, FALSE);
  if (size <= 4) return false;
  std::vector<uint8_t> buf(size_t(size) + kSlack, 0);
  size = ULONG(buf.size());
  if (fn(buf.data(), &size, FALSE) != NO_ERROR) return false;
  const DWORD n = tcp ? RowCount<TcpPlainRow>(buf, 4) : RowCount<UdpPlainRow>(buf, 4);
  for (DWORD i = 0; i < n; i++) {
    EndpointEntry e;
    if (tcp) {
      const auto& r = *RowAt<TcpPlainRow>(buf, 4, i);
      e.kind = 1, e.state = int32_t(r.state), e.localAddress = r.localAddr, e.localPort = r.localPort;
      e.remoteAddress = r.remoteAddr, e.remotePort = r.remotePort;
    } else {
      const auto& r = *RowAt<UdpPlainRow>(buf, 4, i);
      e.kind = 2, e.localAddress = r.localAddr, e.localPort = r.localPort;
    }
    Normalise(e);
    out->push_back(e);
  }
  return n > 0;
}

bool Win32SystemTables::ReadEndpoints(std::vector<EndpointEntry>* out) {
  out->clear();
  Resolve();
  bool any = false;
  if (extTcp_ && extUdp_) {
    route = 'A';
    any |= ExtendedQuery(true, AF_INET, out);
    any |= ExtendedQuery(false, AF_INET, out);
    any |= ExtendedQuery(true, AF_INET6, out);
    any |= ExtendedQuery(false, AF_INET6, out);
  } else if (tcpExStack_ && udpExStack_) {
    route = 'B';
    any |= StackQuery(true, out);
    any |= StackQuery(false, out);
  } else if (getTcpTable_ && getUdpTable_) {
    // The kernel handle scan that could name these rows' owners needs raw
    // kernel memory; it is left out, so the rows only give states.
    route = 'C';
    any |= PlainQuery(true, out);
    any |= PlainQuery(false, out);
  } else {
    route = 0;
  }
  return any;
}

void Win32SystemTables::User(HANDLE process, uint32_t pid, char (&user)[64]) {
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (!advapi) return;
  auto openToken = reinterpret_cast<OpenTokenFn>(Proc(advapi, "OpenProcessToken"));
  auto tokenInfo = reinterpret_cast<TokenInfoFn>(Proc(advapi, "GetTokenInformation"));
  auto lookupSid = reinterpret_cast<LookupSidFn>(Proc(advapi, "LookupAccountSidA"));
  auto account = [&](PSID sid) {
    char name[255], domain[255];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (!lookupSid || !lookupSid(nullptr, sid, name, &nameSize, domain, &domainSize, &use) || !name[0]) return;
    snprintf(user, sizeof user, "%.62s", (std::string(domain) + "\\" + name).c_str());
  };
  HANDLE token = nullptr;
  if (openToken && tokenInfo && openToken(process, TOKEN_QUERY, &token)) {
    // TOKEN_USER holds a pointer, so the buffer is aligned for one.
    alignas(void*) uint8_t buf[255];
    DWORD got = 0;
    if (tokenInfo(token, TokenUser, buf, sizeof buf, &got)) account(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid);
    CloseHandle(token);
  } else {
    FILETIME created, exited, kernel, usr;
    if (!winsta_) {
      winsta_ = LoadLibraryA("winsta.dll");
      if (winsta_) winstationSid_ = Proc(winsta_, "WinStationGetProcessSid");
    }
    BYTE sid[255];
    DWORD sidSize = sizeof sid;
    if (winstationSid_ && GetProcessTimes(process, &created, &exited, &kernel, &usr) &&
        reinterpret_cast<WinStationSidFn>(winstationSid_)(nullptr, pid, created, sid, &sidSize))
      account(sid);
  }
  FreeLibrary(advapi);
}

void Win32SystemTables::DescribeProcess(uint32_t pid, char (&path)[261], char (&user)[64]) {
  Resolve();
  path[0] = user[0] = 0;
  if (enumModules_ && moduleFileName_) {
    if (HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid)) {
      HMODULE module = nullptr;
      DWORD needed = 0;
      if (reinterpret_cast<EnumModulesFn>(enumModules_)(p, &module, sizeof module, &needed) && module)
        reinterpret_cast<ModuleFileNameFn>(moduleFileName_)(p, module, path, 260);
      CloseHandle(p);
    }
  }
  if (HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid)) {
    User(p, pid, user);
    CloseHandle(p);
  }
  path[260] = 0;
}
