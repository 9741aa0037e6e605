// A stand-in for the Network Monitor 3 capture interface, built from what
// Pakrill calls: adapters, a capture engine whose own thread calls back for
// every frame of a script, and capture files read with Pakrill's reader.
// The script is set by StandInScript or by the files named in
// PAKRILL_NMAPI_FRAMES (records of a 32-bit length and the frame) and
// PAKRILL_NMAPI_REPEAT.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "packetfile/capture_reader.h"

#define EXPORT extern "C" __declspec(dllexport)

namespace {

using Callback = void(WINAPI*)(HANDLE, ULONG, void*, HANDLE);
using Bytes = std::vector<uint8_t>;

enum Kind { kEngine = 0x454E47, kFile = 0x46494C, kFrame = 0x46524D };
struct Object {
  int kind;
};
struct Frame : Object {
  const uint8_t* data;
  ULONG length;
};
struct Engine : Object {
  Callback callback = nullptr;
  void* context = nullptr;
  ULONG adapter = 0;
  HANDLE thread = nullptr;
  std::atomic<bool> stop{false};
};
struct File : Object {
  std::vector<Bytes> frames;
};

std::vector<Bytes> g_script;
int g_repeat = 1;
std::atomic<long> g_sent{0};
std::atomic<long> g_lastMode{-1};

ULONG AdapterCount() {
  const char* n = getenv("PAKRILL_NMAPI_ADAPTERS");
  return n ? ULONG(atoi(n)) : 2;
}

[[maybe_unused]] void LoadScriptFromEnvironment() {
  if (!g_script.empty()) return;
  const char* path = getenv("PAKRILL_NMAPI_FRAMES");
  if (const char* r = getenv("PAKRILL_NMAPI_REPEAT")) g_repeat = atoi(r);
  FILE* f = path ? fopen(path, "rb") : nullptr;
  if (!f) return;
  uint32_t len;
  while (fread(&len, 4, 1, f) == 1 && len <= (1u << 20)) {
    Bytes b(len);
    if (len && fread(b.data(), 1, len, f) != len) break;
    g_script.push_back(b);
  }
  fclose(f);
}

[[maybe_unused]] DWORD WINAPI Deliver(void* p) {
  auto* e = static_cast<Engine*>(p);
  for (int r = 0; r < g_repeat && !e->stop; r++)
    for (const Bytes& b : g_script) {
      if (e->stop) break;
      Frame f;
      f.kind = kFrame;
      f.data = b.data();
      f.length = ULONG(b.size());
      e->callback(e, e->adapter, e->context, &f);
      g_sent++;
    }
  return 0;
}

void Text(uint8_t* record, size_t offset, const wchar_t* text) {
  const size_t n = wcslen(text) + 1;
  memcpy(record + offset, text, n * sizeof(wchar_t));
}

}  // namespace

// Test controls.
EXPORT void StandInScript(const uint8_t* records, size_t size, int repeat) {
  g_script.clear();
  size_t p = 0;
  while (p + 4 <= size) {
    uint32_t len;
    memcpy(&len, records + p, 4);
    p += 4;
    if (len > size - p) break;
    g_script.emplace_back(records + p, records + p + len);
    p += len;
  }
  g_repeat = repeat;
}
EXPORT long StandInSent() { return g_sent; }
EXPORT long StandInLastMode() { return g_lastMode; }

EXPORT ULONG WINAPI NmApiInitialize(void*) { return 0; }
EXPORT ULONG WINAPI NmApiClose() { return 0; }

EXPORT ULONG WINAPI NmOpenCaptureEngine(HANDLE* engine) {
  auto* e = new Engine;
  e->kind = kEngine;
  *engine = e;
  return 0;
}

EXPORT ULONG WINAPI NmGetAdapterCount(HANDLE, ULONG* count) {
  *count = AdapterCount();
  return 0;
}

