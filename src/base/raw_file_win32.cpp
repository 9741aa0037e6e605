#include <windows.h>

#include "base/raw_file.h"

static HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool RawFile::OpenWrite(const char* path) {
  Close();
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  handle_ = h == INVALID_HANDLE_VALUE ? kInvalid : reinterpret_cast<intptr_t>(h);
  return IsOpen();
}

bool RawFile::OpenRead(const char* path) {
  Close();
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  handle_ = h == INVALID_HANDLE_VALUE ? kInvalid : reinterpret_cast<intptr_t>(h);
  return IsOpen();
}

bool RawFile::Write(const void* data, size_t n) {
  DWORD w = 0;
  if (!WriteFile(H(handle_), data, DWORD(n), &w, nullptr)) return false;
  if (w == n) return true;
  SetLastError(ERROR_DISK_FULL);  // a short write: the reason the system would give
  return false;
}

long RawFile::Read(void* data, size_t n) {
  DWORD r = 0;
  if (!ReadFile(H(handle_), data, DWORD(n), &r, nullptr)) return -1;
  return long(r);
}

bool RawFile::Seek(uint64_t offset) {
  LARGE_INTEGER li;
  li.QuadPart = LONGLONG(offset);
  return SetFilePointerEx(H(handle_), li, nullptr, FILE_BEGIN) != 0;
}

bool RawFile::Close() {
  const bool ok = handle_ == kInvalid || CloseHandle(H(handle_));
  handle_ = kInvalid;
  return ok;
}

unsigned long RawFile::LastErrorCode() { return GetLastError(); }
void RawFile::SetLastErrorCode(unsigned long code) { SetLastError(DWORD(code)); }
bool RawFile::LastErrorIsMissing() {
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}
bool RawFile::Replace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {
bool Identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}
}  // namespace

bool RawFile::SameFile(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return Identity(a, &x) && Identity(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

std::string RawFile::LastErrorText() {
  const DWORD code = GetLastError();
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = 0;
  return n ? std::string(text) : "error " + std::to_string(code);
}

bool RawFile::Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

CreatedFile::~CreatedFile() {
  if (!kept_ && !existed_) {
    const DWORD code = GetLastError();  // the failure's reason stays the last error
    DeleteFileA(path_.c_str());
    SetLastError(code);
  }
}
