// An unbuffered file handle: writes reach the system at once, so a reader
// sees every record right after it was appended.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The system's code for running out of memory, as LastErrorCode gives
// codes (ERROR_NOT_ENOUGH_MEMORY, ENOMEM).
#ifdef _WIN32
constexpr unsigned long kOutOfMemoryCode = 8;
constexpr unsigned long kFileTooLargeCode = 223;  // ERROR_FILE_TOO_LARGE
#else
constexpr unsigned long kOutOfMemoryCode = 12;
constexpr unsigned long kFileTooLargeCode = 27;  // EFBIG
#endif

class RawFile {
 public:
  RawFile() = default;
  ~RawFile() { Close(); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  // Creates or truncates; others may read while it is open.
  bool OpenWrite(const char* path);
  // Opens an existing file; others may read and write while it is open.
  bool OpenRead(const char* path);
  bool Write(const void* data, size_t n);
  // Bytes read (0 at the end), or -1 on error.
  long Read(void* data, size_t n);
  // Seek to an absolute offset (read side).
  bool Seek(uint64_t offset);
  // False when the system reports an error of an earlier write only now
  // (a network share's, say).
  bool Close();
  bool IsOpen() const { return handle_ != kInvalid; }
  // The system's text for the error of the last failed call.
  static std::string LastErrorText();
  // The system's code of that error (GetLastError, errno).
  static unsigned long LastErrorCode();
  static void SetLastErrorCode(unsigned long code);
  // Whether that error was a missing file or folder.
  static bool LastErrorIsMissing();
  // Puts `from` in the place of `to`, replacing it in one step.
  static bool Replace(const char* from, const char* to);
  // Whether both names reach one existing file (links and other spellings
  // included): by device and inode, or by volume and file index.
  static bool SameFile(const char* a, const char* b);
  // Whether anything (a file, a folder, a device) has that name.
  static bool Exists(const char* path);

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

// A file an output creates, taken away again when the output fails: no part
// of a file is left where there was none. What was there before (a file
// written over, a device) stays. Declared before the output's RawFile, so
// that the file is closed first.
class CreatedFile {
 public:
  explicit CreatedFile(const char* path) : path_(path), existed_(RawFile::Exists(path)) {}
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;
  ~CreatedFile();
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool existed_;
  bool kept_ = false;
};
