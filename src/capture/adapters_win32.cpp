#include "capture/adapters_win32.h"

#include <commctrl.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "base/language_win32.h"
#include "base/strings.h"
#include "base/window_win32.h"
#include "capture/netmon3_library_win32.h"
#include "capture/netmon_library_win32.h"
#include "capture/pcap_library_win32.h"
#include "resource.h"

namespace {

using GetAdaptersInfoFn = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
using GetIfTableFn = DWORD(WINAPI*)(PMIB_IFTABLE, PULONG, BOOL);
using GetAdaptersAddressesFn = ULONG(WINAPI*)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);

// The raw sockets method's adapters, with the loopback entry after them.
void EnumerateRawSockets(std::vector<CaptureAdapter>& out) {
  HMODULE ip = LoadLibraryA("iphlpapi.dll");
  auto get = ip ? reinterpret_cast<GetAdaptersInfoFn>(reinterpret_cast<void*>(GetProcAddress(ip, "GetAdaptersInfo")))
                : nullptr;
  ULONG size = 0;
  if (get && get(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size) {
    size += 1000;
    std::vector<uint8_t> buf(size);
    auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data());
    if (get(info, &size) == 0) {
      for (IP_ADAPTER_INFO* a = info; a; a = a->Next) {
        CaptureAdapter c;
        c.method = 1;
        c.name = a->AdapterName;
        c.description = a->Description;
        snprintf(c.addressText, sizeof c.addressText, "%s", a->IpAddressList.IpAddress.String);
        c.address = inet_addr(c.addressText);
        if (c.address == INADDR_NONE) c.address = 0;
        out.push_back(c);
      }
      CaptureAdapter lo;
      lo.method = 1;
      lo.name = "LoopbackInterface";
      lo.description = "Loopback Interface";
      strcpy(lo.addressText, "127.0.0.1");
      lo.address = inet_addr("127.0.0.1");
      out.push_back(lo);
    }
  }
  if (ip) FreeLibrary(ip);
}

void EnumeratePacketCapture(std::vector<CaptureAdapter>& out) {
  PacketCaptureLibrary& lib = CaptureLibrary();
  if (!lib.bound()) return;
  static char error[260];
  pcap_if_t* devs = nullptr;
  if (lib.pcap_findalldevs(&devs, error) != 0) return;
  for (pcap_if_t* d = devs; d; d = d->next) {
    CaptureAdapter c;
    c.method = 2;
    c.name = d->name ? d->name : "";
    c.description = d->description ? d->description : "";
    // The first IPv4 address, and the IPv6 ones.
    for (pcap_addr_t* a = d->addresses; a; a = a->next) {
      if (a->addr && a->addr->sa_family == AF_INET && !c.address) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(a->addr);
        c.address = in->sin_addr.s_addr;
        snprintf(c.addressText, sizeof c.addressText, "%s", inet_ntoa(in->sin_addr));
      } else if (a->addr && a->addr->sa_family == AF_INET6) {
        c.addresses6.push_back(IpAddress::V6(reinterpret_cast<const sockaddr_in6*>(a->addr)->sin6_addr.s6_addr));
      }
    }
    out.push_back(c);
  }
  lib.pcap_freealldevs(devs);
}

// A wide text of an NmApi adapter record in the ANSI code page.
std::string NetMon3Text(const uint8_t* record, size_t offset) {
  wchar_t wide[kNetMon3TextChars];
  memcpy(wide, record + offset, sizeof wide);
  wide[kNetMon3TextChars - 1] = 0;
  char text[MAX_PATH] = "";
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  text[MAX_PATH - 1] = 0;
  return text;
}

