// ut_text: character classes, numeric constants and quoted-string escapes
// shared by the evaluator, the preprocessor and the attribute-file parser,
// and the letter-case rule of every name matched without regard to case
// (attribute-file words, command-line options, record tags).
//
// Constants follow C notation: "0x" hexadecimal, a leading "0" octal, else
// decimal. Values wrap modulo 2^64 rather than saturate, so an over-long
// constant never stops a load. Nothing here allocates except the std::string
// results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline bool ut_is_blank(char c) { return c == ' ' || c == '\t'; }
inline bool ut_is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool ut_is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool ut_is_ident_start(char c) { return ut_is_alpha(c) || c == '_'; }
inline bool ut_is_ident_char(char c) { return ut_is_alpha(c) || ut_is_digit(c) || c == '_'; }
// ASCII letters only: names are matched the same whatever the locale.
inline char ut_ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of prefix when text begins with it, letters compared without
// regard to case; else 0 (also for an empty prefix).
size_t ut_prefix_ignoring_case(const char* text, const char* prefix);

// Reads an unsigned constant at text. Returns the number of characters used;
// 0 when text does not start with a digit (then *value is 0).
size_t ut_scan_unsigned(const char* text, uint64_t* value);

// Applies a size suffix K (x1024), M (x1048576) or G (x1073741824) at text
// to *value; returns the characters used (0 or 1).
size_t ut_scan_size_suffix(const char* text, uint64_t* value);

// Reads a whole text as a constant with an optional suffix K (x1024),
// M (x1048576) or G (x1073741824); blanks around it are allowed. False when
// anything else is left or there are no digits.
bool ut_parse_number_text(const char* text, uint64_t* value);

// Length of the quoted token starting at text (which points at '"'): up to
// and including the closing quote, or to the end of the text. A backslash
// keeps the next character inside.
size_t ut_quoted_length(const char* text, size_t available);

// The contents of a quoted token with its escapes resolved: \" \' \? \\ \a
// \b \f \n \r \t \v, \x with up to two hexadecimal digits, \ with one to
// three octal digits (the first 0 to 3); any other escaped character stands
// for itself. The closing quote may be missing.
std::string ut_unquote(const char* token, size_t length);
