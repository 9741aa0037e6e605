// A stand-in for the Network Monitor driver's interface library, built from
// what Pakrill calls: a blob table (two adapters with MAC addresses and one
// without), network information per blob, and a capture interface whose own
// thread calls the frames callback with batches of the script's frames
// (set by StandInScript or read from the file named in PAKRILL_NPP_FRAMES).
#include <windows.h>

#include "capture/netmon_library_win32.h"
#include "frame_script_win32.h"

#define EXPORT extern "C" __declspec(dllexport)

namespace {

using standin::Bytes;

struct Blob {
  uint8_t mac[6];
};
struct BlobTable {
  DWORD count;
  HBLOB_T blobs[1];
};

int g_batch = 4;
std::atomic<long> g_blobsAlive{0}, g_interfaces{0};

struct Capture : NetMonInterface {
  HBLOB_T blob = nullptr;
  NetMonCallback frames = nullptr;
  void* context = nullptr;
  standin::Delivery delivery;
  bool connected = false;
};

// One frame table, as the driver hands over, for each batch.
void Send(void* owner, const Bytes* frames, size_t n) {
  Bytes table(kNetMonFrameTableFirstOffset + n * kNetMonFrameDescriptorBytes, 0);
  const uint32_t count = uint32_t(n);
  memcpy(table.data() + kNetMonFrameTableCountOffset, &count, 4);
  for (size_t i = 0; i < n; i++) {
    uint8_t* d = table.data() + kNetMonFrameTableFirstOffset + i * kNetMonFrameDescriptorBytes;
    const uint8_t* frame = frames[i].data();
    const uint32_t length = uint32_t(frames[i].size());
    memcpy(d, &frame, sizeof frame);
    memcpy(d + kNetMonDescriptorLengthOffset, &length, 4);
  }
  auto* c = static_cast<Capture*>(owner);
  NetMonEvent e{};
  e.context = c->context;
  e.frames = table.data();
  c->frames(e);
}

ULONG WINAPI Release(NetMonInterface* i) {
  delete static_cast<Capture*>(i);
  g_interfaces--;
  return 0;
}
HRESULT WINAPI Connect(NetMonInterface* i, HBLOB_T blob, NetMonCallback, NetMonCallback frames, void* context,
                       HBLOB_T) {
  auto* c = static_cast<Capture*>(i);
  if (blob != c->blob || !frames) return E_INVALIDARG;
  return c->frames = frames, c->context = context, c->connected = true, 0;
}
HRESULT WINAPI Disconnect(NetMonInterface* i) { return static_cast<Capture*>(i)->connected = false, 0; }
HRESULT WINAPI Start(NetMonInterface* i) {
  auto* c = static_cast<Capture*>(i);
  if (!c->connected) return E_FAIL;
  standin::LoadScriptFromEnvironment("PAKRILL_NPP_FRAMES");
  return c->delivery.Start(Send, c, size_t(g_batch)) ? 0 : E_FAIL;
}
HRESULT WINAPI Stop(NetMonInterface* i) { return static_cast<Capture*>(i)->delivery.Stop(), 0; }

const NetMonInterfaceTable kTable = {nullptr, nullptr, Release, Connect, Disconnect, nullptr,
                                     nullptr, Start,   nullptr, nullptr, Stop};

}  // namespace

EXPORT void StandInScript(const uint8_t* records, size_t size, int repeat, int batch) {
  standin::SetScript(records, size, repeat);
  g_batch = batch > 0 ? batch : 1;
}
EXPORT long StandInSent() { return standin::g_sent; }
EXPORT long StandInBlobsAlive() { return g_blobsAlive; }
EXPORT long StandInInterfaces() { return g_interfaces; }

EXPORT DWORD WINAPI GetNPPBlobTable(HBLOB_T, void** out) {
  const DWORD n = 3;
  auto* t = static_cast<BlobTable*>(GlobalAlloc(GPTR, sizeof(BlobTable) + n * sizeof(HBLOB_T)));
  t->count = n;
  for (DWORD i = 0; i < n; i++) {
    auto* b = new Blob{{0x02, 0x00, 0x5E, 0x10, 0x00, uint8_t(i + 1)}};
    if (i == 2) memset(b->mac, 0, 6);  // an adapter without a MAC address
    t->blobs[i] = b;
    g_blobsAlive++;
  }
  *out = t;
  return 0;
}

EXPORT DWORD WINAPI GetNetworkInfoFromBlob(HBLOB_T blob, void* info) {
  if (blob) memcpy(static_cast<uint8_t*>(info) + 6, static_cast<Blob*>(blob)->mac, 6);
  return blob ? 0 : ERROR_INVALID_PARAMETER;
}

EXPORT DWORD WINAPI DestroyBlob(HBLOB_T blob) {
  delete static_cast<Blob*>(blob);
  g_blobsAlive--;
  return 0;
}

EXPORT HRESULT WINAPI CreateNPPInterface(HBLOB_T blob, REFIID iid, void** out) {
  if (!blob || memcmp(&iid, &kNetMonCaptureInterface, sizeof iid) != 0) return E_NOINTERFACE;
  auto* c = new Capture;
  c->table = &kTable;
  c->blob = blob;
  *out = c;
  g_interfaces++;
  return 0;
}