void EnumerateNetMon3(std::vector<CaptureAdapter>& out) {
  EnumerateNetMon3Adapters();
  NetMon3Library& lib = NetMon3();
  // Addresses come from the raw sockets list, refreshed here (not left to an earlier dialog).
  std::vector<CaptureAdapter> ip;
  EnumerateRawSockets(ip);
  HKEY cards = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards", 0, KEY_READ,
                &cards);
  for (ULONG i = 0; i < lib.adapterCount; i++) {
    CaptureAdapter c;
    c.method = 4;
    c.index = i;
    c.name = NetMon3Text(lib.adapters[i], kNetMon3GuidOffset);
    c.description = NetMon3Text(lib.adapters[i], kNetMon3DisplayNameOffset);
    char sub[256];
    for (DWORD k = 0; cards; k++) {
      DWORD len = sizeof sub;
      if (RegEnumKeyExA(cards, k, sub, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      HKEY key;
      if (RegOpenKeyExA(cards, sub, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
      char service[256] = "", desc[256] = "";
      DWORD n1 = sizeof service - 1, n2 = sizeof desc - 1;
      const bool found = RegQueryValueExA(key, "ServiceName", nullptr, nullptr, reinterpret_cast<BYTE*>(service), &n1) ==
                             ERROR_SUCCESS &&
                         EqualNoCase(service, c.name.c_str()) &&
                         RegQueryValueExA(key, "Description", nullptr, nullptr, reinterpret_cast<BYTE*>(desc), &n2) ==
                             ERROR_SUCCESS;
      RegCloseKey(key);
      if (found) {
        c.description = desc;
        break;
      }
    }
    for (const CaptureAdapter& a : ip)
      if (a.name == c.name) {
        c.address = a.address;
        memcpy(c.addressText, a.addressText, sizeof c.addressText);
        break;
      }
    out.push_back(c);
  }
  if (cards) RegCloseKey(cards);
}

// The system's adapter behind a capture adapter's name: the GUID in braces
// that every method's name holds on Windows, else the whole name.
bool SameName(const IP_ADAPTER_ADDRESSES* a, const CaptureAdapter& c) {
  const size_t brace = c.name.find('{');
  const std::string key = brace == std::string::npos ? c.name : c.name.substr(brace);
  if (key.empty()) return false;
  if (a->AdapterName && EqualNoCase(a->AdapterName, key.c_str())) return true;
  char friendly[260] = "";
  return a->FriendlyName &&
         WideCharToMultiByte(CP_ACP, 0, a->FriendlyName, -1, friendly, sizeof friendly, nullptr, nullptr) > 0 &&
         EqualNoCase(friendly, key.c_str());
}

bool HasIPv4(const IP_ADAPTER_ADDRESSES* a, uint32_t address) {
  for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next)
    if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET &&
        reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr == address)
      return true;
  return false;
}

void AddUnique(std::vector<IpAddress>& out, const IpAddress& a, size_t limit) {
  if (out.size() >= limit) return;
  for (const IpAddress& o : out)
    if (o == a) return;
  out.push_back(a);
}

}  // namespace

std::vector<IpAddress> AdapterIPv6Addresses(const CaptureAdapter& adapter, size_t limit) {
  std::vector<IpAddress> out;
  HMODULE ip = LoadLibraryA("iphlpapi.dll");
  auto get = ip ? reinterpret_cast<GetAdaptersAddressesFn>(
                      reinterpret_cast<void*>(GetProcAddress(ip, "GetAdaptersAddresses")))
                : nullptr;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 0;
  std::vector<uint8_t> buf;
  // Adapters may come between the two calls: a few tries with room to spare.
  for (int tries = 0; get && tries < 3; tries++) {
    buf.assign(size_t(size) + 4096, 0);
    size = ULONG(buf.size());
    const ULONG r = get(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    if (r == ERROR_SUCCESS) break;
    buf.clear();
    if (r != ERROR_BUFFER_OVERFLOW) break;
  }
  if (!buf.empty()) {
    const auto* first = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buf.data());
    const IP_ADAPTER_ADDRESSES* match = nullptr;
    for (const IP_ADAPTER_ADDRESSES* a = first; a && !match; a = a->Next)
      if (SameName(a, adapter)) match = a;
    for (const IP_ADAPTER_ADDRESSES* a = first; a && !match && adapter.address; a = a->Next)
      if (HasIPv4(a, adapter.address)) match = a;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = match ? match->FirstUnicastAddress : nullptr; u; u = u->Next)
      if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET6)
        AddUnique(out, IpAddress::V6(reinterpret_cast<const sockaddr_in6*>(u->Address.lpSockaddr)->sin6_addr.s6_addr),
                  limit);
  }
  if (ip) FreeLibrary(ip);
  for (const IpAddress& a : adapter.addresses6) AddUnique(out, a, limit);
  return out;
}

