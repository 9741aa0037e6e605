// Entry point of pakrill.exe.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <io.h>

#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/config.h"
#include "base/language_win32.h"
#include "app/main_window_win32.h"
#include "base/options.h"
#include "app/report.h"
#include "enrich/country_data.h"
#include "base/strings.h"
#include "base/thread.h"
#include "base/window_win32.h"
#include "capture/netmon3_library_win32.h"
#include "capture/pcap_library_win32.h"
#include "base/language.h"
#include "app/import.h"
#include "resource.h"

namespace {

std::string ExecutablePath() {
  char exe[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  return exe;
}

// A windowed program's standard error leads nowhere unless the caller
// redirected it; otherwise messages go to the caller's console itself.
void AttachCallerConsole() {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  const intptr_t handle = _get_osfhandle(_fileno(stderr));
  if (handle == -1 || handle == -2) freopen("CONOUT$", "w", stderr);
}

// Report mode: `/stab OUT CAPTURE` writes the report and ends. Messages go
// to the console of the caller, when there is one.
bool RunReportMode(const std::vector<std::string>& args, int* exitCode) {
  if (args.size() < 2) return false;
  const bool extract = EqualNoCase(args[0].c_str(), "/sextracthttp");
  const bool streams = extract || EqualNoCase(args[0].c_str(), "/sstreams");
  if (!streams && !ReportFormatOfSwitch(args[0].c_str()) && !EqualNoCase(args[0].c_str(), "/sconvert")) return false;
  // Reports run unattended: a fault ends the run, as on the first thread,
  // rather than wait for a click on its report.
  g_guardedRunner = nullptr;
  if (streams) {
    AttachCallerConsole();
    Options options;
    std::string message;
    const std::vector<std::string> a = PlainArguments(args, 1);
    if (a.size() != (extract ? 2u : 3u)) {
      fprintf(stderr, "pakrill: wrong arguments for %s\n", args[0].c_str());
      *exitCode = kExitUsage;
      return true;
    }
    *exitCode = !LoadReportSettings(args, DefaultConfigPath(ExecutablePath()), options, message) ? kExitFailure
                : extract ? RunExtractHttp(options, a[0].c_str(), a[1].c_str(), message)
                          : RunExportStreams(options, a[0].c_str(), a[1].c_str(), a[2].c_str(), message);
    if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
    return true;
  }
  AttachCallerConsole();
  std::string message;
  const std::string exe = ExecutablePath();
  CountryData countries;
  const bool haveCountries = countries.LoadFromFolder(exe.substr(0, exe.find_last_of('\\') + 1));
  *exitCode = RunReportCommand(args, DefaultConfigPath(exe), message, haveCountries ? &countries : nullptr);
  if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
  return true;
}

bool InitCommonControlClasses() {
  HMODULE cc = LoadLibraryA("comctl32.dll");
  using InitEx = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init = cc ? reinterpret_cast<InitEx>(reinterpret_cast<void*>(GetProcAddress(cc, "InitCommonControlsEx")))
                 : nullptr;
  if (!init) {
    InitCommonControls();
    return true;
  }
  INITCOMMONCONTROLSEX icc{sizeof icc, 0xFF};
  return init(&icc) != FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int) {
  InstallExceptionGuard(instance);
  if (!InitCommonControlClasses()) {
    MessageBoxA(nullptr, "Error: Cannot load the common control classes.", "Error", MB_ICONWARNING);
    return 1;
  }
  LoadLibraryA("riched20.dll");
  CoInitialize(nullptr);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 0), &wsa);

  const std::vector<std::string> args = ParseCommandLine(cmdLine);
  if (FindArgument(args, "/nocapdriver") < 0) LoadPacketCaptureLibrary();
  SetNetMonFileImporter(LoadNetMon3CaptureFile);

  int exitCode = 0;
  if (FindArgument(args, "/savelangfile") >= 0) {
    if (!WriteLanguageTemplate(instance, LanguageFilePathFor(ExecutablePath()))) exitCode = 1;
    WSACleanup();
    CoUninitialize();
    return exitCode;
  }
  LoadLanguageFile(LanguageFilePathFor(ExecutablePath()));
  if (FindArgument(args, "/deleteregkey") >= 0) {
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Toveral\\Pakrill");
  } else if (!RunReportMode(args, &exitCode)) {
    HACCEL accel = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDA_MAIN));
    MainWindow window(args);
    if (!window.CreateMainWindow(instance, accel)) return 1;
    ShowWindow(window.hwnd(), window.InitialShowCommand());
    UpdateWindow(window.hwnd());
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
      if (window.PreTranslate(&m)) continue;
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    exitCode = 0;
  }
  WSACleanup();
  CoUninitialize();
  return exitCode;
}
