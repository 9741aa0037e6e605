// The packet capture library (wpcap.dll), bound at run time.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

struct pcap_addr_t {
  pcap_addr_t* next;
  sockaddr* addr;
  sockaddr* netmask;
  sockaddr* broadaddr;
  sockaddr* dstaddr;
};
struct pcap_if_t {
  pcap_if_t* next;
  char* name;
  char* description;
  pcap_addr_t* addresses;
  uint32_t flags;
};
struct bpf_program_t {
  unsigned bf_len;
  void* bf_insns;
};
using pcap_t = void;
using pcap_handler_t = void (*)(unsigned char* user, const void* header, const unsigned char* bytes);

struct PacketCaptureLibrary {
  HMODULE module = nullptr;
  // Looked up but never called.
  FARPROC pcap_findalldevs_ex = nullptr, pcap_open = nullptr, pcap_next_ex = nullptr;
  FARPROC pcap_loop = nullptr, pcap_next = nullptr;
  void(__cdecl* pcap_freealldevs)(pcap_if_t*) = nullptr;
  void(__cdecl* pcap_close)(pcap_t*) = nullptr;
  int(__cdecl* pcap_compile)(pcap_t*, bpf_program_t*, const char*, int, uint32_t) = nullptr;
  int(__cdecl* pcap_setfilter)(pcap_t*, bpf_program_t*) = nullptr;
  void(__cdecl* pcap_freecode)(bpf_program_t*) = nullptr;
  int(__cdecl* pcap_findalldevs)(pcap_if_t**, char*) = nullptr;
  pcap_t*(__cdecl* pcap_open_live)(const char*, int, int, int, char*) = nullptr;
  // Optional, and left unbound in Wine's own wpcap.dll, which cannot read files.
  pcap_t*(__cdecl* pcap_open_offline)(const char*, char*) = nullptr;
  char*(__cdecl* pcap_geterr)(pcap_t*) = nullptr;    // optional
  int(__cdecl* pcap_datalink)(pcap_t*) = nullptr;    // optional: Ethernet without it
  int(__cdecl* pcap_dispatch)(pcap_t*, int, pcap_handler_t, unsigned char*) = nullptr;
  // Optional: a device that does not honour the read time-out is read without blocking.
  int(__cdecl* pcap_setnonblock)(pcap_t*, int, char*) = nullptr;
  // Optional: opening in steps, to give the device a larger kernel buffer.
  pcap_t*(__cdecl* pcap_create)(const char*, char*) = nullptr;
  int(__cdecl* pcap_set_snaplen)(pcap_t*, int) = nullptr;
  int(__cdecl* pcap_set_promisc)(pcap_t*, int) = nullptr;
  int(__cdecl* pcap_set_timeout)(pcap_t*, int) = nullptr;
  int(__cdecl* pcap_set_buffer_size)(pcap_t*, int) = nullptr;
  int(__cdecl* pcap_activate)(pcap_t*) = nullptr;

  bool bound() const { return module != nullptr; }
};

PacketCaptureLibrary& CaptureLibrary();
// Binds wpcap.dll, preferring the Npcap copy in the system folder.
bool LoadPacketCaptureLibrary();
// Takes `module` as the library (tests bind stand-ins this way); false, and
// the module freed, when an entry point every method needs is missing.
bool BindPacketCaptureLibrary(HMODULE module);