bool AdapterList::MethodAvailable(int method) {
  switch (method) {
    case 1: return true;
    case 2: return CaptureLibrary().bound();
    case 3: return LoadNetMonLibrary();
    case 4: return LoadNetMon3Library();
    default: return false;
  }
}

void AdapterList::Enumerate(int method) {
  std::vector<CaptureAdapter>& list = lists_[Slot(method)];
  list.clear();
  if (method == 1) EnumerateRawSockets(list);
  else if (method == 4) EnumerateNetMon3(list);
  else if (method == 3)
    for (const NetMonAdapter& n : EnumerateNetMonAdapters(nullptr, false)) {
      CaptureAdapter c;
      c.method = 3;
      c.name = n.name;
      c.description = n.description;
      c.address = n.address;
      memcpy(c.addressText, n.addressText, sizeof c.addressText);
      list.push_back(c);
    }
  else if (method == 2 || method < 1 || method > 4) EnumeratePacketCapture(list);
}

const CaptureAdapter* AdapterList::AdapterAt(int method, size_t position) const {
  const auto& l = lists_[Slot(method)];
  return position < l.size() ? &l[position] : nullptr;
}

const CaptureAdapter* AdapterList::FindByName(int method, const char* name) const {
  for (const CaptureAdapter& a : lists_[Slot(method)]) {
    const bool same = method >= 3 ? EqualNoCase(a.name.c_str(), name) : a.name == name;
    if (same) return &a;
  }
  return nullptr;
}

char* StoredAdapterName(Options& o, int method) {
  switch (method) {
    case 1: return o.AdapterName;
    case 3: return o.NetMonAdapterName;
    case 4: return o.NetMon3AdapterName;
    default: return o.PCapAdapterName;
  }
}

bool ResolveCaptureAdapter(HWND owner, Options& o, AdapterList& list, CaptureAdapter* out) {
  for (;;) {
    list.Enumerate(o.CaptureMethod);
    const char* name = StoredAdapterName(o, o.CaptureMethod);
    if (name[0]) {
      if (const CaptureAdapter* a = list.FindByName(o.CaptureMethod, name)) {
        *out = *a;
        return true;
      }
    }
    if (!ShowCaptureOptions(owner, o, list)) return false;
  }
}

// ---------------------------------------------------------------------------
// Registry enrichment of the listed adapters.

namespace {

struct NetInterfaceInfo {
  std::string guid, description, instanceId, connectionName, ipAddress;
  uint8_t mac[6] = {};
};

std::string RegString(HKEY key, const char* value, size_t max) {
  char buf[512] = "";
  DWORD size = sizeof buf - 1, type = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
    return "";
  if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) return "";
  buf[size < sizeof buf ? size : sizeof buf - 1] = 0;
  std::string s(buf);  // the first string of a multi-string
  return s.substr(0, max);
}

DWORD RegDword(HKEY key, const char* value) {
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return v;
}

