#pragma once

// Marks a string id whose built-in text is wanted even under a translation.
constexpr int kUntranslated = 0x10000;

// Text of a string id: the translation when a language file is loaded,
// else the built-in English text; "" for an unknown id. Texts stay valid for
// the life of the process.
const char* GetString(int id);
// The built-in text, never translated (XML element names, exports).
const char* GetBuiltinString(int id);
// The built-in string table, for writing a language template.
int BuiltinStringCount();
int BuiltinStringIdAt(int i);

// ASCII comparison without regard to case, as _strcmpi.
bool EqualNoCase(const char* a, const char* b);
