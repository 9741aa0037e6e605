#pragma once

// Text of a string id: the translation when a language file is loaded,
// else the built-in English text; "" for an unknown id.
const char* GetString(int id);
// The built-in text, never translated (XML element names, exports).
const char* GetBuiltinString(int id);

// ASCII comparison without regard to case, as _strcmpi.
bool EqualNoCase(const char* a, const char* b);
