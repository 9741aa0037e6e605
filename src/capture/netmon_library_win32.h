// The Network Monitor driver's interface library (npptools.dll), bound at
// run time: adapters as blobs, and a capture interface called by position.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdint>
#include <string>
#include <vector>

constexpr int kNetMonMaxAdapters = 15;
constexpr size_t kNetMonInfoBytes = 112;
constexpr size_t kNetMonEventBytes = 556;
constexpr size_t kNetMonEventContextOffset = 22;
constexpr size_t kNetMonEventFramesOffset = 34;
constexpr size_t kNetMonFrameTableCountOffset = 12;
constexpr size_t kNetMonFrameTableFirstOffset = 16;
constexpr size_t kNetMonFrameDescriptorBytes = 30;
constexpr size_t kNetMonDescriptorLengthOffset = 12;
// Frames in one callback and bytes in one frame that we believe.
constexpr uint32_t kNetMonMaxFramesPerEvent = 65536;
constexpr uint32_t kNetMonMaxFrameBytes = 65535 + 14;

using HBLOB_T = void*;

// The event record the capture interface passes by value: the user context
// and the frame table lie at fixed byte offsets, pointers at this build's size.
#pragma pack(push, 1)
struct NetMonEvent {
  uint8_t head[kNetMonEventContextOffset];
  void* context;
  uint8_t middle[kNetMonEventFramesOffset - kNetMonEventContextOffset - sizeof(void*)];
  const uint8_t* frames;
  uint8_t rest[kNetMonEventBytes - kNetMonEventFramesOffset - sizeof(void*)];
};
#pragma pack(pop)
static_assert(sizeof(NetMonEvent) == kNetMonEventBytes, "event record size");

using NetMonCallback = DWORD(WINAPI*)(NetMonEvent event);

// The capture interface's function table, by position.
struct NetMonInterface;
struct NetMonInterfaceTable {
  void* queryInterface;
  void* addRef;
  ULONG(WINAPI* release)(NetMonInterface*);
  HRESULT(WINAPI* connect)(NetMonInterface*, HBLOB_T, NetMonCallback status, NetMonCallback frames,
                           void* context, HBLOB_T configuration);
  HRESULT(WINAPI* disconnect)(NetMonInterface*);
  void* position5;
  void* position6;
  HRESULT(WINAPI* start)(NetMonInterface*);
  void* position8;
  void* position9;
  HRESULT(WINAPI* stop)(NetMonInterface*);
};
struct NetMonInterface {
  const NetMonInterfaceTable* table;
};

// {4811EA40-B582-11CE-B5AF-00AA006CB37D}
constexpr GUID kNetMonCaptureInterface = {0x4811EA40, 0xB582, 0x11CE, {0xB5, 0xAF, 0x00, 0xAA, 0x00, 0x6C, 0xB3, 0x7D}};

struct NetMonAdapter {
  uint8_t info[kNetMonInfoBytes] = {};
  bool linked = false;
  std::string name;         // linked adapter's name, else the MAC as text
  std::string description;  // linked adapter's description, else the name
  uint32_t address = 0;
  char addressText[21] = "";
  HBLOB_T blob = nullptr;
};

struct NetMonLibrary {
  HMODULE module = nullptr;
  bool tried = false;
  HRESULT(WINAPI* CreateNPPInterface)(HBLOB_T, REFIID, void**) = nullptr;
  DWORD(WINAPI* DestroyBlob)(HBLOB_T) = nullptr;
  DWORD(WINAPI* GetNetworkInfoFromBlob)(HBLOB_T, void*) = nullptr;
  DWORD(WINAPI* GetNPPBlobTable)(HBLOB_T, void**) = nullptr;
  std::vector<NetMonAdapter> adapters;
};

NetMonLibrary& NetMon();
bool LoadNetMonLibrary();
// Takes `module` as the library (tests bind stand-ins this way).
void BindNetMonLibrary(HMODULE module);
// Rebuilds the table; with `keepBlobs` the listed adapters keep their blobs
// (the caller destroys them).
const std::vector<NetMonAdapter>& EnumerateNetMonAdapters(const char* nameFilter, bool keepBlobs);
// The frames of one event as (frame, length) pairs, with hostile counts and
// lengths refused.
template <typename Use>
void ForEachNetMonFrame(const NetMonEvent& e, Use use) {
  if (!e.frames) return;
  uint32_t count;
  memcpy(&count, e.frames + kNetMonFrameTableCountOffset, 4);
  if (count > kNetMonMaxFramesPerEvent) count = kNetMonMaxFramesPerEvent;
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* d = e.frames + kNetMonFrameTableFirstOffset + size_t(i) * kNetMonFrameDescriptorBytes;
    const uint8_t* frame;
    uint32_t length;
    memcpy(&frame, d, sizeof frame);
    memcpy(&length, d + kNetMonDescriptorLengthOffset, 4);
    if (frame && length <= kNetMonMaxFrameBytes) use(frame, length);
  }
}
