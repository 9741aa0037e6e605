// Entry point of pakrill.exe. For now: the main window shell.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/options.h"
#include "app/report.h"
#include "resource.h"

namespace {

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, msg, wp, lp);
  }
}

}  // namespace

// Report mode: `/stab OUT CAPTURE` writes the report and ends. Messages go
// to the console of the caller, when there is one.
static bool RunReportMode(const std::vector<std::string>& args, int* exitCode) {
  if (args.size() < 2) return false;
  const int format = ReportFormatOfSwitch(args[0].c_str());
  if (!format) return false;
  AttachConsole(ATTACH_PARENT_PROCESS);
  if (format != 2) {
    fprintf(stderr, "pakrill: %s: this report format is not available yet\n", args[0].c_str());
    *exitCode = kExitUsage;
  } else if (args.size() < 3) {
    fprintf(stderr, "pakrill: %s needs a capture file after the output file\n", args[0].c_str());
    *exitCode = kExitUsage;
  } else {
    Options options;
    std::string message;
    *exitCode = RunReport(options, format, args[1].c_str(), args[2].c_str(), message);
    if (!message.empty()) fprintf(stderr, "pakrill: %s\n", message.c_str());
  }
  return true;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int show) {
  const std::vector<std::string> args = ParseCommandLine(cmdLine);
  int exitCode = 0;
  if (RunReportMode(args, &exitCode)) return exitCode;

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_PAKRILL));
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = "PakrillMainWindow";
  if (!RegisterClassExA(&wc)) return 1;
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "Pakrill", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 900, 600, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return int(m.wParam);
}
