#include "base/strings.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/language.h"

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

// Translated texts handed out: they stay where they are for the life of the
// process, however many there are.
struct TranslationCache {
  std::mutex lock;
  std::unordered_map<int, const char*> byId;
  std::deque<std::string> texts;  // never shrinks: handed-out texts stay valid
  int generation = -1;
};
TranslationCache& Cache() {
  static TranslationCache* c = new TranslationCache;  // never destroyed: texts outlive static destructors
  return *c;
}
// The conversions a text asks of printf, in order ("d|s|lu|"); "!" for one
// no built-in text uses (%n, * widths, positional arguments).
std::string FormatShape(const char* text) {
  std::string shape;
  for (const char* p = text; *p; p++) {
    if (*p != '%') continue;
    if (*++p == '%') continue;
    while (*p && strchr("-+ #0123456789.", *p)) p++;
    while (*p && strchr("hlLqjzt", *p)) shape += *p++;
    if (!*p || !strchr("diouxXeEfgGaAcsp", *p)) return "!";
    shape += *p;
    shape += '|';
  }
  return shape;
}
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

int BuiltinStringCount() { return int(sizeof(kStrings) / sizeof(kStrings[0])); }
int BuiltinStringIdAt(int i) { return kStrings[i].id; }

const char* GetString(int id) {
  if (id & kUntranslated) return GetBuiltinString(id & 0xFFFF);
  if (!LanguageFileInUse()) return GetBuiltinString(id);
  TranslationCache& c = Cache();
  const int generation = LanguageGeneration();
  std::lock_guard<std::mutex> g(c.lock);
  if (c.generation != generation) {
    c.byId.clear();
    c.generation = generation;
  }
  auto it = c.byId.find(id);
  if (it != c.byId.end()) return it->second;
  std::string text;
  // Texts are used as printf formats: a translation that asks for other
  // arguments than the built-in text would read the wrong ones.
  if (!LanguageLookup("strings", std::to_string(id).c_str(), &text) ||
      FormatShape(text.c_str()) != FormatShape(GetBuiltinString(id)))
    return c.byId[id] = GetBuiltinString(id);
  c.texts.push_back(std::move(text));
  return c.byId[id] = c.texts.back().c_str();
}

bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = *a >= 'A' && *a <= 'Z' ? char(*a + 32) : *a;
    char y = *b >= 'A' && *b <= 'Z' ? char(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}
