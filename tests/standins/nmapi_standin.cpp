// A stand-in for the Network Monitor 3 capture interface, built from what
// Pakrill calls: adapters, a capture engine whose own thread calls back for
// every frame of a script, and capture files read with Pakrill's reader.
// The script is set by StandInScript or by the file named in
// PAKRILL_NMAPI_FRAMES (records of a 32-bit length and the frame).
#include <windows.h>

#include "frame_script_win32.h"
#include "packetfile/capture_reader.h"

#define EXPORT extern "C" __declspec(dllexport)

namespace {

using Callback = void(WINAPI*)(HANDLE, ULONG, void*, HANDLE);
using standin::Bytes;

// Every handle is an Object; a call refuses one of another kind.
struct Object {
  virtual ~Object() = default;
};
struct Frame : Object {
  const uint8_t* data;
  ULONG length;
  ULONGLONG time;
};
struct Engine : Object {
  Callback callback = nullptr;
  void* context = nullptr;
  ULONG adapter = 0;
  standin::Delivery delivery;
};
struct File : Object {
  std::vector<Bytes> frames;
  std::vector<ULONGLONG> times;  // UTC
};

template <typename T>
T* As(HANDLE h) {
  return dynamic_cast<T*>(static_cast<Object*>(h));
}

std::atomic<long> g_lastMode{-1};

constexpr ULONG kAdapters = 2;

}  // namespace

// Frames come one to a call whatever the batch.
EXPORT void StandInScript(const uint8_t* records, size_t size, int repeat, int) {
  standin::SetScript(records, size, repeat);
}
EXPORT long StandInSent() { return standin::g_sent; }
EXPORT long StandInLastMode() { return g_lastMode; }

EXPORT ULONG WINAPI NmOpenCaptureEngine(HANDLE* engine) { return *engine = static_cast<Object*>(new Engine), 0; }

EXPORT ULONG WINAPI NmGetAdapterCount(HANDLE, ULONG* count) { return *count = kAdapters, 0; }

EXPORT ULONG WINAPI NmGetAdapter(HANDLE, ULONG index, void* record) {
  auto* r = static_cast<uint8_t*>(record);
  uint16_t size;
  memcpy(&size, r, 2);
  if (size != 1600 || index >= kAdapters) return ERROR_INVALID_PARAMETER;
  swprintf(reinterpret_cast<wchar_t*>(r + 544), 64, L"Stand-in adapter %lu", index);
  swprintf(reinterpret_cast<wchar_t*>(r + 1064), 64, L"{5A4E0000-0000-0000-0000-%012lu}", index);
  return 0;
}

EXPORT ULONG WINAPI NmConfigAdapter(HANDLE engine, ULONG index, Callback cb, void* context, ULONG) {
  auto* e = As<Engine>(engine);
  if (!e || index >= kAdapters) return ERROR_INVALID_PARAMETER;
  e->callback = cb;
  e->context = context;
  e->adapter = index;
  return 0;
}

#ifndef STANDIN_WITHOUT_START
EXPORT ULONG WINAPI NmStartCapture(HANDLE engine, ULONG index, ULONG mode) {
  auto* e = As<Engine>(engine);
  if (!e || !e->callback || index != e->adapter) return ERROR_INVALID_PARAMETER;
  g_lastMode = long(mode);
  standin::LoadScriptFromEnvironment("PAKRILL_NMAPI_FRAMES");
  const auto send = [](void* owner, const Bytes* frame, size_t) {
    auto* e = static_cast<Engine*>(owner);
    Frame f;
    f.data = frame->data();
    f.length = ULONG(frame->size());
    e->callback(static_cast<Object*>(e), e->adapter, e->context, static_cast<Object*>(&f));
  };
  return e->delivery.Start(send, e, 1) ? 0 : GetLastError();
}
#endif

EXPORT ULONG WINAPI NmStopCapture(HANDLE engine, ULONG) {
  auto* e = As<Engine>(engine);
  return e ? (e->delivery.Stop(), 0) : ERROR_INVALID_PARAMETER;
}

EXPORT ULONG WINAPI NmGetRawFrame(HANDLE frame, ULONG size, BYTE* buffer, ULONG* length) {
  auto* f = As<Frame>(frame);
  if (!f) return ERROR_INVALID_PARAMETER;
  *length = f->length;
  if (f->length > size) return ERROR_INSUFFICIENT_BUFFER;
  memcpy(buffer, f->data, f->length);
  return 0;
}

EXPORT ULONG WINAPI NmOpenCaptureFile(const wchar_t* path, HANDLE* file) {
  char narrow[MAX_PATH];
  if (!WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr))
    return ERROR_INVALID_PARAMETER;
  FileSource src;
  if (!src.Open(narrow)) return ERROR_FILE_NOT_FOUND;
  NetMonReader reader(src);
  if (!reader.Open()) return ERROR_BAD_FORMAT;
  auto* f = new File;
  CaptureFrame fr;
  while (reader.Next(fr)) {
    f->frames.emplace_back(fr.data, fr.data + fr.caplen);
    f->times.push_back(fr.utcTime);
  }
  *file = static_cast<Object*>(f);
  return 0;
}

EXPORT ULONG WINAPI NmGetFrameCount(HANDLE file, ULONG* count) {
  auto* f = As<File>(file);
  return f ? (*count = ULONG(f->frames.size()), 0) : ERROR_INVALID_PARAMETER;
}

EXPORT ULONG WINAPI NmGetFrame(HANDLE file, ULONG index, HANDLE* frame) {
  auto* f = As<File>(file);
  if (!f || index >= f->frames.size()) return ERROR_INVALID_PARAMETER;
  auto* fr = new Frame;
  fr->data = f->frames[index].data();
  fr->length = ULONG(f->frames[index].size());
  fr->time = f->times[index];
  *frame = static_cast<Object*>(fr);
  return 0;
}

EXPORT ULONG WINAPI NmGetFrameTimeStamp(HANDLE frame, ULONGLONG* time) {
  auto* f = As<Frame>(frame);
  return f ? (*time = f->time, 0) : ERROR_INVALID_PARAMETER;
}

EXPORT ULONG WINAPI NmCloseHandle(HANDLE h) {
  if (!h) return ERROR_INVALID_PARAMETER;
  NmStopCapture(h, 0);  // an engine's
  delete static_cast<Object*>(h);
  return 0;
}
