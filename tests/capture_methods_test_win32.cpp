// Raw sockets run on fake Winsock calls; the Network Monitor methods on the
// stand-in DLLs beside the test.
#include "capture/packet_sniffer_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "capture/adapters_win32.h"
#include "capture/netmon3_library_win32.h"
#include "capture/netmon_library_win32.h"
#include "standins/frame_script_win32.h"
#include "test_support.h"

namespace {

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
void Pump(DWORD ms) { PumpUntil([] { return false; }, ms); }

CaptureAdapter Adapter(int method, const char* name, uint32_t address = 0) {
  CaptureAdapter a;
  a.method = method;
  a.name = name;
  a.address = address;
  return a;
}
CaptureAdapter Loopback(int method) { return Adapter(method, "LoopbackInterface", htonl(INADDR_LOOPBACK)); }

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
  return g_fake.window = w, g_fake.message = msg, g_fake.events = ev, 0;
}
int WSAAPI FakeSetsockopt(SOCKET, int, int, const char*, int) { return 0; }
int WSAAPI FakeIoctl(SOCKET, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPWSAOVERLAPPED,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE) {
  return g_fake.ioctlCode = code, SOCKET_ERROR;  // receive-all refused: the capture runs all the same
}
int WSAAPI FakeRecv(SOCKET, char* buf, int len, int) {
  g_fake.recvCalls++, g_fake.lastRecvLimit = len;
  if (g_fake.queue.empty()) return SOCKET_ERROR;
  const Bytes d = g_fake.queue.front();
  g_fake.queue.pop_front();
  const int n = std::min(int(d.size()), len);
  memcpy(buf, d.data(), size_t(n));
  return n;
}
int WSAAPI FakeClose(SOCKET) { return g_fake.closed++, 0; }

