// The thin window base: one static procedure routes every message of every
// window of the program to its object, under the exception guard.
#pragma once
#include <windows.h>

// What a message loop asks before dispatching: accelerators and dialog
// keys of the program's windows. The main loop and the capture loop share it.
class MessageFilter {
 public:
  virtual ~MessageFilter() = default;
  virtual bool PreTranslate(MSG* m) = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  HWND hwnd() const { return hwnd_; }

  // Registers `className` for Window objects; call once per class.
  static bool RegisterClass(HINSTANCE instance, const char* className, HICON icon, HCURSOR cursor,
                            HBRUSH background);
  // Creates the window of this object.
  HWND Create(DWORD exStyle, const char* className, const char* title, DWORD style, int x, int y,
              int w, int h, HWND parent, HMENU menu, HINSTANCE instance);

 protected:
  // Return true with *result set when the message was handled.
  virtual bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) = 0;
  HWND hwnd_ = nullptr;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
};

// Runs `fn` under the exception guard: a fault inside shows the "Exception !"
// dialog, whose Continue abandons the call and returns `fallback`.
LRESULT GuardedCall(LRESULT (*fn)(void*), void* ctx, LRESULT fallback);
// Installs the fault handler (once, at start-up).
void InstallExceptionGuard(HINSTANCE instance);
// Replaces the dialog with a callback that receives the report text (tests).
using ExceptionReporter = void (*)(const char* report);
void SetExceptionReporter(ExceptionReporter reporter);

// A dialog procedure wrapped by the guard.
INT_PTR GuardedDialogProc(DLGPROC proc, HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
