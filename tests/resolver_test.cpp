#include "enrich/resolver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gtest/gtest.h"
#include "test_support.h"

namespace {
// Names by address; a lookup of a held address waits until it is released
// (or two minutes pass, so a broken test cannot hang: starting a thousand
// threads under ThreadSanitizer on a busy machine can take half a minute).
class FakeLookup : public HostLookup {
 public:
  bool Reverse(uint32_t address, std::string* name) override {
    std::unique_lock<std::mutex> lock(m);
    calls++;
    called.notify_all();
    cv.wait_for(lock, std::chrono::seconds(120), [&] { return !held.count(address); });
    auto it = names.find(address);
    if (it == names.end()) return false;
    *name = it->second;
    return true;
  }
  bool Reverse6(const uint8_t (&address)[16], std::string* name) override {
    char text[kIpAddressTextSize];
    FormatIPv6(address, text, sizeof text);
    std::lock_guard<std::mutex> lock(m);
    calls++;
    *name = std::string(text) + ".v6";  // every IPv6 address has a name
    return true;
  }
  void Hold(uint32_t a) {
    std::lock_guard<std::mutex> lock(m);
    held[a] = true;
  }
  void Release(uint32_t a) {
    std::lock_guard<std::mutex> lock(m);
    held.erase(a);
    cv.notify_all();
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(m);
    return calls;
  }
  void WaitCalls(int n) {
    std::unique_lock<std::mutex> lock(m);
    called.wait_for(lock, std::chrono::seconds(60), [&] { return calls >= n; });
  }
  std::mutex m;
  std::condition_variable cv;
  std::condition_variable called;  // apart, so a thousand held lookups do not wake each other
  std::map<uint32_t, std::string> names;
  std::map<uint32_t, bool> held;
  int calls = 0;
};

// Thread creation that fails while g_refuseThreads is set, as it does when
// a 32-bit process has no address space left.
std::atomic<bool> g_refuseThreads{false};
bool RefusingStarter(ThreadBody body, void* arg, size_t stack) {
  return !g_refuseThreads && StartDetachedThread(body, arg, stack);
}

struct ResolverFixture {
  FakePlatform platform;
  Options options;
  ConversationTable table{options, nullptr};
  std::shared_ptr<FakeLookup> lookup = std::make_shared<FakeLookup>();
  ResolverFixture() { table.local.v4 = Addr("10.0.0.5"); }
  void Feed(const char* src, const char* dst, uint16_t sport, uint16_t dport) {
    Account(table, Ipv4Packet(6, src, dst, sport, dport, 10));
  }
  bool Settle(HostResolver& r) {
    for (int i = 0; i < 500; i++) {
      if (r.BusySlots() == 0) {
        r.Deliver();
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};
}  // namespace

TEST(ResolverTest, NamesReachTheTableOnItsOwnThread) {
  ResolverFixture f;
  f.lookup->names[Addr("10.0.0.5")] = "=me\".example";  // cleaned as names off the wire
  f.lookup->names[Addr("10.0.0.9")] = std::string(300, 'n');
  f.Feed("10.0.0.5", "10.0.0.9", 1025, 80);
  f.Feed("10.0.0.9", "10.0.0.5", 80, 1026);  // local 10.0.0.5 again, remote 10.0.0.9
  f.Feed("10.0.0.5", "10.0.0.7", 1027, 80);  // 10.0.0.7: the lookup fails
  Account(f.table, AsIPv6(Ipv4Packet(6, "10.0.0.5", "10.0.0.9", 1028, 80, 10), "2001:db8::5", "2001:db8::9"));
  HostResolver r(f.table, f.lookup);
  f.table.resolver = &r;
  f.table.QueueNameLookups();
  ASSERT_TRUE(f.Settle(r));
  EXPECT_EQ(f.lookup->calls, 5);  // each address once
  EXPECT_STREQ(f.table.LocalHost(f.table.at(0)), "?me?.example");
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(3)), "2001:db8::9.v6");
  EXPECT_EQ(strlen(f.table.RemoteHost(f.table.at(1))), size_t(kHostNameMax));
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(2)), "");
  EXPECT_EQ(f.table.namesChanged, 1);
  // Named addresses are not asked again; with the option off nothing is.
  f.table.QueueNameLookups();
  EXPECT_EQ(f.table.lookupList.size(), 1u);
  ASSERT_TRUE(f.Settle(r));
  f.options.ResolveIPAddr = 0;
  f.table.QueueNameLookups();
  ASSERT_TRUE(f.Settle(r));
  EXPECT_EQ(f.lookup->calls, 6);
}

