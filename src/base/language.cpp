#include "base/language.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "base/ini.h"
#include "base/strings.h"

namespace {

struct LanguageState {
  std::mutex lock;
  std::unique_ptr<IniDocument> doc;
  bool rtl = false;
  // Read without the lock on every text lookup.
  std::atomic<bool> inUse{false};
  std::atomic<int> generation{0};
  char charset[kMaxCharsetName + 1] = "";
};

LanguageState& State() {
  static LanguageState s;
  return s;
}

}  // namespace

std::string LanguageFilePathFor(const std::string& exe) {
  const size_t dot = exe.rfind('.');
  const size_t slash = exe.find_last_of("\\/");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return exe + "_lng.ini";
  return exe.substr(0, dot) + "_lng.ini";
}

bool LoadLanguageFile(const std::string& path) {
  std::string text;
  if (!ReadConfigText(path, &text)) return false;
  LanguageState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.doc.reset(new IniDocument);
  s.generation++;
  s.inUse = true;
  s.doc->Parse(text);
  std::string v;
  s.rtl = s.doc->Get("general", "rtl", &v) && ProfileInt(v) == 1;
  s.charset[0] = 0;
  // The name goes into an HTML attribute: anything but a plain name is ignored.
  if (s.doc->Get("general", "charset", &v) &&
      v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._:-") == std::string::npos)
    s.charset[v.copy(s.charset, kMaxCharsetName)] = 0;
  return true;
}

void ForgetLanguageFile() {
  LanguageState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.doc.reset();
  s.inUse = false;
  s.generation++;
  s.rtl = false;
  s.charset[0] = 0;
}

bool LanguageFileInUse() { return State().inUse; }

int LanguageGeneration() { return State().generation; }

bool LanguageRightToLeft() { return State().rtl; }
const char* LanguageCharset() { return State().charset; }

bool LanguageLookup(const char* section, const char* key, std::string* value) {
  LanguageState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.doc || !s.doc->Get(section, key, value) || value->empty()) return false;
  if (value->size() > kMaxLanguageValue) value->resize(kMaxLanguageValue);
  return true;
}
