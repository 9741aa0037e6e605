// Watches Pakrill's main window from another process, as its user would:
// every INTERVAL ms one line of milliseconds since the start, how long the
// window took to answer (-1: not within 5 s), the rows in the list, the
// status bar's text, and the text of a message box when one is open.
// Usage: window_watch INTERVAL_MS   (ends when the window is gone)
//        window_watch clipboard     (the clipboard's text: bytes and lines)
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

namespace {
struct MessageBoxText {
  char text[512] = "";
};

BOOL CALLBACK FindStatic(HWND child, LPARAM param) {
  char cls[32] = "";
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0 && GetWindowTextLengthA(child) > 0) {
    GetWindowTextA(child, reinterpret_cast<MessageBoxText*>(param)->text, 512);
    return FALSE;
  }
  return TRUE;
}
// Read here, not through X: Wine does not hand hundreds of megabytes of
// text on to X programs.
int CountClipboard() {
  if (!OpenClipboard(nullptr)) return 1;
  const HANDLE h = GetClipboardData(CF_TEXT);
  const char* p = h ? static_cast<const char*>(GlobalLock(h)) : nullptr;
  size_t bytes = 0, lines = 0;
  if (p) {
    for (const size_t n = GlobalSize(h); bytes < n && p[bytes]; bytes++) lines += p[bytes] == '\n';
    GlobalUnlock(h);
  }
  CloseClipboard();
  printf("%zu %zu\n", bytes, lines);
  return p ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && lstrcmpA(argv[1], "clipboard") == 0) return CountClipboard();
  const DWORD interval = argc > 1 ? DWORD(atoi(argv[1])) : 1000;
  const DWORD start = GetTickCount();
  bool seen = false;
  for (;;) {
    HWND main = FindWindowA("Pakrill", nullptr);
    if (!main) {
      if (seen) return 0;
      Sleep(200);
      continue;
    }
    seen = true;
    HWND status = FindWindowExA(main, nullptr, STATUSCLASSNAMEA, nullptr);
    HWND list = FindWindowExA(main, nullptr, WC_LISTVIEWA, nullptr);
    char text[256] = "";
    DWORD_PTR result = 0, rows = 0;
    const DWORD asked = GetTickCount();
    const bool answered =
        SendMessageTimeoutA(status, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, &result);
    const long took = answered ? long(GetTickCount() - asked) : -1;
    if (answered) SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &rows);
    MessageBoxText box;
    if (HWND dialog = FindWindowA("#32770", "Pakrill")) EnumChildWindows(dialog, FindStatic, reinterpret_cast<LPARAM>(&box));
    for (char* p = box.text; *p; p++)
      if (*p == '\r' || *p == '\n' || *p == '\t') *p = ' ';
    printf("%lu\t%ld\t%lu\t%s\t%s\n", static_cast<unsigned long>(GetTickCount() - start), took,
           static_cast<unsigned long>(rows), text, box.text);
    fflush(stdout);
    Sleep(interval);
  }
}
