// A Windows program that talks to itself over loopback TCP, on the port
// given, and UDP, on the next, so a capture sees conversations owned by a
// known process. It exchanges a few lines, holds the sockets for a while,
// and writes its process id beside itself.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  WSADATA w;
  if (WSAStartup(MAKEWORD(2, 2), &w)) return 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(u_short(atoi(argv[1])));
  SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a) || listen(server, 1)) return 1;
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a)) return 1;
  SOCKET peer = accept(server, nullptr, nullptr);
  if (peer == INVALID_SOCKET) return 1;
  char line[64];
  for (int i = 0; i < 3; i++) {
    const int n = snprintf(line, sizeof line, "ping %d\n", i);
    send(client, line, n, 0);
    recv(peer, line, sizeof line, 0);
    send(peer, "pong\n", 5, 0);
    recv(client, line, sizeof line, 0);
    Sleep(300);
  }
  SOCKET udpServer = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), udpClient = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  a.sin_port = htons(u_short(atoi(argv[1]) + 1));
  if (bind(udpServer, reinterpret_cast<sockaddr*>(&a), sizeof a)) return 1;
  for (int i = 0; i < 3; i++) {
    sendto(udpClient, "ping\n", 5, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    sockaddr_in from{};
    int fromSize = sizeof from;
    if (recvfrom(udpServer, line, sizeof line, 0, reinterpret_cast<sockaddr*>(&from), &fromSize) > 0)
      sendto(udpServer, "pong\n", 5, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    recv(udpClient, line, sizeof line, 0);
  }
  if (FILE* f = fopen("peer.pid", "w")) fprintf(f, "%lu\n", GetCurrentProcessId()), fclose(f);
  Sleep(argc > 2 ? atoi(argv[2]) : 4000);
  closesocket(peer);
  closesocket(client);
  closesocket(server);
  closesocket(udpClient);
  closesocket(udpServer);
  WSACleanup();
  return 0;
}
