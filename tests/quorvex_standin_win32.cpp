// A stand-in for the IP-information tool: registers its window class, takes
// Pakrill's two messages, reads the address text out of Pakrill's memory and
// writes it to received.txt beside itself (its command line to started.txt).
// It ends by itself after two minutes.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

DWORD g_pid = 0;
std::string g_folder;

void WriteFile(const char* name, const std::string& text) {
  if (FILE* f = fopen((g_folder + name).c_str(), "wb")) fwrite(text.data(), 1, text.size(), f), fclose(f);
}

LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case 1280:
      g_pid = DWORD(lp);
      return 0;
    case 1281: {
      std::string text(size_t(wp), '\0');
      SIZE_T got = 0;
      HANDLE p = OpenProcess(PROCESS_VM_READ, FALSE, g_pid);
      const bool ok = p && ReadProcessMemory(p, reinterpret_cast<const void*>(lp), &text[0], text.size(), &got);
      if (p) CloseHandle(p);
      WriteFile("received.txt", ok && got == text.size() ? text : std::string("read failed\r\n"));
      return 0;
    }
    case WM_TIMER:
    case WM_CLOSE:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int show) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  g_folder.assign(path, strrchr(path, '\\') + 1);
  WriteFile("started.txt", GetCommandLineA());
  WNDCLASSA wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = inst;
  wc.lpszClassName = "Toveral_Quorvex";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(0, wc.lpszClassName, "Quorvex stand-in", WS_OVERLAPPEDWINDOW, 1000, 660, 240, 120, nullptr,
                           nullptr, inst, nullptr);
  ShowWindow(w, show);
  SetTimer(w, 1, 120000, nullptr);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  return 0;
}