void UseFakes(CaptureMethods& m) {
  g_fake = FakeSocket();
  m.rawCalls = {FakeSocketFn, FakeBind, FakeSelect, FakeSetsockopt, FakeIoctl, FakeRecv, FakeClose};
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
  const auto notify = [&](int event) {
    PostMessageA(rig.methods.handle(), g_fake.message, 77, WSAMAKESELECTREPLY(event, 0));
  };
  ASSERT_NE(rig.methods.handle(), nullptr) << GetLastError();
  ASSERT_TRUE(rig.methods.Start(Loopback(1)));
  EXPECT_TRUE(rig.engine.running);
  EXPECT_EQ(g_fake.bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(g_fake.window, rig.methods.handle());
  EXPECT_EQ(g_fake.events, FD_READ);
  EXPECT_EQ(g_fake.ioctlCode, 0x98000001u);

  // Larger than 4095 bytes and the largest IPv4 datagram: both kept whole.
  g_fake.queue = {Datagram(5000, 'a'), Datagram(65535, 'b'), Datagram(60, 'c')};
  notify(FD_READ);
  notify(FD_READ);
  notify(FD_CLOSE);  // reads nothing
  Pump(50);
  EXPECT_EQ(rig.engine.packets, (std::vector<Bytes>{Datagram(5000, 'a'), Datagram(65535, 'b')}));
  EXPECT_FALSE(rig.engine.withMacs[0]);
  EXPECT_EQ(g_fake.lastRecvLimit, 65535);

  // A notification still queued when the capture stops reads nothing.
  notify(FD_READ);
  rig.methods.Stop();
  Pump(30);
  EXPECT_FALSE(rig.engine.running);
  EXPECT_EQ(g_fake.events, 0);  // notifications cancelled
  EXPECT_EQ(g_fake.closed, 1);
  EXPECT_EQ(g_fake.recvCalls, 2);  // neither the close nor the late notification read

  // Restart, then a start whose bind fails closes the socket and fails.
  ASSERT_TRUE(rig.methods.Start(Loopback(1)));
  notify(FD_READ);
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
  const auto sent = [](const Bytes& p) { return p.size() == 6028; };
  EXPECT_TRUE(PumpUntil([&] { return std::any_of(rig.engine.packets.begin(), rig.engine.packets.end(), sent); }, 2000));
  rig.methods.Stop();
}

namespace {

// Both stand-ins' controls; what one lacks stays null.
struct StandIn {
  HMODULE m;
  template <typename T = long (*)()>
  T Get(const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  }
  void (*script)(const uint8_t*, size_t, int, int) = Get<decltype(script)>("StandInScript");
  long (*sent)() = Get("StandInSent");
  long (*lastMode)() = Get("StandInLastMode");
  long (*blobs)() = Get("StandInBlobsAlive");
  long (*interfaces)() = Get("StandInInterfaces");
  void Play(const std::vector<Bytes>& frames, int repeat, int batch = 1) {
    const Bytes s = standin::EncodeScript(frames);
    script(s.data(), s.size(), repeat, batch);
  }
};

// busy: the window does other work now and then.
void CaptureUntilSent(Rig& rig, const CaptureAdapter& adapter, long (*sent)(), long frames, DWORD ms = 10000,
                      bool busy = false) {
  rig.engine.packets.clear();
  const long before = sent();
  ASSERT_TRUE(rig.methods.Start(adapter));
  int work = 0;
  EXPECT_TRUE(PumpUntil([&] {
    if (busy && ++work % 64 == 0) Sleep(1);
    return sent() - before == frames;
  }, ms));
  Pump(20);
  rig.methods.Stop();
}

CaptureAdapter NetMon3Adapter(AdapterList& list, size_t position, int promiscuous) {
  list.Enumerate(4);
  const CaptureAdapter* a = list.AdapterAt(4, position);
  CaptureAdapter c = a ? *a : CaptureAdapter();
  c.promiscuous = promiscuous;
  return c;
}

}  // namespace

TEST(NetMon3, AdaptersFramesHandOffStopAndRestart) {
  ASSERT_TRUE(LoadNetMon3Library()) << "the stand-in NmApi.dll lies beside the test";
  StandIn standIn{NetMon3().module};
  ASSERT_TRUE(standIn.script && standIn.sent);
  AdapterList list;
  list.Enumerate(4);
  ASSERT_EQ(list.adapters(4).size(), 2u);
  EXPECT_EQ(list.adapters(4)[1].name, "{5A4E0000-0000-0000-0000-000000000001}");
  EXPECT_EQ(list.adapters(4)[1].description, "Stand-in adapter 1");
  EXPECT_EQ(list.adapters(4)[1].index, 1u);
  EXPECT_NE(list.FindByName(4, "{5a4e0000-0000-0000-0000-000000000001}"), nullptr);

  // Ethernet, monitor-mode 802.11, frames far beyond 8192 bytes; a runt,
  // ARP and a protected 802.11 frame are not IPv4 over a known link.
  const std::vector<Bytes> frames = {Ethernet(Datagram(60, 'e')), MonitorFrame(Datagram(80, 'w')),
                                     Bytes(10, 0), Ethernet(Datagram(9000, 'j')),
                                     Ethernet(Datagram(50, 'a'), 0x0806), MonitorFrame(Datagram(40, 'p'), 0x40),
                                     MonitorFrame(Datagram(65535, 'm'))};
  Rig rig;
  for (int round = 0; round < 2; round++) {
    standIn.Play(frames, 1);
    CaptureUntilSent(rig, NetMon3Adapter(list, 1, round == 0), standIn.sent, long(frames.size()));
    EXPECT_EQ(standIn.lastMode(), round == 0 ? 1 : 0);
    EXPECT_FALSE(rig.engine.running);
    EXPECT_EQ(rig.engine.packets, (std::vector<Bytes>{Datagram(60, 'e'), Datagram(80, 'w'), Datagram(9000, 'j'),
                                                      Datagram(65535, 'm')}));
    EXPECT_EQ(rig.engine.offThread, 0);
  }
  // An adapter that is gone: the engine refuses it and the start fails.
  CaptureAdapter gone = NetMon3Adapter(list, 0, 0);
  gone.index = 7;
  EXPECT_FALSE(rig.methods.Start(gone));
  EXPECT_FALSE(rig.engine.running);

  // Many frames from the stand-in's thread while the GUI thread also works:
  // each is counted once, none is read after its sender gave up.
  const int kFrames = 10000;
  standIn.Play({Ethernet(Datagram(100, 's'))}, kFrames);
  CaptureUntilSent(rig, NetMon3Adapter(list, 0, 0), standIn.sent, kFrames, 60000, true);
  EXPECT_EQ(rig.engine.packets.size(), size_t(kFrames));
  EXPECT_EQ(rig.methods.handOff.timedOut.load(), 0u);
  EXPECT_EQ(rig.engine.offThread, 0);

  // The GUI thread does not answer within the time-out: the frame is lost,
  // and a message that still arrives late (Windows delivers it, Wine drops
  // it) reads nothing.
  rig.engine.packets.clear();
  standIn.Play({Ethernet(Datagram(100, 't'))}, 1);
  const uint64_t late = rig.methods.handOff.late;
  ASSERT_TRUE(rig.methods.Start(NetMon3Adapter(list, 0, 0)));
  Sleep(kHandOffTimeoutMs + 400);
  Pump(50);
  EXPECT_TRUE(rig.engine.packets.empty());
  EXPECT_EQ(rig.methods.handOff.timedOut.load(), 1u);
  EXPECT_LE(rig.methods.handOff.late.load(), late + 1);
  rig.methods.Stop();
}

TEST(NetMon3, CaptureFileThroughTheLibrary) {
  ASSERT_TRUE(LoadNetMon3Library());
  // Two Ethernet frames around an ARP frame, which is not IPv4; the frames
  // keep the file's times, as our own reader gives them.
  const std::string path = TempPath("nm3.cap");
  WriteFileBytes(path, NetMonFile(2, 0, 1, {{Ethernet(Datagram(70, '1'))}, {Ethernet(Datagram(50, 'a'), 0x0806), 1},
                                            {Ethernet(Datagram(90, '2')), 2000000}}));
  Collector library, ours;
  EXPECT_TRUE(LoadNetMon3CaptureFile(library, path.c_str()));
  ASSERT_EQ(library.packets.size(), 2u);
  EXPECT_EQ(library.packets[1], Datagram(90, '2'));
  EXPECT_TRUE(ImportCaptureFile(path.c_str(), ours).opened);
  EXPECT_EQ(library.times, ours.times);
  EXPECT_EQ(library.times[1] - library.times[0], 20000000u);
  EXPECT_FALSE(LoadNetMon3CaptureFile(library, "C:\\no such file.cap"));
  // Without a frame count or the frames' times the file is not taken for an
  // empty one, nor stamped with the time of the import: the library says
  // why, and our own reader takes the file instead.
  auto without = [&](auto missing) {
    const auto saved = NetMon3().*missing;
    NetMon3().*missing = nullptr;
    Collector c;
    SetNetMonFileImporter(LoadNetMon3CaptureFile);
    EXPECT_TRUE(ImportCaptureFile(path.c_str(), c).opened);
    SetNetMonFileImporter(nullptr);
    EXPECT_NE(strstr(NetMon3().fileError, "NmApi.dll has no NmGetFrame"), nullptr);
    NetMon3().*missing = saved;
    EXPECT_EQ(c.times, ours.times);
  };
  without(&NetMon3Library::NmGetFrameCount);
  without(&NetMon3Library::NmGetFrameTimeStamp);
}

TEST(NetMonDriver, BlobsBatchesAndTheGuiThread) {
  ASSERT_TRUE(LoadNetMonLibrary()) << "the stand-in npptools.dll lies beside the test";
  StandIn standIn{NetMon().module};
  ASSERT_TRUE(standIn.script && standIn.blobs);
  AdapterList list;
  list.Enumerate(3);
  ASSERT_EQ(list.adapters(3).size(), 2u);  // the blob without a MAC address is not listed
  EXPECT_EQ(list.adapters(3)[1].name, "02-00-5E-10-00-02");
  EXPECT_EQ(standIn.blobs(), 0);
  EXPECT_NE(list.FindByName(3, "02-00-5e-10-00-02"), nullptr);

  const std::vector<Bytes> frames = {Ethernet(Datagram(60, 'e')), Ethernet(Datagram(50, 'a'), 0x0806),
                                     Bytes(12, 0), Ethernet(Datagram(9000, 'j')),
                                     MonitorFrame(Datagram(80, 'w'))};
  Rig rig;
  for (int round = 0; round < 2; round++) {
    standIn.Play(frames, 1, 3);
    CaptureUntilSent(rig, Adapter(3, "02-00-5E-10-00-02"), standIn.sent, long(frames.size()));
    ASSERT_EQ(rig.engine.packets.size(), 2u);
    EXPECT_EQ(rig.engine.packets[1], Datagram(9000, 'j'));
    EXPECT_TRUE(rig.engine.withMacs[0]);
    EXPECT_EQ(rig.engine.offThread, 0);
    EXPECT_EQ(standIn.blobs(), 0);
    EXPECT_EQ(standIn.interfaces(), 0);
  }

  // Many frames in batches from the driver's thread: each counted once.
  standIn.Play({Ethernet(Datagram(100, 's'))}, 8000, 8);
  CaptureUntilSent(rig, Adapter(3, "02-00-5E-10-00-01"), standIn.sent, 8000, 60000);
  EXPECT_EQ(rig.engine.packets.size(), 8000u);

  // An adapter that is gone, and a name that differs only in case: the start
  // filters the blobs by exact name and fails, leaving no blob behind.
  EXPECT_FALSE(rig.methods.Start(Adapter(3, "02-00-5E-10-00-09")));
  EXPECT_FALSE(rig.methods.Start(Adapter(3, "02-00-5e-10-00-01")));
  EXPECT_FALSE(rig.engine.running);
  EXPECT_EQ(standIn.blobs(), 0);
}

// Last: binds the copy that lacks NmStartCapture for the rest of the process.
TEST(NetMon3, MissingEntryPointFailsTheStart) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  strcpy(strrchr(path, '\\') + 1, "nostart\\NmApi.dll");
  HMODULE m = LoadLibraryA(path);
  ASSERT_TRUE(m);
  BindNetMon3Library(m);
  EXPECT_EQ(NetMon3().NmStartCapture, nullptr);
  AdapterList list;
  Rig rig;
  EXPECT_FALSE(rig.methods.Start(NetMon3Adapter(list, 0, 0)));
  EXPECT_FALSE(rig.engine.running);
  rig.methods.Stop();
}
