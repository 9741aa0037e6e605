// The capture methods in this process: raw sockets through fake Winsock
// calls (and the real socket where it captures), the Network Monitor
// methods through the stand-in DLLs beside the test.
#include "capture/packet_sniffer_win32.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "capture/conversation_table.h"
#include "packetfile/packet_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records what reaches the pipeline, and on which thread.
struct Recorder : CaptureEngine {
  Recorder(Options& o, ConversationTable& t, PacketFile& f) : CaptureEngine(o, t, f) {}
  void OnPacket(const uint8_t* p, int32_t n, const uint8_t* dst, const uint8_t* src, FileTime) override {
    packets.emplace_back(p, p + n);
    withMacs.push_back(dst && src);
    if (GetCurrentThreadId() != mainThread) offThread++;
  }
  std::vector<Bytes> packets;
  std::vector<bool> withMacs;
  DWORD mainThread = GetCurrentThreadId();
  int offThread = 0;
};

struct Rig {
  Options options;
  PacketFile file;
  ConversationTable table{options, &file};
  Recorder engine{options, table, file};
  CaptureMethods methods{engine};
  Rig() { options.captureActive = 1; }
};

void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  MSG m;
  do {
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  } while (GetTickCount() - start < ms);
}

// Pumps until `done` or the time is up.
template <typename F>
bool PumpUntil(F done, DWORD ms) {
  const DWORD start = GetTickCount();
  MSG m;
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  return true;
}

CaptureAdapter Loopback(int method) {
  CaptureAdapter a;
  a.name = "LoopbackInterface";
  a.address = htonl(INADDR_LOOPBACK);
  a.method = method;
  return a;
}

// Fake Winsock: the datagrams queued here are what recv returns.
struct FakeSocket {
  std::deque<Bytes> queue;
  sockaddr_in bound{};
  HWND window = nullptr;
  u_int message = 0;
  long events = -1;
  DWORD ioctlCode = 0;
  int recvCalls = 0, closed = 0, lastRecvLimit = 0;
  bool failBind = false;
} g_fake;

SOCKET WSAAPI FakeSocketFn(int, int type, int) { return type == SOCK_RAW ? SOCKET(77) : INVALID_SOCKET; }
int WSAAPI FakeBind(SOCKET, const sockaddr* a, int) {
  memcpy(&g_fake.bound, a, sizeof g_fake.bound);
  return g_fake.failBind ? SOCKET_ERROR : 0;
}
int WSAAPI FakeSelect(SOCKET, HWND w, u_int msg, long ev) {
  g_fake.window = w;
  g_fake.message = msg;
  g_fake.events = ev;
  return 0;
}
int WSAAPI FakeSetsockopt(SOCKET, int, int, const char*, int) { return 0; }
int WSAAPI FakeIoctl(SOCKET, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPWSAOVERLAPPED,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE) {
  g_fake.ioctlCode = code;
  return SOCKET_ERROR;  // receive-all refused: the capture runs all the same
}
int WSAAPI FakeRecv(SOCKET, char* buf, int len, int) {
  g_fake.recvCalls++;
  g_fake.lastRecvLimit = len;
  if (g_fake.queue.empty()) return SOCKET_ERROR;
  Bytes d = g_fake.queue.front();
  g_fake.queue.pop_front();
  const int n = int(d.size()) < len ? int(d.size()) : len;
  memcpy(buf, d.data(), size_t(n));
  return n;
}
int WSAAPI FakeClose(SOCKET) {
  g_fake.closed++;
  return 0;
}

void UseFakes(CaptureMethods& m) {
  g_fake = FakeSocket();
  m.rawCalls.socket = FakeSocketFn;
  m.rawCalls.bind = FakeBind;
  m.rawCalls.asyncSelect = FakeSelect;
  m.rawCalls.setsockopt = FakeSetsockopt;
  m.rawCalls.ioctl = FakeIoctl;
  m.rawCalls.recv = FakeRecv;
  m.rawCalls.closesocket = FakeClose;
}

