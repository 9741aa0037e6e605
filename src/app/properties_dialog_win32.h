// Properties: every column of one conversation, a label and a read-only box
// per line.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct PropertiesData {
  std::vector<std::pair<std::string, std::string>> fields;  // title, text
};

void ShowPropertiesDialog(HWND owner, PropertiesData& data);
