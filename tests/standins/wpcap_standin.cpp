// A stand-in for the packet capture library that reads classic pcap files
// (little-endian, microseconds) by itself, with the library's message for a
// cut file; its live-capture entry points find no device.
#include <cstdint>
#include <cstdio>
#include <cstring>

#define EXPORT extern "C" __declspec(dllexport)

namespace {

struct Header {  // the library's pcap_pkthdr: timeval of two 32-bit longs
  int32_t sec, usec;
  uint32_t caplen, len;
};

struct Handle {
  FILE* file;
  int linkType;
  char error[256];
  unsigned char data[262144];
};

using Handler = void (*)(unsigned char*, const Header*, const unsigned char*);

}  // namespace

EXPORT void* pcap_open_offline(const char* path, char* error) {
  FILE* f = fopen(path, "rb");
  uint32_t head[6];
  if (!f || fread(head, 4, 6, f) != 6 || head[0] != 0xA1B2C3D4u) {
    snprintf(error, 256, "unknown file format");
    if (f) fclose(f);
    return nullptr;
  }
  auto* h = new Handle();
  h->file = f;
  h->linkType = int(head[5] & 0xFFFF);
  return h;
}

EXPORT int pcap_dispatch(void* p, int count, Handler handler, unsigned char* user) {
  auto* h = static_cast<Handle*>(p);
  int n = 0;
  while (count <= 0 || n < count) {
    Header hdr{};
    const size_t got = fread(&hdr, 1, sizeof hdr, h->file);
    if (got == 0) break;
    const bool whole = got == sizeof hdr && hdr.caplen <= sizeof h->data;
    const size_t body = whole ? fread(h->data, 1, hdr.caplen, h->file) : 0;
    if (!whole || body < hdr.caplen) {
      snprintf(h->error, sizeof h->error, "truncated dump file; tried to read %u captured bytes, only got %u",
               hdr.caplen, unsigned(body));
      return -1;
    }
    handler(user, &hdr, h->data);
    n++;
  }
  return n;
}

EXPORT char* pcap_geterr(void* p) { return static_cast<Handle*>(p)->error; }
EXPORT int pcap_datalink(void* p) { return static_cast<Handle*>(p)->linkType; }
EXPORT void pcap_close(void* p) {
  auto* h = static_cast<Handle*>(p);
  fclose(h->file);
  delete h;
}

EXPORT int pcap_findalldevs(void** list, char* error) {
  *list = nullptr;
  snprintf(error, 256, "the stand-in captures nothing");
  return -1;
}
EXPORT void pcap_freealldevs(void*) {}
EXPORT void* pcap_open_live(const char*, int, int, int, char* error) {
  snprintf(error, 256, "the stand-in captures nothing");
  return nullptr;
}
EXPORT int pcap_loop(void*, int, Handler, unsigned char*) { return -1; }
EXPORT const unsigned char* pcap_next(void*, Header*) { return nullptr; }
EXPORT int pcap_compile(void*, void*, const char*, int, uint32_t) { return -1; }
EXPORT int pcap_setfilter(void*, void*) { return -1; }
EXPORT void pcap_freecode(void*) {}
