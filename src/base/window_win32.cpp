#include "base/window_win32.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "base/thread.h"
#include "resource.h"

namespace {

std::unordered_map<HWND, Window*>& Objects() {
  static std::unordered_map<HWND, Window*> map;
  return map;
}

// The exception guard. A fault in our own code inside a guarded call is
// caught by a vectored handler, shown, and then abandoned by resuming at a
// trampoline that jumps back to the guard.
struct GuardFrame {
  void* jump[5];
  GuardFrame* outer;
};
// Each thread has its own chain of guards: a fault on one thread must never
// jump into a frame on another thread's stack.
DWORD GuardSlot() {
  static const DWORD slot = TlsAlloc();
  return slot;
}
GuardFrame* Top() {
  const DWORD error = GetLastError();  // TlsGetValue clears it; a handler must not
  GuardFrame* top = static_cast<GuardFrame*>(TlsGetValue(GuardSlot()));
  SetLastError(error);
  return top;
}
void SetTop(GuardFrame* f) { TlsSetValue(GuardSlot(), f); }
// The thread showing a report (0: none). One report at a time: another
// thread's fault waits for it; a fault inside the report's own message loop
// passes to the system, as nothing can be shown for it.
volatile LONG g_reportingThread = 0;
HINSTANCE g_instance = nullptr;
uintptr_t g_imageStart = 0, g_imageEnd = 0;

// The builtin pair restores the guard's registers without unwinding the
// abandoned frames, which on x64 would need their unwind data to be intact.
void Recover() { __builtin_longjmp(Top()->jump, 1); }

uintptr_t StackPointer(const CONTEXT* c) {
#if defined(_M_IX86) || defined(__i386__)
  return c->Esp;
#else
  return c->Rsp;
#endif
}

void SetResume(CONTEXT* c, uintptr_t sp, uintptr_t ip) {
#if defined(_M_IX86) || defined(__i386__)
  c->Esp = static_cast<DWORD>(sp);
  c->Eip = static_cast<DWORD>(ip);
#else
  c->Rsp = sp;
  c->Rip = ip;
#endif
}

std::string ModuleOf(uintptr_t address) {
  HMODULE m = nullptr;
  char path[MAX_PATH] = "";
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(address), &m) &&
      GetModuleFileNameA(m, path, sizeof path)) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
  }
  return "{Unknown}";
}

