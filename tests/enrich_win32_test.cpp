// The enrichment's system parts against the real (or Wine's) Windows.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <thread>

#include "enrich/firewall_win32.h"
#include "enrich/process_attribution.h"
#include "enrich/resolver.h"
#include "enrich/system_tables_win32.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {
uint16_t PortOf(SOCKET s) {
  sockaddr_in a{};
  int n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

void Feed(ConversationTable& table, uint16_t sport, uint16_t dport) {
  Bytes p = Ipv4Packet(6, "127.0.0.1", "127.0.0.1", sport, dport, 10);
  PacketHeader h;
  h.length = uint32_t(p.size());
  table.UpdateConversation(p.data(), h);
}
}  // namespace

TEST(EnrichWin32Test, OwnLoopbackConnectionNamesThisProcessAndUser) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(server, 1), 0);
  int n = sizeof a;
  getsockname(server, reinterpret_cast<sockaddr*>(&a), &n);
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  SOCKET accepted = accept(server, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);
  // Wine learns a socket's owner once the program itself has used it, so
  // the client sends; the server side's row stays without a process there.
  char byte = 'x';
  ASSERT_EQ(send(client, &byte, 1, 0), 1);
  ASSERT_EQ(recv(accepted, &byte, 1, 0), 1);

  Options options;
  options.GetProcessInfo = 1;
  ConversationTable table(options, nullptr);
  table.local.v4 = Addr("127.0.0.1");
  Win32SystemTables system;
  ProcessAttributor attributor(options, system);
  table.processes = &attributor;
  Feed(table, PortOf(client), PortOf(server));
  ASSERT_EQ(table.count(), 1u);
  std::vector<EndpointEntry> entries;
  EXPECT_TRUE(system.ReadEndpoints(&entries));
  EXPECT_EQ(system.route, 'A');
  const EndpointEntry* row = nullptr;
  for (const EndpointEntry& e : entries)
    if (e.kind == 1 && e.localAddress == Addr("127.0.0.1") && EndpointPort(e.localPort) == PortOf(client) &&
        EndpointPort(e.remotePort) == PortOf(server))
      row = &e;
  ASSERT_NE(row, nullptr) << "the client's row is missing";
  EXPECT_EQ(row->state, 5);
  EXPECT_EQ(row->pid, GetCurrentProcessId());
  // The conversation's local side is the server's (the packet goes to
  // 127.0.0.1); whichever row names the owner, it is this process.
  const ProcessInfo* p = attributor.Get(table.at(0).processIndex);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->processId, GetCurrentProcessId());
  EXPECT_NE(strstr(p->fileName, "pakrill_tests"), nullptr) << p->fileName;
  char name[256];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetUserNameA(name, &size));
  const std::string user = p->user;
  EXPECT_TRUE(user.size() > strlen(name) && user.substr(user.size() - strlen(name) - 1) == std::string("\\") + name)
      << user << " / " << name;

  // The IPv6 table's rows: a connection over [::1] (Wine 8 names no owner
  // of an IPv6 socket, so only its endpoints and state are held).
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  SOCKET server6 = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP), client6 = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  n = sizeof a6;
  ASSERT_TRUE(!bind(server6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) && !listen(server6, 1) &&
              !getsockname(server6, reinterpret_cast<sockaddr*>(&a6), &n) &&
              !connect(client6, reinterpret_cast<sockaddr*>(&a6), sizeof a6));
  SOCKET accepted6 = accept(server6, nullptr, nullptr);
  EXPECT_TRUE(system.ReadEndpoints(&entries));
  const IpAddress loopback6 = IpAddress::V6(a6.sin6_addr.s6_addr);
  const uint16_t port6 = ntohs(a6.sin6_port);
  int rows6 = 0;
  for (const EndpointEntry& e : entries)
    rows6 += e.family == 23 && e.kind == 1 && e.state == 5 && EndpointLocal(e) == loopback6 &&
             EndpointRemote(e) == loopback6 && (EndpointPort(e.localPort) == port6) != (EndpointPort(e.remotePort) == port6);
  EXPECT_EQ(rows6, 2) << "both ends of the [::1] connection";
  for (SOCKET s : {accepted6, client6, server6, accepted, client, server}) closesocket(s);
  WSACleanup();
}

TEST(EnrichWin32Test, ResolvesLoopbackAndTheFirewallFailsQuietly) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Options options;
  ConversationTable table(options, nullptr);
  table.local.v4 = Addr("127.0.0.1");
  Feed(table, 1025, 80);
  HostResolver resolver(table, SystemHostLookup());
  table.resolver = &resolver;
  table.QueueNameLookups();
  for (int i = 0; i < 200 && resolver.BusySlots(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  resolver.Deliver();
  EXPECT_NE(table.LocalHost(table.at(0))[0], 0);
  EXPECT_STREQ(table.LocalHost(table.at(0)), table.RemoteHost(table.at(0)));
  printf("127.0.0.1 is %s\n", table.LocalHost(table.at(0)));

  // Where the firewall's classes are missing the calls fail; where they
  // exist, adding and removing both succeed.
  CoInitialize(nullptr);
  {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    Win32Firewall fw;
    const bool present = fw.Open();
    fw.Close();
    EXPECT_EQ(AddToFirewall(fw, exe), present);
    EXPECT_EQ(RemoveFromFirewall(fw, exe), present);
    printf("firewall objects %s (0x%08lx)\n", present ? "present" : "missing", static_cast<unsigned long>(fw.lastResult));
  }
  CoUninitialize();
  WSACleanup();
}