Bytes Datagram(size_t size, uint8_t fill) {
  Bytes d(size, fill);
  d[0] = 0x45;
  d[2] = uint8_t(size >> 8);
  d[3] = uint8_t(size);
  return d;
}

}  // namespace

TEST(RawSockets, DatagramsWholeOnePerNotification) {
  Rig rig;
  UseFakes(rig.methods);
  ASSERT_NE(rig.methods.handle(), nullptr) << GetLastError();
  ASSERT_TRUE(rig.methods.Start(Loopback(1)));
  EXPECT_TRUE(rig.engine.running);
  EXPECT_EQ(g_fake.bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(g_fake.window, rig.methods.handle());
  EXPECT_EQ(g_fake.message, 1075u);
  EXPECT_EQ(g_fake.events, FD_READ);
  EXPECT_EQ(g_fake.ioctlCode, 0x98000001u);

  // Larger than 4095 bytes and the largest IPv4 datagram: both kept whole.
  g_fake.queue = {Datagram(5000, 'a'), Datagram(65535, 'b'), Datagram(60, 'c')};
  PostMessageA(rig.methods.handle(), 1075, 77, WSAMAKESELECTREPLY(FD_READ, 0));
  PostMessageA(rig.methods.handle(), 1075, 77, WSAMAKESELECTREPLY(FD_READ, 0));
  PostMessageA(rig.methods.handle(), 1075, 77, WSAMAKESELECTREPLY(FD_CLOSE, 0));  // reads nothing
  Pump(50);
  ASSERT_EQ(rig.engine.packets.size(), 2u) << g_fake.recvCalls << " " << g_fake.queue.size();
  EXPECT_EQ(rig.engine.packets[0], Datagram(5000, 'a'));
  EXPECT_EQ(rig.engine.packets[1], Datagram(65535, 'b'));
  EXPECT_FALSE(rig.engine.withMacs[0]);
  EXPECT_EQ(g_fake.recvCalls, 2);
  EXPECT_EQ(g_fake.lastRecvLimit, 65535);

  // A notification still queued when the capture stops reads nothing.
  PostMessageA(rig.methods.handle(), 1075, 77, WSAMAKESELECTREPLY(FD_READ, 0));
  rig.methods.Stop();
  Pump(30);
  EXPECT_FALSE(rig.engine.running);
  EXPECT_EQ(g_fake.events, 0);  // notifications cancelled
  EXPECT_EQ(g_fake.closed, 1);
  EXPECT_EQ(g_fake.recvCalls, 2);

  // Restart, then a start whose bind fails closes the socket and fails.
  ASSERT_TRUE(rig.methods.Start(Loopback(1)));
  PostMessageA(rig.methods.handle(), 1075, 77, WSAMAKESELECTREPLY(FD_READ, 0));
  Pump(30);
  EXPECT_EQ(rig.engine.packets.size(), 3u);
  rig.methods.Stop();
  g_fake.failBind = true;
  EXPECT_FALSE(rig.methods.Start(Loopback(1)));
  EXPECT_FALSE(rig.engine.running);
  EXPECT_EQ(g_fake.closed, 3);
}

// The real socket where the system lets it capture (as an administrator on
// Windows); elsewhere the probe says no and the first start picks another method.
TEST(RawSockets, RealSocketOnLoopback) {
  WSADATA w;
  WSAStartup(MAKEWORD(2, 0), &w);
  if (!RawSocketsCanCapture()) GTEST_SKIP() << "raw sockets do not capture here";
  Rig rig;
  ASSERT_TRUE(rig.methods.Start(Loopback(1)));
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(9);  // discard
  std::string big(6000, 'z');
  sendto(udp, big.data(), int(big.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  closesocket(udp);
  EXPECT_TRUE(PumpUntil([&] {
    for (const Bytes& p : rig.engine.packets)
      if (p.size() == 6028) return true;
    return false;
  }, 2000));
  rig.methods.Stop();
}
