#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/raw_file.h"

bool RawFile::OpenWrite(const char* path) {
  Close();
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  handle_ = fd < 0 ? kInvalid : fd;
  return fd >= 0;
}

bool RawFile::OpenRead(const char* path) {
  Close();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  handle_ = fd < 0 ? kInvalid : fd;
  return fd >= 0;
}

bool RawFile::Write(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(int(handle_), p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = ENOSPC;  // nothing taken: no room
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

long RawFile::Read(void* data, size_t n) {
  for (;;) {
    ssize_t r = read(int(handle_), data, n);
    if (r < 0 && errno == EINTR) continue;
    return long(r);
  }
}

bool RawFile::Seek(uint64_t offset) { return lseek(int(handle_), off_t(offset), SEEK_SET) >= 0; }

bool RawFile::Close() {
  const bool ok = handle_ == kInvalid || close(int(handle_)) == 0;
  handle_ = kInvalid;
  return ok;
}

std::string RawFile::LastErrorText() { return strerror(errno); }
unsigned long RawFile::LastErrorCode() { return (unsigned long)errno; }
void RawFile::SetLastErrorCode(unsigned long code) { errno = int(code); }
bool RawFile::LastErrorIsMissing() { return errno == ENOENT || errno == ENOTDIR; }
bool RawFile::Replace(const char* from, const char* to) { return rename(from, to) == 0; }

bool RawFile::SameFile(const char* a, const char* b) {
  struct stat x, y;
  return stat(a, &x) == 0 && stat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool RawFile::Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

CreatedFile::~CreatedFile() {
  if (!kept_ && !existed_) {
    const int code = errno;  // the failure's reason stays the last error
    unlink(path_.c_str());
    errno = code;
  }
}
