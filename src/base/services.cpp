#include "base/services.h"

namespace {
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

void ServiceTable::Add(uint16_t port, const char* name, size_t length) {
  if (nameAt_.empty()) {
    nameAt_.assign(65536, 0);
    names_.assign(1, '\0');
  }
  if (nameAt_[port] || !length) return;
  nameAt_[port] = uint32_t(names_.size());
  names_.append(name, length < kMaxServiceName ? length : kMaxServiceName);
  names_.push_back('\0');
}

void ServiceTable::Parse(const char* text, size_t length) {
  if (length > kMaxServicesFile) length = kMaxServicesFile;
  const char* const end = text + length;
  for (const char* line = text; line < end;) {
    const char* eol = line;
    while (eol < end && *eol != '\n') eol++;
    const char* stop = line;
    while (stop < eol && *stop != '#') stop++;
    // The name, then the port and its protocol.
    const char* p = line;
    while (p < stop && Blank(*p)) p++;
    const char* name = p;
    while (p < stop && !Blank(*p) && *p) p++;
    const size_t nameLength = size_t(p - name);
    while (p < stop && Blank(*p)) p++;
    uint32_t port = 0;
    const char* digits = p;
    while (p < stop && *p >= '0' && *p <= '9' && port <= 65535) port = port * 10 + uint32_t(*p++ - '0');
    if (nameLength && p > digits && port <= 65535 && p < stop && *p == '/' && p + 1 < stop && !Blank(p[1]))
      Add(uint16_t(port), name, nameLength);
    line = eol < end ? eol + 1 : end;
  }
}
