// json_write: the compact text form of a JsonValue tree; see json_parse.h.
//
// The spacing is fixed because hosts and record files compare texts byte for
// byte. Strings leave as plain ASCII: every byte that is not printable ASCII
// becomes an escape, and runs of bytes needing none are appended in one step.
#include <array>
#include <charconv>
#include <cstring>

#include "os_aware/simple_json/json_parse.h"

namespace {

// For each byte, the letter written after a backslash, or 0 to copy it.
constexpr std::array<char, 256> kEscapeLetters = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; c++) table[c] = 'u';
  for (int c = 0x7F; c < 0x100; c++) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

void AppendEscape(std::string* out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  char letter = kEscapeLetters[byte];
  if (letter != 'u') {
    const char pair[2] = {'\\', letter};
    out->append(pair, 2);
    return;
  }
  const char unicode[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
  out->append(unicode, 6);
}

void WriteNull(std::string* out, const JsonValue*) { out->append("null", 4); }

void WriteBool(std::string* out, const JsonValue* value) {
  if (value->payload.integer) {
    out->append("true", 4);
  } else {
    out->append("false", 5);
  }
}

void WriteInt(std::string* out, const JsonValue* value) {
  char digits[24];
  std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value->payload.integer);
  out->append(digits, static_cast<size_t>(written.ptr - digits));
}

void WriteStringValue(std::string* out, const JsonValue* value) { JsonWriteString(out, value->payload.string); }

void WriteObject(std::string* out, const JsonValue* value) {
  out->append("{ ", 2);
  for (int32_t i = 0; i < value->count; i++) {
    const JsonMember* member = value->payload.members[i];
    if (i) out->append(", ", 2);
    JsonWriteString(out, member->name);
    out->append(" : ", 3);
    JsonWriteValue(out, member->value);
  }
  out->append(" }", 2);
}

void WriteArray(std::string* out, const JsonValue* value) {
  out->append("[ ", 2);
  for (int32_t i = 0; i < value->count; i++) {
    if (i) out->append(", ", 2);
    JsonWriteValue(out, value->payload.elements[i]);
  }
  out->append(" ]", 2);
}

using KindWriter = void (*)(std::string*, const JsonValue*);

// Indexed by JsonKind.
constexpr KindWriter kKindWriters[] = {WriteNull, WriteBool, WriteInt, WriteStringValue, WriteObject, WriteArray};
static_assert(sizeof kKindWriters / sizeof kKindWriters[0] == JSON_ARRAY + 1, "one writer per JsonKind");

}  // namespace

void JsonWriteValue(std::string* out, const JsonValue* value) {
  if (!out) return;
  // A kind code outside the table is written as null, like a missing value.
  if (!value || value->kind < 0 || value->kind > JSON_ARRAY) {
    WriteNull(out, value);
    return;
  }
  kKindWriters[value->kind](out, value);
}

void JsonWriteString(std::string* out, const char* text) {
  if (!out) return;
  if (!text) text = "(null)";
  out->push_back('"');
  const unsigned char* run = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    const unsigned char* at = run;
    while (!kEscapeLetters[*at]) at++;  // the zero byte is in the table too
    out->append(reinterpret_cast<const char*>(run), static_cast<size_t>(at - run));
    if (!*at) break;
    AppendEscape(out, *at);
    run = at + 1;
  }
  out->push_back('"');
}
