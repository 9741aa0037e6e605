// The Network Monitor 3 capture interface (NmApi.dll), bound at run time.
#pragma once
#include <windows.h>

#include <cstdint>

class PacketSniffer;

constexpr ULONG kNmCallFailed = 0xFFFF;  // the result of a call through a missing entry point
constexpr int kNetMon3MaxAdapters = 31;
constexpr size_t kNetMon3AdapterRecord = 1600;
constexpr size_t kNetMon3DisplayNameOffset = 544;
constexpr size_t kNetMon3GuidOffset = 1064;
constexpr size_t kNetMon3TextChars = 260;
// Frames up to the largest IPv4 datagram behind the 802.11 monitor header
// are kept whole.
constexpr ULONG kNetMon3FrameBytes = 66 * 1024;

using NmFrameCallback = void(WINAPI*)(HANDLE engine, ULONG adapterIndex, void* context, HANDLE frame);

struct NetMon3Library {
  HMODULE module = nullptr;
  DWORD loadError = 0;
  ULONG(WINAPI* NmApiInitialize)(void*) = nullptr;  // looked up, never called
  ULONG(WINAPI* NmApiClose)() = nullptr;             // looked up, never called
  ULONG(WINAPI* NmConfigAdapter)(HANDLE, ULONG, NmFrameCallback, void*, ULONG) = nullptr;
  ULONG(WINAPI* NmGetAdapter)(HANDLE, ULONG, void*) = nullptr;
  ULONG(WINAPI* NmGetAdapterCount)(HANDLE, ULONG*) = nullptr;
  ULONG(WINAPI* NmOpenCaptureEngine)(HANDLE*) = nullptr;
  ULONG(WINAPI* NmStartCapture)(HANDLE, ULONG, ULONG) = nullptr;
  ULONG(WINAPI* NmStopCapture)(HANDLE, ULONG) = nullptr;
  ULONG(WINAPI* NmGetRawFrame)(HANDLE, ULONG, BYTE*, ULONG*) = nullptr;
  ULONG(WINAPI* NmGetRawFrameLength)(HANDLE, ULONG*) = nullptr;  // looked up, never called
  ULONG(WINAPI* NmCloseHandle)(HANDLE) = nullptr;
  ULONG(WINAPI* NmGetFrame)(HANDLE, ULONG, HANDLE*) = nullptr;
  ULONG(WINAPI* NmGetFrameCount)(HANDLE, ULONG*) = nullptr;
  ULONG(WINAPI* NmGetFrameTimeStamp)(HANDLE, ULONGLONG*) = nullptr;  // UTC
  ULONG(WINAPI* NmOpenCaptureFile)(const wchar_t*, HANDLE*) = nullptr;

  // Why the last LoadNetMon3CaptureFile answered false; empty after success.
  const char* fileError = "";

  // The adapter table as the last enumeration left it.
  ULONG adapterCount = 0;
  uint8_t adapters[kNetMon3MaxAdapters][kNetMon3AdapterRecord] = {};
};

NetMon3Library& NetMon3();
// From the install folder in the registry, else the search path; once.
bool LoadNetMon3Library();
// Takes `module` as the library (tests bind stand-ins this way); null releases it.
void BindNetMon3Library(HMODULE module);
void EnumerateNetMon3Adapters();

// Every frame of a capture file through NmApi into `sniffer`; false (with
// fileError) when NmApi is not there, cannot open the file or cannot count
// its frames.
bool LoadNetMon3CaptureFile(PacketSniffer& sniffer, const char* path);
