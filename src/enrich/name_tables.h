// Country and US state names by two-letter code, and the text case the
// country columns use.
#pragma once
#include <cstddef>

extern const char kCountryNameTable[];
extern const char kStateNameTable[];

// The legacy database's country codes, one for every value of its index byte.
constexpr int kCountryCodeCount = 256;
extern const char kCountryCodes[kCountryCodeCount][3];

// Copies the name of `code` (first two characters, any case) from `table`
// into out; false when the table has no such code.
bool TableName(const char* table, const char* code, char* out, size_t outSize);
// The country name, or the code itself when the table has none.
bool CountryName(const char* code, char* out, size_t outSize);
// In place: lower case except at the start and after a space, '(', '-' or '/'.
void TitleCase(char* text);
// "Country, city, state, postal code", leaving out empty parts: the state
// only for US codes: the name of a known state code in `region`, else
// `stateName` as given. Cut to 63 characters.
void LocationText(const char* countryCode, const char* city, const char* region, const char* postal,
                  char (&text)[64], const char* stateName = "");