EXPORT ULONG WINAPI NmGetAdapter(HANDLE, ULONG index, void* record) {
  auto* r = static_cast<uint8_t*>(record);
  uint16_t size;
  memcpy(&size, r, 2);
  if (size != 1600 || index >= AdapterCount()) return ERROR_INVALID_PARAMETER;
  wchar_t text[64];
  swprintf(text, 64, L"Stand-in adapter %lu", index);
  Text(r, 544, text);
  swprintf(text, 64, L"{5A4E0000-0000-0000-0000-%012lu}", index);
  Text(r, 1064, text);
  return 0;
}

EXPORT ULONG WINAPI NmConfigAdapter(HANDLE engine, ULONG index, Callback cb, void* context, ULONG) {
  auto* e = static_cast<Engine*>(engine);
  if (!e || e->kind != kEngine || index >= AdapterCount()) return ERROR_INVALID_PARAMETER;
  e->callback = cb;
  e->context = context;
  e->adapter = index;
  return 0;
}

#ifndef STANDIN_WITHOUT_START
EXPORT ULONG WINAPI NmStartCapture(HANDLE engine, ULONG index, ULONG mode) {
  auto* e = static_cast<Engine*>(engine);
  if (!e || e->kind != kEngine || !e->callback || index != e->adapter) return ERROR_INVALID_PARAMETER;
  g_lastMode = long(mode);
  LoadScriptFromEnvironment();
  e->stop = false;
  e->thread = CreateThread(nullptr, 0, Deliver, e, 0, nullptr);
  return e->thread ? 0 : GetLastError();
}
#endif

EXPORT ULONG WINAPI NmStopCapture(HANDLE engine, ULONG) {
  auto* e = static_cast<Engine*>(engine);
  if (!e || e->kind != kEngine) return ERROR_INVALID_PARAMETER;
  e->stop = true;
  if (e->thread) {
    WaitForSingleObject(e->thread, INFINITE);
    CloseHandle(e->thread);
    e->thread = nullptr;
  }
  return 0;
}

EXPORT ULONG WINAPI NmGetRawFrameLength(HANDLE frame, ULONG* length) {
  auto* f = static_cast<Frame*>(frame);
  if (!f || f->kind != kFrame) return ERROR_INVALID_PARAMETER;
  *length = f->length;
  return 0;
}

EXPORT ULONG WINAPI NmGetRawFrame(HANDLE frame, ULONG size, BYTE* buffer, ULONG* length) {
  auto* f = static_cast<Frame*>(frame);
  if (!f || f->kind != kFrame) return ERROR_INVALID_PARAMETER;
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
  f->kind = kFile;
  CaptureFrame fr;
  while (reader.Next(fr)) f->frames.emplace_back(fr.data, fr.data + fr.caplen);
  *file = f;
  return 0;
}

EXPORT ULONG WINAPI NmGetFrameCount(HANDLE file, ULONG* count) {
  auto* f = static_cast<File*>(file);
  if (!f || f->kind != kFile) return ERROR_INVALID_PARAMETER;
  *count = ULONG(f->frames.size());
  return 0;
}

EXPORT ULONG WINAPI NmGetFrame(HANDLE file, ULONG index, HANDLE* frame) {
  auto* f = static_cast<File*>(file);
  if (!f || f->kind != kFile || index >= f->frames.size()) return ERROR_INVALID_PARAMETER;
  auto* fr = new Frame;
  fr->kind = kFrame;
  fr->data = f->frames[index].data();
  fr->length = ULONG(f->frames[index].size());
  *frame = fr;
  return 0;
}

EXPORT ULONG WINAPI NmCloseHandle(HANDLE h) {
  auto* o = static_cast<Object*>(h);
  if (!o) return ERROR_INVALID_PARAMETER;
  if (o->kind == kEngine) {
    NmStopCapture(h, 0);
    delete static_cast<Engine*>(o);
  } else if (o->kind == kFile) {
    delete static_cast<File*>(o);
  } else if (o->kind == kFrame) {
    delete static_cast<Frame*>(o);
  }
  return 0;
}
