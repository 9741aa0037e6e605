// Texts that arrive as UTF-8 (data files) in a program whose texts are in
// the system's ANSI code page.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The bytes of Unicode character `ch` in Windows-1252 (at most one); 0 when
// that code page has no such character.
size_t EncodeWindows1252(uint32_t ch, char* out);

// `text` (n bytes of UTF-8) in the program's code page (the platform's
// EncodeCharacter). A character the code page lacks, and each byte that is
// not part of a well-formed sequence, becomes one '?'.
std::string Utf8ToCodePage(const char* text, size_t n);

// The length of the well-formed UTF-8 sequence of two or more bytes that
// starts at `p` (at most `n` bytes available); 0 when there is none.
size_t Utf8SequenceAt(const char* p, size_t n);
