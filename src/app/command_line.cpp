#include "app/command_line.h"

#include "base/strings.h"

std::vector<std::string> ParseCommandLine(const char* text) {
  std::vector<std::string> args;
  std::string cur;
  bool seen = false, quoted = false;
  for (const char* p = text; p && *p; p++) {
    const char ch = *p;
    if (ch == '"') {
      quoted = !quoted;
      seen = true;
    } else if (ch == ' ' && !quoted) {
      if (seen) args.push_back(cur);
      cur.clear();
      seen = false;
    } else if (ch == ' ' && cur.empty()) {
      // spaces at the very start of a quoted argument are dropped
    } else {
      cur += ch;
      seen = true;
    }
  }
  if (!cur.empty()) args.push_back(cur);
  return args;
}

int FindArgument(const std::vector<std::string>& args, const char* option) {
  for (size_t i = 0; i < args.size(); i++)
    if (EqualNoCase(args[i].c_str(), option)) return int(i);
  return -1;
}

std::vector<std::string> PlainArguments(const std::vector<std::string>& args, size_t from) {
  static const char* const kOptions[] = {"/nocapdriver", "/savelangfile", "/deleteregkey", "/noloadsettings",
                                         "/StartCapture"};
  std::vector<std::string> plain;
  for (size_t i = from; i < args.size(); i++) {
    const char* a = args[i].c_str();
    bool option = EqualNoCase(a, "/LoadConfig");
    if (option) i++;
    for (const char* o : kOptions) option = option || EqualNoCase(a, o);
    if (!option) plain.push_back(args[i]);
  }
  return plain;
}

const char* ArgumentAt(const std::vector<std::string>& args, size_t i) {
  return i < args.size() ? args[i].c_str() : "";
}
