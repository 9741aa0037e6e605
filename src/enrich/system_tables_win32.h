// The system's TCP/UDP owner tables and process facts, through entry points
// looked up at run time.
#pragma once
#include <windows.h>

#include "enrich/process_attribution.h"

class Win32SystemTables : public SystemTables {
 public:
  Win32SystemTables();
  ~Win32SystemTables() override;
  bool Supported() override;
  bool ReadEndpoints(std::vector<EndpointEntry>* out) override;
  void DescribeProcess(uint32_t pid, char (&path)[261], char (&user)[64]) override;
  // Which route the last read took: 'A' extended tables, 'B' the older
  // owner tables, 'C' tables without owners, 0 none.
  char route = 0;

 private:
  void Resolve();
  bool ExtendedQuery(bool tcp, ULONG family, std::vector<EndpointEntry>* out);
  bool StackQuery(bool tcp, std::vector<EndpointEntry>* out);
  bool PlainQuery(bool tcp, std::vector<EndpointEntry>* out);
  void User(HANDLE process, uint32_t pid, char (&user)[64]);

  bool resolved_ = false;
  HMODULE iphlpapi_ = nullptr, psapi_ = nullptr, winsta_ = nullptr;
  void* getTcpTable_ = nullptr, *getUdpTable_ = nullptr, *tcpExStack_ = nullptr, *udpExStack_ = nullptr,
        *extTcp_ = nullptr, *extUdp_ = nullptr, *enumModules_ = nullptr, *moduleFileName_ = nullptr,
        *winstationSid_ = nullptr;
  int supported_ = -1;
};
