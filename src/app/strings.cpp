#include "app/strings.h"

namespace {
struct Entry {
  int id;
  const char* text;
};
const Entry kStrings[] = {
#define STR(id, text) {id, text},
#include "strings.inc"
#undef STR
};
}  // namespace

const char* GetBuiltinString(int id) {
  // Sorted by id in the source; a binary search keeps column texts cheap.
  int lo = 0, hi = int(sizeof(kStrings) / sizeof(kStrings[0])) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    if (kStrings[mid].id == id) return kStrings[mid].text;
    if (kStrings[mid].id < id)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return "";
}

const char* GetString(int id) { return GetBuiltinString(id); }

bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = *a >= 'A' && *a <= 'Z' ? char(*a + 32) : *a;
    char y = *b >= 'A' && *b <= 'Z' ? char(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}