TEST(ResolverTest, SlotsAreBoundedAndLateWorkersKeepOffReusedSlots) {
  ResolverFixture f;
  auto r = std::make_unique<HostResolver>(f.table, f.lookup);
  f.Feed("10.0.0.5", "10.0.0.9", 1025, 80);
  const uint32_t a = Addr("10.0.0.9");
  f.lookup->names[a] = "late.example";
  f.lookup->Hold(a);
  ASSERT_TRUE(r->StartLookup(a));
  f.lookup->WaitCalls(1);
  // Cancelled, then the slot goes to another lookup of the same address.
  r->AbandonPending();
  EXPECT_EQ(r->BusySlots(), 0);
  const uint32_t b = Addr("10.0.0.5");
  f.lookup->names[b] = "me.example";
  f.lookup->Hold(b);
  ASSERT_TRUE(r->StartLookup(b));
  f.lookup->Release(a);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(r->BusySlots(), 1);  // the late worker left the new lookup's slot alone
  EXPECT_EQ(r->Deliver(), 0);
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(0)), "");
  f.lookup->Release(b);
  ASSERT_TRUE(f.Settle(*r));
  EXPECT_STREQ(f.table.LocalHost(f.table.at(0)), "me.example");

  f.Feed("10.0.0.5", "10.0.0.8", 1026, 80);
  const uint32_t queued = Addr("10.0.0.8");
  f.lookup->names[queued] = "queued.example";

  // All slots busy: further requests are refused until workers end.
  const uint32_t held = Addr("10.9.9.9");
  f.lookup->Hold(held);
  int started = 0;
  for (int i = 0; i < HostResolver::kSlots + 6; i++) started += r->StartLookup(held);
  EXPECT_EQ(started, HostResolver::kSlots);
  EXPECT_EQ(r->BusySlots(), HostResolver::kSlots);

  // Abandoned workers still stuck in the lookup: new lookups wait for one
  // of them to finish rather than adding threads, and are still delivered.
  f.lookup->WaitCalls(HostResolver::kMaxWorkers + 2);
  const int calls = f.lookup->Calls();
  r->AbandonPending();
  for (int i = 0; i < HostResolver::kMaxWorkers; i++) ASSERT_TRUE(r->StartLookup(queued));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(f.lookup->Calls(), calls);
  f.lookup->Release(held);
  ASSERT_TRUE(f.Settle(*r));
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(1)), "queued.example");

  // Destroying the resolver while its workers still wait is safe.
  f.lookup->Hold(held);
  ASSERT_TRUE(r->StartLookup(held));
  r.reset();
  f.lookup->Release(held);
}

TEST(ResolverTest, LookupsWhoseThreadCannotStartWaitForTheNextWorker) {
  ResolverFixture f;
  HostResolver r(f.table, f.lookup, RefusingStarter);
  f.Feed("10.0.0.5", "10.0.0.9", 1025, 80);
  f.Feed("10.0.0.5", "10.0.0.8", 1026, 80);
  const uint32_t a = Addr("10.0.0.9"), b = Addr("10.0.0.8");
  f.lookup->names[a] = "a.example";
  f.lookup->names[b] = "b.example";
  // No thread at all: the lookup waits in its slot, and a later tick starts it.
  g_refuseThreads = true;
  ASSERT_TRUE(r.StartLookup(a));
  EXPECT_EQ(r.Workers(), 0);
  EXPECT_EQ(r.BusySlots(), 1);
  r.Deliver();
  EXPECT_EQ(r.Workers(), 0);
  g_refuseThreads = false;
  r.Deliver();
  ASSERT_TRUE(f.Settle(r));
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(0)), "a.example");
  // A worker still busy serves the lookup whose own thread failed.
  f.lookup->Hold(a);
  ASSERT_TRUE(r.StartLookup(a));
  f.lookup->WaitCalls(2);
  g_refuseThreads = true;
  ASSERT_TRUE(r.StartLookup(b));
  EXPECT_EQ(r.Workers(), 1);
  f.lookup->Release(a);
  ASSERT_TRUE(f.Settle(r));
  g_refuseThreads = false;
  EXPECT_EQ(f.lookup->Calls(), 3);
  EXPECT_STREQ(f.table.RemoteHost(f.table.at(1)), "b.example");
}
