#include "capture/netmon3_library_win32.h"

#include <cstring>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/frame.h"
#include "packetfile/capture_reader.h"

NetMon3Library& NetMon3() {
  static NetMon3Library* lib = new NetMon3Library;  // 49 KB of adapter table: not on any stack
  return *lib;
}

namespace {
template <typename T>
void Bind(HMODULE m, const char* name, T& fn) {
  fn = m ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}
}  // namespace

void BindNetMon3Library(HMODULE m) {
  NetMon3Library& lib = NetMon3();
  if (lib.module && lib.module != m) FreeLibrary(lib.module);
  lib.module = m;
  lib.adapterCount = 0;
  Bind(m, "NmApiInitialize", lib.NmApiInitialize);
  Bind(m, "NmApiClose", lib.NmApiClose);
  Bind(m, "NmConfigAdapter", lib.NmConfigAdapter);
  Bind(m, "NmGetAdapter", lib.NmGetAdapter);
  Bind(m, "NmGetAdapterCount", lib.NmGetAdapterCount);
  Bind(m, "NmOpenCaptureEngine", lib.NmOpenCaptureEngine);
  Bind(m, "NmStartCapture", lib.NmStartCapture);
  Bind(m, "NmStopCapture", lib.NmStopCapture);
  Bind(m, "NmGetRawFrame", lib.NmGetRawFrame);
  Bind(m, "NmGetRawFrameLength", lib.NmGetRawFrameLength);
  Bind(m, "NmCloseHandle", lib.NmCloseHandle);
  Bind(m, "NmGetFrame", lib.NmGetFrame);
  Bind(m, "NmGetFrameCount", lib.NmGetFrameCount);
  Bind(m, "NmGetFrameTimeStamp", lib.NmGetFrameTimeStamp);
  Bind(m, "NmOpenCaptureFile", lib.NmOpenCaptureFile);
}

bool LoadNetMon3Library() {
  NetMon3Library& lib = NetMon3();
  if (lib.module) return true;
  HMODULE m = nullptr;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Netmon3", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char dir[MAX_PATH + 1] = "";
    DWORD size = MAX_PATH, type = 0;
    if (RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(dir), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      dir[size < MAX_PATH ? size : MAX_PATH] = 0;
      const size_t d = strlen(dir);
      const bool slash = d > 0 && dir[d - 1] == '\\';
      if (d > 0 && d + strlen("NmApi.dll") + 1 < MAX_PATH) {
        char path[MAX_PATH];
        strcpy(path, dir);
        if (!slash) strcat(path, "\\");
        strcat(path, "NmApi.dll");
        m = LoadLibraryA(path);
      }
    }
    RegCloseKey(key);
  }
  if (!m) m = LoadLibraryA("NmApi.dll");
  if (!m) lib.loadError = GetLastError();
  BindNetMon3Library(m);
  return m != nullptr;
}

void EnumerateNetMon3Adapters() {
  NetMon3Library& lib = NetMon3();
  LoadNetMon3Library();
  HANDLE engine = nullptr;
  if (!lib.NmOpenCaptureEngine || lib.NmOpenCaptureEngine(&engine) != 0) return;
  ULONG count = 0;
  if (lib.NmGetAdapterCount) lib.NmGetAdapterCount(engine, &count);
  if (count > ULONG(kNetMon3MaxAdapters)) count = kNetMon3MaxAdapters;
  lib.adapterCount = count;
  for (ULONG i = 0; i < count; i++) {
    memset(lib.adapters[i], 0, kNetMon3AdapterRecord);
    const uint16_t size = kNetMon3AdapterRecord;
    memcpy(lib.adapters[i], &size, 2);
    if (lib.NmGetAdapter) lib.NmGetAdapter(engine, i, lib.adapters[i]);
    // The texts are read as at most 259 characters and a terminator, whatever the library left.
    lib.adapters[i][kNetMon3DisplayNameOffset + 2 * kNetMon3TextChars - 1] = 0;
    lib.adapters[i][kNetMon3DisplayNameOffset + 2 * kNetMon3TextChars - 2] = 0;
    lib.adapters[i][kNetMon3GuidOffset + 2 * kNetMon3TextChars - 1] = 0;
    lib.adapters[i][kNetMon3GuidOffset + 2 * kNetMon3TextChars - 2] = 0;
  }
  if (lib.NmCloseHandle) lib.NmCloseHandle(engine);
}

bool LoadNetMon3CaptureFile(PacketSniffer& sniffer, const char* path) {
  NetMon3Library& lib = NetMon3();
  auto fail = [&](const char* why) {
    lib.fileError = why;
    return false;
  };
  if (!LoadNetMon3Library() || !lib.NmOpenCaptureFile || !lib.NmGetFrame || !lib.NmGetRawFrame)
    return fail("NmApi.dll or its capture file functions are missing");
  // Without a frame count every file would read as empty, and wrongly so.
  if (!lib.NmGetFrameCount) return fail("NmApi.dll has no NmGetFrameCount");
  // Without the frames' own times the import would show when it ran.
  if (!lib.NmGetFrameTimeStamp) return fail("NmApi.dll has no NmGetFrameTimeStamp");
  wchar_t wide[MAX_PATH] = L"";
  if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return fail("the path does not convert");
  HANDLE file = nullptr;
  if (lib.NmOpenCaptureFile(wide, &file) != 0) return fail("NmOpenCaptureFile failed");
  ULONG count = 0;
  if (lib.NmGetFrameCount(file, &count) != 0) {
    if (lib.NmCloseHandle) lib.NmCloseHandle(file);
    return fail("NmGetFrameCount failed");
  }
  std::vector<BYTE> buffer(kNetMon3FrameBytes);  // one buffer for the whole file
  LocalTimeConverter clock;
  for (ULONG i = 0; i < count; i++) {
    HANDLE frame = nullptr;
    if (lib.NmGetFrame(file, i, &frame) != 0) continue;
    ULONG length = 0;
    ULONGLONG utc = 0;
    if (lib.NmGetFrameTimeStamp(frame, &utc) != 0) utc = 0;
    const FileTime time = utc ? clock.Convert(utc < kMaxFileTime ? utc : kMaxFileTime) : 0;  // 0: none, as our reader
    if (lib.NmGetRawFrame(frame, kNetMon3FrameBytes, buffer.data(), &length) == 0 && length <= kNetMon3FrameBytes)
      HandleNetMonFrame(sniffer, buffer.data(), length, time);
    if (lib.NmCloseHandle) lib.NmCloseHandle(frame);
  }
  if (lib.NmCloseHandle) lib.NmCloseHandle(file);
  lib.fileError = "";
  return true;
}