std::string Dump(uintptr_t address, bool stack) {
  std::string out;
  char b[8];
  for (int i = 0; i < 128; i++) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(address + i);
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(p, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT ||
        (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
      break;
    if (stack && i % 4 == 0) out += "  ";
    snprintf(b, sizeof b, "%2.2X ", *p);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

INT_PTR CALLBACK ExceptionDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      SetDlgItemTextA(dlg, IDC_EXCEPTION_TEXT, reinterpret_cast<const char*>(lp));
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDC_EXCEPTION_COPY: {
          HWND edit = GetDlgItem(dlg, IDC_EXCEPTION_TEXT);
          SendMessageA(edit, EM_SETSEL, 0, -1);
          SendMessageA(edit, WM_COPY, 0, 0);
          SendMessageA(edit, EM_SETSEL, WPARAM(-1), 0);
          return TRUE;
        }
        case IDOK:
        case IDCANCEL:
          EndDialog(dlg, IDOK);
          return TRUE;
        case IDC_EXCEPTION_TERMINATE:
          EndDialog(dlg, IDC_EXCEPTION_TERMINATE);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

// The report text; the 64-bit form names the x64 registers at their full width.
std::string FormatExceptionReport(DWORD code, uintptr_t address, const CONTEXT* c) {
  char text[2048];
#if defined(_M_IX86) || defined(__i386__)
  snprintf(text, sizeof text,
           "Exception %8.8lX at address %8.8lX in module %s\r\nRegisters: \r\n"
           "EAX=%8.8lX EBX=%8.8lX ECX=%8.8lX EDX=%8.8lX\r\nESI=%8.8lX EDI=%8.8lX EBP=%8.8lX ESP=%8.8lX\r\n"
           "EIP=%8.8lX\r\nStack Data: %s\r\nCode Data: %s\r\n",
           (unsigned long)code, (unsigned long)address, ModuleOf(address).c_str(),
           (unsigned long)c->Eax, (unsigned long)c->Ebx, (unsigned long)c->Ecx, (unsigned long)c->Edx,
           (unsigned long)c->Esi, (unsigned long)c->Edi, (unsigned long)c->Ebp, (unsigned long)c->Esp,
           (unsigned long)c->Eip, Dump(c->Esp, true).c_str(), Dump(c->Eip, false).c_str());
#else
  using ull = unsigned long long;
  snprintf(text, sizeof text,
           "Exception %8.8lX at address %16.16llX in module %s\r\nRegisters: \r\n"
           "RAX=%16.16llX RBX=%16.16llX RCX=%16.16llX RDX=%16.16llX\r\n"
           "RSI=%16.16llX RDI=%16.16llX RBP=%16.16llX RSP=%16.16llX\r\n"
           "R8=%16.16llX R9=%16.16llX R10=%16.16llX R11=%16.16llX\r\n"
           "R12=%16.16llX R13=%16.16llX R14=%16.16llX R15=%16.16llX\r\n"
           "RIP=%16.16llX\r\nStack Data: %s\r\nCode Data: %s\r\n",
           (unsigned long)code, (ull)address, ModuleOf(address).c_str(), (ull)c->Rax, (ull)c->Rbx,
           (ull)c->Rcx, (ull)c->Rdx, (ull)c->Rsi, (ull)c->Rdi, (ull)c->Rbp, (ull)c->Rsp, (ull)c->R8,
           (ull)c->R9, (ull)c->R10, (ull)c->R11, (ull)c->R12, (ull)c->R13, (ull)c->R14, (ull)c->R15,
           (ull)c->Rip, Dump(c->Rsp, true).c_str(), Dump(c->Rip, false).c_str());
#endif
  return text;
}

ExceptionReporter g_reporter = nullptr;

// Shows the dialog; returns true after Continue, ends the process on
// Terminate; false when this thread is already showing one.
bool ReportException(DWORD code, uintptr_t address, const CONTEXT* c) {
  const LONG me = LONG(GetCurrentThreadId());
  for (;;) {
    const LONG owner = InterlockedCompareExchange(&g_reportingThread, me, 0);
    if (owner == 0) break;
    if (owner == me) return false;
    Sleep(20);
  }
  std::string text = FormatExceptionReport(code, address, c);
  INT_PTR r = IDOK;
  if (g_reporter)
    g_reporter(text.c_str());
  else
    r = DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_EXCEPTION), nullptr, ExceptionDialogProc,
                        reinterpret_cast<LPARAM>(text.c_str()));
  InterlockedExchange(&g_reportingThread, 0);
  if (r == IDC_EXCEPTION_TERMINATE) ExitProcess(1);
  return true;
}

bool IsFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return true;
    default:
      return false;
  }
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* ep) {
  const DWORD code = ep->ExceptionRecord->ExceptionCode;
  const uintptr_t at = reinterpret_cast<uintptr_t>(ep->ExceptionRecord->ExceptionAddress);
  // Only faults of our own code in a guarded call: system libraries handle
  // some of their own exceptions, and those must pass untouched.
  if (!Top() || !IsFault(code) || at < g_imageStart || at >= g_imageEnd ||
      !ReportException(code, at, ep->ContextRecord))
    return EXCEPTION_CONTINUE_SEARCH;
  // Resume in the trampoline on a fresh, aligned piece of stack below the
  // faulting frame, as if it had been called; it jumps back to the guard.
  uintptr_t sp = (StackPointer(ep->ContextRecord) - 512) & ~uintptr_t(15);
  sp -= sizeof(void*);
  SetResume(ep->ContextRecord, sp, reinterpret_cast<uintptr_t>(&Recover));
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct ProcCall {
  Window* w;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  LRESULT result;
  bool handled;
};

}  // namespace