std::vector<NetInterfaceInfo> ReadInterfaces() {
  std::vector<NetInterfaceInfo> out;
  HKEY software, ccs;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &software) != ERROR_SUCCESS) return out;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &ccs) != ERROR_SUCCESS) {
    RegCloseKey(software);
    return out;
  }
  HKEY ifs;
  if (RegOpenKeyExA(ccs, "Services\\Tcpip\\Parameters\\Interfaces", 0, KEY_READ, &ifs) == ERROR_SUCCESS) {
    char name[256];
    for (DWORD i = 0;; i++) {
      DWORD len = sizeof name;
      if (RegEnumKeyExA(ifs, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      NetInterfaceInfo n;
      n.guid = std::string(name).substr(0, 63);
      HKEY k;
      if (RegOpenKeyExA(ifs, name, 0, KEY_READ, &k) == ERROR_SUCCESS) {
        n.ipAddress = RegString(k, RegDword(k, "EnableDHCP") ? "DhcpIPAddress" : "IPAddress", 63);
        RegCloseKey(k);
      }
      char path[400];
      snprintf(path, sizeof path,
               "Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\%s\\Connection", name);
      if (RegOpenKeyExA(ccs, path, 0, KEY_READ, &k) == ERROR_SUCCESS) {
        n.connectionName = RegString(k, "Name", 63);
        n.instanceId = RegString(k, "PnpInstanceID", 255);
        RegCloseKey(k);
      }
      out.push_back(n);
    }
    RegCloseKey(ifs);
  }
  HKEY cards;
  if (RegOpenKeyExA(software, "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards", 0, KEY_READ, &cards) ==
      ERROR_SUCCESS) {
    char name[256];
    for (DWORD i = 0;; i++) {
      DWORD len = sizeof name;
      if (RegEnumKeyExA(cards, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      HKEY k;
      if (RegOpenKeyExA(cards, name, 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
      const std::string service = RegString(k, "ServiceName", 255), desc = RegString(k, "Description", 255);
      RegCloseKey(k);
      if (service.empty() || desc.empty()) continue;
      for (NetInterfaceInfo& n : out)
        if (EqualNoCase(n.guid.c_str(), service.c_str())) {
          n.description = desc;
          break;
        }
    }
    RegCloseKey(cards);
  }
  for (NetInterfaceInfo& n : out) {
    if (n.instanceId.empty() || !n.description.empty()) continue;
    HKEY k;
    if (RegOpenKeyExA(ccs, ("Enum\\" + n.instanceId).c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) {
      n.description = RegString(k, "DeviceDesc", 255);
      RegCloseKey(k);
    }
  }
  for (NetInterfaceInfo& n : out) {
    size_t semi = n.description.rfind(';');
    if (semi != std::string::npos) n.description = n.description.substr(semi + 1);
  }
  // MAC addresses: the interface table row with the adapter's physical address.
  HMODULE ip = LoadLibraryA("iphlpapi.dll");
  if (ip) {
    auto getInfo = reinterpret_cast<GetAdaptersInfoFn>(reinterpret_cast<void*>(GetProcAddress(ip, "GetAdaptersInfo")));
    auto getIf = reinterpret_cast<GetIfTableFn>(reinterpret_cast<void*>(GetProcAddress(ip, "GetIfTable")));
    ULONG size = 0, ifSize = 0;
    if (getInfo && getIf && getInfo(nullptr, &size) == ERROR_BUFFER_OVERFLOW &&
        getIf(nullptr, &ifSize, FALSE) == ERROR_INSUFFICIENT_BUFFER) {
      std::vector<uint8_t> a(size + 1000), t(ifSize + 1000);
      size += 1000;
      ifSize += 1000;
      auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(a.data());
      auto* table = reinterpret_cast<MIB_IFTABLE*>(t.data());
      if (getInfo(info, &size) == 0 && getIf(table, &ifSize, FALSE) == 0) {
        for (IP_ADAPTER_INFO* ad = info; ad; ad = ad->Next) {
          for (DWORD r = 0; r < table->dwNumEntries; r++) {
            const MIB_IFROW& row = table->table[r];
            if (row.dwPhysAddrLen != 6 || ad->AddressLength != 6 || memcmp(row.bPhysAddr, ad->Address, 6)) continue;
            for (NetInterfaceInfo& n : out)
              if (EqualNoCase(n.guid.c_str(), ad->AdapterName)) memcpy(n.mac, row.bPhysAddr, 6);
          }
        }
      }
    }
    FreeLibrary(ip);
  }
  RegCloseKey(ccs);
  RegCloseKey(software);
  return out;
}

// ---------------------------------------------------------------------------
// The dialog.

struct CaptureOptionsData {
  Options* options;
  AdapterList* adapters;
  int method;
  std::string names[4];
  int promiscuous, firewall;
  bool initialising;
};

void ApplyEnableRules(HWND dlg, const CaptureOptionsData& d) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  GetVersionExA(&v);
  EnableWindow(GetDlgItem(dlg, IDC_PROMISCUOUS), d.method == 2 || d.method == 4);
  EnableWindow(GetDlgItem(dlg, IDC_WIFI_MONITOR), d.method == 4 && v.dwMajorVersion > 5);
  EnableWindow(GetDlgItem(dlg, IDC_FIREWALL), d.method == 1);
}

void FillList(HWND dlg, CaptureOptionsData& d) {
  HWND list = GetDlgItem(dlg, IDC_ADAPTER_LIST);
  const std::vector<NetInterfaceInfo> infos = ReadInterfaces();
  ListView_DeleteAllItems(list);
  const std::vector<CaptureAdapter>& adapters = d.adapters->adapters(d.method);
  bool chosen = false;
  for (size_t pos = 0; pos < adapters.size(); pos++) {
    const CaptureAdapter& a = adapters[pos];
    const bool current = a.name == d.names[d.method - 1];
    const NetInterfaceInfo* info = nullptr;
    const size_t brace = a.name.find('{');
    if (brace != std::string::npos) {
      const std::string guid = a.name.substr(brace);
      for (const NetInterfaceInfo& n : infos)
        if (EqualNoCase(n.guid.c_str(), guid.c_str())) {
          info = &n;
          break;
        }
    }
    std::string ip = a.addressText;
    if (!a.address && info && !info->ipAddress.empty()) ip = info->ipAddress;
    std::string desc = a.description.substr(0, 255);
    if (d.method == 2 && info && !info->description.empty()) desc = info->description;
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
    item.iItem = int(pos);
    item.pszText = const_cast<char*>(ip.c_str());
    item.lParam = LPARAM(pos);
    if (current) {
      item.state = item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
      chosen = true;
    }
    const int row = ListView_InsertItem(list, &item);
    ListView_SetItemText(list, row, 1, const_cast<char*>(desc.c_str()));
    if (info) {
      char mac[32] = "";
      const uint8_t* m = info->mac;
      if (m[0] | m[1] | m[2] | m[3] | m[4] | m[5])
        snprintf(mac, sizeof mac, "%2.2x-%2.2x-%2.2x-%2.2x-%2.2x-%2.2x", m[0], m[1], m[2], m[3], m[4], m[5]);
      ListView_SetItemText(list, row, 2, const_cast<char*>(info->connectionName.c_str()));
      ListView_SetItemText(list, row, 3, mac);
      ListView_SetItemText(list, row, 4, const_cast<char*>(info->instanceId.c_str()));
      ListView_SetItemText(list, row, 5, const_cast<char*>(info->guid.c_str()));
    }
  }
  if (!chosen) {
    const int count = ListView_GetItemCount(list);
    int pick = count ? 0 : -1;
    char text[64];
    for (int i = 0; i < count; i++) {
      ListView_GetItemText(list, i, 0, text, sizeof text);
      if (text[0]) pick = i;
    }
    if (pick >= 0) ListView_SetItemState(list, pick, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  }
}

INT_PTR CALLBACK CaptureOptionsProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* d = reinterpret_cast<CaptureOptionsData*>(GetWindowLongPtrA(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG: {
      d = reinterpret_cast<CaptureOptionsData*>(lp);
      SetWindowLongPtrA(dlg, DWLP_USER, lp);
      TranslateDialog(dlg, IDD_CAPTURE_OPTIONS);
      d->initialising = true;
      HWND list = GetDlgItem(dlg, IDC_ADAPTER_LIST);
      ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP);
      for (int c = 0; c < 6; c++) {
        LVCOLUMNA col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.cx = c == 0 ? 120 : 250;
        col.pszText = const_cast<char*>(GetString(1051 + c));
        ListView_InsertColumn(list, c, &col);
      }
      FillList(dlg, *d);
      for (int m = 1; m <= 4; m++) {
        CheckDlgButton(dlg, IDC_METHOD_GROUP + m, d->method == m ? BST_CHECKED : BST_UNCHECKED);
        EnableWindow(GetDlgItem(dlg, IDC_METHOD_GROUP + m), AdapterList::MethodAvailable(m));
      }
      CheckDlgButton(dlg, IDC_PROMISCUOUS, d->promiscuous ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(dlg, IDC_FIREWALL, d->firewall ? BST_CHECKED : BST_UNCHECKED);
      SetDlgItemTextA(dlg, IDC_RAW_WARNING, GetString(27));
      SetFocus(list);
      ApplyEnableRules(dlg, *d);
      d->initialising = false;
      ApplyRightToLeft(dlg, 3);
      return FALSE;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      if (id >= IDC_METHOD_RAW && id <= IDC_METHOD_NETMON3 && HIWORD(wp) == BN_CLICKED && d &&
          !d->initialising) {
        d->method = id - IDC_METHOD_GROUP;
        FillList(dlg, *d);
        ApplyEnableRules(dlg, *d);
        return TRUE;
      }
      if (id == IDC_WIFI_MONITOR) {
        WinExec("nmwifi.exe", SW_SHOW);
        return TRUE;
      }
      if (id == IDOK) {
        for (int m = 1; m <= 4; m++)
          if (IsDlgButtonChecked(dlg, IDC_METHOD_GROUP + m) == BST_CHECKED) {
            d->method = m;
            break;
          }
        d->promiscuous = IsDlgButtonChecked(dlg, IDC_PROMISCUOUS) == BST_CHECKED;
        d->firewall = IsDlgButtonChecked(dlg, IDC_FIREWALL) == BST_CHECKED;
        HWND list = GetDlgItem(dlg, IDC_ADAPTER_LIST);
        if (ListView_GetSelectedCount(list) == 1) {
          LVITEMA item{};
          item.mask = LVIF_PARAM;
          item.iItem = ListView_GetNextItem(list, -1, LVNI_SELECTED);
          ListView_GetItem(list, &item);
          if (const CaptureAdapter* a = d->adapters->AdapterAt(d->method, size_t(item.lParam)))
            d->names[d->method - 1] = a->name;
        }
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (id == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK GuardedCaptureOptionsProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return GuardedDialogProc(CaptureOptionsProc, dlg, msg, wp, lp);
}

}  // namespace

bool ShowCaptureOptions(HWND owner, Options& o, AdapterList& adapters) {
  for (int m = 1; m <= 4; m++) adapters.Enumerate(m);
  CaptureOptionsData d{};
  d.options = &o;
  d.adapters = &adapters;
  d.method = o.CaptureMethod >= 1 && o.CaptureMethod <= 4 ? o.CaptureMethod : 2;
  for (int m = 1; m <= 4; m++) d.names[m - 1] = StoredAdapterName(o, m);
  d.promiscuous = o.PromiscuousMode;
  d.firewall = o.AddToWindowsFirewall;
  if (!AdapterList::MethodAvailable(2) && !AdapterList::MethodAvailable(3) && !AdapterList::MethodAvailable(4))
    d.method = 1;
  if (DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CAPTURE_OPTIONS), owner,
                      GuardedCaptureOptionsProc, reinterpret_cast<LPARAM>(&d)) != IDOK)
    return false;
  o.CaptureMethod = d.method;
  for (int m = 1; m <= 4; m++) snprintf(StoredAdapterName(o, m), 260, "%s", d.names[m - 1].c_str());
  o.PromiscuousMode = d.promiscuous;
  o.AddToWindowsFirewall = d.firewall;
  return true;
}
