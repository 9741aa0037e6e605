// The language file: translations of the program's texts, read once at start.
#pragma once
#include <cstddef>
#include <string>

// Values longer than this are cut, as the profile functions cut them.
constexpr size_t kMaxLanguageValue = 4095;
constexpr size_t kMaxCharsetName = 62;

// The language file of an executable: its path with "_lng.ini" in place of
// the extension.
std::string LanguageFilePathFor(const std::string& exePath);

// Uses `path` as the language file when it exists; returns whether it does.
// Called once before any text is fetched.
bool LoadLanguageFile(const std::string& path);
// Stops translating (after writing a template).
void ForgetLanguageFile();
bool LanguageFileInUse();
// Changes whenever a language file is loaded or forgotten.
int LanguageGeneration();
bool LanguageRightToLeft();
// "" when the file names none.
const char* LanguageCharset();
// The non-empty value of `key` in `section`; false when missing or empty.
bool LanguageLookup(const char* section, const char* key, std::string* value);