namespace {
// A second thread's guard: a fault is shown and the work abandoned, as in a
// guarded call; its C++ exceptions pass on to the thread's own handler.
bool GuardedRun(void (*fn)(void*), void* ctx) {
  GuardFrame frame;
  frame.outer = Top();
  if (__builtin_setjmp(frame.jump)) {
    SetTop(frame.outer);
    return false;
  }
  SetTop(&frame);
  try {
    fn(ctx);
  } catch (...) {
    SetTop(frame.outer);
    throw;
  }
  SetTop(frame.outer);
  return true;
}
}  // namespace

void InstallExceptionGuard(HINSTANCE instance) {
  g_instance = instance;
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(instance);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(reinterpret_cast<uint8_t*>(instance) + dos->e_lfanew);
  g_imageStart = reinterpret_cast<uintptr_t>(instance);
  g_imageEnd = g_imageStart + nt->OptionalHeader.SizeOfImage;
  AddVectoredExceptionHandler(1, FaultHandler);
  g_guardedRunner = GuardedRun;
}

void SetExceptionReporter(ExceptionReporter reporter) { g_reporter = reporter; }

LRESULT GuardedCall(LRESULT (*fn)(void*), void* ctx, LRESULT fallback) {
  GuardFrame frame;
  frame.outer = Top();
  if (__builtin_setjmp(frame.jump)) {
    SetTop(frame.outer);  // the fault was shown; the call is abandoned
    return fallback;
  }
  SetTop(&frame);
  LRESULT r = fallback;
  try {
    r = fn(ctx);
  } catch (const AbandonedAfterFault&) {
    // A second thread's fault, shown there: this call is abandoned with it.
  } catch (...) {
    CONTEXT c{};
    ReportException(0xE06D7363, 0, &c);  // a C++ exception
  }
  SetTop(frame.outer);
  return r;
}

bool Window::RegisterClass(HINSTANCE instance, const char* className, HICON icon, HCURSOR cursor,
                           HBRUSH background) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hIcon = icon;
  wc.hIconSm = icon;
  wc.hCursor = cursor;
  wc.hbrBackground = background;
  wc.lpszClassName = className;
  return RegisterClassExA(&wc) != 0;
}

HWND Window::Create(DWORD exStyle, const char* className, const char* title, DWORD style, int x,
                    int y, int w, int h, HWND parent, HMENU menu, HINSTANCE instance) {
  return CreateWindowExA(exStyle, className, title, style, x, y, w, h, parent, menu, instance, this);
}

LRESULT CALLBACK Window::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  Window* w = nullptr;
  if (msg == WM_NCCREATE) {
    w = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
    w->hwnd_ = hwnd;
    Objects()[hwnd] = w;
  } else {
    auto it = Objects().find(hwnd);
    if (it != Objects().end()) w = it->second;
  }
  if (!w) return DefWindowProcA(hwnd, msg, wp, lp);
  ProcCall call{w, msg, wp, lp, 0, false};
  GuardedCall(
      [](void* p) -> LRESULT {
        auto* c = static_cast<ProcCall*>(p);
        c->handled = c->w->OnMessage(c->msg, c->wp, c->lp, &c->result);
        return 0;
      },
      &call, 0);
  if (msg == WM_NCDESTROY) {
    Objects().erase(hwnd);
    w->hwnd_ = nullptr;
  }
  return call.handled ? call.result : DefWindowProcA(hwnd, msg, wp, lp);
}

INT_PTR GuardedDialogProc(DLGPROC proc, HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  struct Call {
    DLGPROC proc;
    HWND dlg;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
  } call{proc, dlg, msg, wp, lp};
  return GuardedCall(
      [](void* p) -> LRESULT {
        auto* c = static_cast<Call*>(p);
        return c->proc(c->dlg, c->msg, c->wp, c->lp);
      },
      &call, 0);
}
