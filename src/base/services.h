// The names of ports, as the system's services database gives them to a
// lookup without a protocol: the first entry that names the port.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A services file larger than this is read only this far.
constexpr size_t kMaxServicesFile = 4 << 20;
// Longer names are cut, as the list's columns would cut them.
constexpr size_t kMaxServiceName = 254;

class ServiceTable {
 public:
  // Keeps `name` for `port` unless the port already has one.
  void Add(uint16_t port, const char* name, size_t length);
  // The entries of a services file's text ("name port/protocol aliases",
  // "#" comments, LF or CRLF lines), in order; malformed lines are skipped.
  void Parse(const char* text, size_t length);
  // nullptr when the port has no name.
  const char* Name(uint16_t port) const {
    return nameAt_.empty() || !nameAt_[port] ? nullptr : names_.data() + nameAt_[port];
  }

 private:
  std::vector<uint32_t> nameAt_;  // offset in names_; 0 = none
  std::string names_;
};
