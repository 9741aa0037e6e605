// Native stand-ins for the Windows services: English number and date
// layout, the host's services database, /tmp for temporary files.
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/pages.h"
#include "base/platform.h"
#include "base/services.h"

namespace {

class PosixPlatform : public Platform {
 public:
  uint32_t TickCount() override {
    // Coarse is as fine as the Windows tick and much cheaper per packet.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
  }

  FileTime LocalFileTimeNow() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    FileTime utc = kFileTimeUnixEpoch + uint64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
    return UtcToLocalFileTime(utc);
  }

  FileTime UtcToLocalFileTime(FileTime utc) override {
    if (utc < kFileTimeUnixEpoch) return utc;
    time_t t = time_t((utc - kFileTimeUnixEpoch) / 10000000);
    tm lt;
    if (!localtime_r(&t, &lt)) return utc;
    return FileTime(int64_t(utc) + int64_t(lt.tm_gmtoff) * 10000000);
  }

  void GroupDigits(const char* digits, char* out, size_t outSize) override {
    size_t n = strlen(digits), o = 0;
    for (size_t i = 0; i < n && o + 1 < outSize; i++) {
      if (i > 0 && (n - i) % 3 == 0 && o + 2 < outSize) out[o++] = ',';
      out[o++] = digits[i];
    }
    if (outSize) out[o < outSize ? o : outSize - 1] = 0;
  }

  void FormatDateTime(const SystemTime& st, char* out, size_t outSize) override {
    // The layout of an English (United States) system: M/d/yyyy h:mm:ss tt.
    // By hand: reports format this for every row.
    const int h12 = st.hour % 12 == 0 ? 12 : st.hour % 12;
    const int parts[6] = {st.month, st.day, st.year, h12, st.minute, st.second};
    const char seps[6] = {'/', '/', ' ', ':', ':', ' '};
    char tmp[64];
    char* p = tmp;
    for (int i = 0; i < 6; i++) {
      int v = parts[i] < 0 ? 0 : parts[i];
      char d[12];
      int n = 0;
      do {
        d[n++] = char('0' + v % 10);
        v /= 10;
      } while (v);
      if (i >= 4 && n < 2) d[n++] = '0';
      while (n) *p++ = d[--n];
      *p++ = seps[i];
    }
    memcpy(p, st.hour < 12 ? "AM" : "PM", 3);
    snprintf(out, outSize, "%s", tmp);
  }

  const char* ServiceName(uint16_t port) override {
    // getservbyport rereads the database on each call; read it once.
    std::call_once(servicesOnce_, [this] {
      setservent(1);
      while (servent* s = getservent())
        if (s->s_name) services_.Add(ntohs(uint16_t(s->s_port)), s->s_name, strlen(s->s_name));
      endservent();
    });
    return services_.Name(port);
  }

  bool CreateTempFile(const char* prefix, char* path, size_t pathSize) override {
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string tmpl = std::string(dir) + "/" + prefix + "XXXXXX";
    if (tmpl.size() + 1 > pathSize) return false;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    int fd = mkstemp(buf.data());
    if (fd < 0) return false;
    close(fd);
    memcpy(path, buf.data(), buf.size());
    return true;
  }

  bool RemoveFile(const char* path) override { return unlink(path) == 0; }

 private:
  std::once_flag servicesOnce_;
  ServiceTable services_;
};

}  // namespace

Platform* CreateDefaultPlatform() { return new PosixPlatform(); }

namespace {
// Arrays of nearly a huge page or more are mapped in huge pages: on a
// virtual machine each 4 KiB page's first write can cost microseconds, and a
// table of millions of conversations has tens of thousands of them.
constexpr size_t kHugePage = size_t(2) << 20;

size_t MappedBytes(size_t bytes) {
  return bytes >= kHugePage - kHugePage / 8 ? (bytes + kHugePage - 1) & ~(kHugePage - 1) : bytes;
}
}  // namespace

void* AllocatePages(size_t bytes) {
  if (!bytes) return nullptr;
  const size_t mapped = MappedBytes(bytes);
  if (mapped == bytes && bytes < kHugePage) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  // Huge pages need an aligned start: map a huge page more and trim.
  void* raw = mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = uintptr_t(raw), aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const size_t tail = start + mapped + kHugePage - (aligned + mapped);
  if (tail) munmap(reinterpret_cast<void*>(aligned + mapped), tail);
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(aligned), mapped, MADV_HUGEPAGE);  // advice only: small pages still work
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreePages(void* p, size_t bytes) {
  if (p) munmap(p, MappedBytes(bytes));
}
