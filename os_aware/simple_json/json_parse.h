// json_parse: the text side of simple_json, a parser and a compact writer.
//
// The writer's spacing is part of the wire format: "{ ", " : ", ", ", " }",
// "{  }" and "[  ]". Strings are byte strings: control bytes, quotation mark,
// backslash and every byte from 0x7F up leave as escapes, so a written text
// is plain ASCII; the parser turns \u00XX back into the same byte.
#pragma once

#include <cstddef>
#include <string>

#include "os_aware/simple_json/simple_json.h"

// Deepest nesting of arrays and objects the parser accepts. Real protocol
// messages nest a handful of levels; the bound keeps hostile input from
// exhausting the stack.
constexpr int kJsonMaxDepth = 512;

// Once a parse's error text has reached this size no further errors are
// added to it. Ordinary failures stay far below; it keeps a deeply nested
// failure, which repeats the rest of the text at every level, from growing
// the text (and the error envelope made of it) without bound.
constexpr size_t kJsonMaxErrorText = 1 << 20;

// Parses the first value of a zero-terminated text; whatever follows it is
// not examined. On success returns the value (the caller owns it) and makes
// *error empty. On failure returns null and *error receives every error of the
// parse, each prefixed "Error: " and joined by newlines. error may be null.
JsonValue* JsonParse(const char* text, std::string* error);

// Appends the compact text of value to out ("null" for a null value).
void JsonWriteValue(std::string* out, const JsonValue* value);

// Appends one quoted, escaped string; a null text is written as "(null)".
void JsonWriteString(std::string* out, const char* text);
