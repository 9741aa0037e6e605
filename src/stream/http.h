// Shallow HTTP parsing of stream blocks: request URLs, response bodies
// (de-chunked and gunzipped) and the names bodies are extracted under.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <string>

// A decoded body stops growing here; what was decoded so far is kept.
constexpr size_t kMaxDecodedBody = 256u << 20;
constexpr size_t kMaxChunkSizeText = 255;
constexpr size_t kMaxFileNamePart = 64;
constexpr size_t kMaxPath = 259;

// The URL of the request at *pos of `text` ("http://" host target); advances
// *pos past its header. False when there is no further listable request.
bool UrlListEntry(const char* text, size_t* pos, std::string* url);

// Decodes a chunked body; stops at the first malformed chunk. A size line
// is the hex size and whatever follows it up to CR LF (chunk extensions,
// spaces), which is ignored.
void DechunkBody(const uint8_t* body, size_t n, std::string* out);

// A response whose body is gzip-encoded: the header followed by the
// decompressed body (de-chunked first when chunked). False when the block is
// no such response. With `dechunkAlways`, chunked bodies that are not
// compressed are de-chunked too (extraction). `cut`, when given, tells
// whether the body was cut at kMaxDecodedBody.
bool HttpResponseDecoder(const uint8_t* block, size_t n, std::string* out, bool dechunkAlways = false,
                         bool* cut = nullptr);

// A GET request block replaces `pending` with a plain file name taken from
// its target: never a path, never "." or "..", no reserved device name.
void HttpFileName(const char* block, std::string* pending);

// The file extension (".htm") of a MIME type, from the system's database or,
// where there is none, a built-in table; "" when unknown.
std::string MimeExtension(const std::string& contentType);

// At most this many failures are named one by one in FailureReport().
constexpr size_t kMaxFailuresNamed = 10;

// Writes the body of every response block to a file in `folder`, named after
// the last GET request; a name used twice in one run gets "(1)", "(2)", ...
// A name whose path would pass kMaxPath is shortened: its base is cut, the
// extension and the numbering stay. A body that cannot be written leaves no
// file; the extraction goes on with the next one.
class HttpExtractor {
 public:
  // No body is written over `keep` (the packet file being read).
  explicit HttpExtractor(std::string folder, std::string keep = "")
      : folder_(std::move(folder)), keep_(std::move(keep)) {}
  // `block[n]` is a NUL, as after a stream block's bytes. A body cut at
  // kMaxDecodedBody is written so far and reported among the failures.
  // `holed`: the block lacks bytes the capture did not hold (a snapshot
  // length, lost packets).
  void OnBlock(const uint8_t* block, size_t n, bool holed = false);
  int filesWritten() const { return written_; }
  int filesFailed() const { return failed_; }
  // One line per failed body ("path: the system's reason", the first
  // kMaxFailuresNamed of them), then how many of how many failed.
  std::string FailureReport() const;
  // The bodies written from such blocks (the first kMaxFailuresNamed),
  // then how many; empty when none.
  std::string HoleReport() const;

 private:
  std::string UniqueName(const std::string& name, size_t room);
  void Fail(const std::string& path, const std::string& reason);
  std::string folder_;
  std::string keep_;
  std::string pending_;
  std::set<std::string> used_;
  std::map<std::string, int> nextNumber_;  // by requested name, case folded
  std::string failures_;
  std::string holes_;
  int holed_ = 0;
  int written_ = 0;
  int failed_ = 0;
};
