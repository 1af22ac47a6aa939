// json_parse: turns one message text into a JsonValue tree; see json_parse.h.
//
// A recursive descent in one pass over a zero-terminated text. The first zero
// byte is the end of the text, so the scanners stop on it without a separate
// bound check, and the cursor never passes it. Arrays and objects run the
// rule tables below: for each character the first rule whose state and
// character match decides. Errors are gathered, not thrown: a failed member
// of an object is reported and the object goes on, which is why one parse can
// yield several lines. Nesting is bounded by kJsonMaxDepth; hitting the bound
// ends the whole parse at once, without the follow-up errors of every level.
#include "os_aware/simple_json/json_parse.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os_aware/simple_json/json_internal.h"
#include "shared/port_alloc.h"

namespace {

struct JsonParser {
  std::string error;   // every message so far, newline-joined
  const char* start;   // first character of the text
  const char* cursor;  // next character to read; never beyond end
  const char* end;     // the terminating zero byte
  int depth;           // arrays and objects currently open
  bool tooDeep;        // the nesting bound was hit: stop everything
  std::string scratch; // decoded text of a string holding escapes
};

constexpr int kEndMarker = -1;  // SkipSpaces at the end of the text

// Magnitude above which another decimal digit overflows 64 bits.
constexpr uint64_t kMagnitudeCutoff = 0x1999999999999999u;  // UINT64_MAX / 10
constexpr unsigned kLastDigitCutoff = 5;                     // UINT64_MAX % 10
constexpr uint64_t kMostNegativeMagnitude = static_cast<uint64_t>(INT64_MAX) + 1;

__attribute__((format(printf, 2, 3))) void AddError(JsonParser* parser, const char* format, ...) {
  if (!parser->error.empty()) parser->error += '\n';
  parser->error += "Error: ";
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    size_t at = parser->error.size();
    parser->error.resize(at + static_cast<size_t>(length) + 1);
    vsnprintf(&parser->error[at], static_cast<size_t>(length) + 1, format, again);
    parser->error.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

constexpr std::array<bool, 256> kSpaceBytes = [] {
  std::array<bool, 256> table{};
  table['\t'] = table['\n'] = table['\r'] = table[' '] = true;
  return table;
}();

int SkipSpaces(JsonParser* parser) {
  const char* cursor = parser->cursor;
  while (kSpaceBytes[static_cast<unsigned char>(*cursor)]) cursor++;
  parser->cursor = cursor;
  return cursor == parser->end ? kEndMarker : static_cast<unsigned char>(*cursor);
}

bool ParseValue(JsonParser* parser, JsonValue** out);

// ---- Scalars ------------------------------------------------------------

bool ParseEndOfInput(JsonParser* parser, JsonValue**) {
  AddError(parser, "unexpected end of input, expected a value");
  return false;
}

bool ParseUnexpected(JsonParser* parser, JsonValue**) {
  AddError(parser, "unexpected character '%c', expected a value, got: '%s'", *parser->cursor, parser->cursor);
  return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// On failure the cursor stays on the number's first character.
bool ParseNumber(JsonParser* parser, JsonValue** out) {
  const char* digits = parser->cursor;
  bool negative = *digits == '-';
  if (negative) digits++;
  if (!IsDigit(*digits)) {
    AddError(parser, "expected a digit after '-', got '%s'", parser->cursor);
    return false;
  }
  uint64_t magnitude = 0;
  bool outOfRange = false;
  for (; IsDigit(*digits); digits++) {
    unsigned digit = static_cast<unsigned>(*digits - '0');
    if (magnitude > kMagnitudeCutoff || (magnitude == kMagnitudeCutoff && digit > kLastDigitCutoff)) {
      outOfRange = true;  // keep consuming so the whole literal is one error
    }
    if (!outOfRange) magnitude = magnitude * 10 + digit;
  }
  if (outOfRange) {
    AddError(parser, "integer value out of range");
    return false;
  }
  if (negative && magnitude > kMostNegativeMagnitude) {
    AddError(parser, "negative integer value out of range");
    return false;
  }
  parser->cursor = digits;
  // Unsigned negation keeps INT64_MIN exact; large unsigned values keep their bits.
  *out = JsonNewInt(static_cast<int64_t>(negative ? 0 - magnitude : magnitude));
  return true;
}

// True and steps past word when the text at the cursor begins with it.
bool TakeWord(JsonParser* parser, const char* word, size_t length) {
  if (static_cast<size_t>(parser->end - parser->cursor) < length) return false;
  if (memcmp(parser->cursor, word, length) != 0) return false;
  parser->cursor += length;
  return true;
}

bool ParseBoolean(JsonParser* parser, JsonValue** out) {
  if (TakeWord(parser, "true", 4)) {
    *out = JsonNewBool(1);
  } else if (TakeWord(parser, "false", 5)) {
    *out = JsonNewBool(0);
  } else {
    AddError(parser, "unable to parse Boolean, got '%s'", parser->cursor);
    return false;
  }
  return true;
}

bool ParseNull(JsonParser* parser, JsonValue** out) {
  if (!TakeWord(parser, "null", 4)) {
    AddError(parser, "unable to parse null, got '%s'", parser->cursor);
    return false;
  }
  *out = JsonNewNull();
  return true;
}

// ---- Strings ------------------------------------------------------------

// Bytes that end a run of plain string bytes.
constexpr std::array<bool, 256> kStringStops = [] {
  std::array<bool, 256> table{};
  table['"'] = table['\\'] = table['\0'] = true;
  return table;
}();

// What the character after a backslash stands for; 'u' is decoded apart and
// every character not listed stands for itself.
constexpr std::array<char, 256> kEscapedBytes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 256; c++) table[c] = static_cast<char>(c);
  table['b'] = '\b';
  table['f'] = '\f';
  table['n'] = '\n';
  table['r'] = '\r';
  table['t'] = '\t';
  return table;
}();

constexpr std::array<int8_t, 256> kHexDigits = [] {
  std::array<int8_t, 256> table{};
  for (int c = 0; c < 256; c++) table[c] = -1;
  for (int c = '0'; c <= '9'; c++) table[c] = static_cast<int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; c++) table[c] = static_cast<int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; c++) table[c] = static_cast<int8_t>(c - 'A' + 10);
  return table;
}();

int HexDigit(const char* at) { return kHexDigits[static_cast<unsigned char>(*at)]; }

// Decodes the escape whose letter is at escape into scratch; returns the
// first character after it. \u with four hex digits yields the low byte of
// their number; with fewer it is the letter u and the digits are read as text.
const char* DecodeEscape(std::string* scratch, const char* escape) {
  if (*escape == 'u') {
    // The zero byte is no hex digit, so these reads stop at the end of text.
    if (HexDigit(escape + 1) >= 0 && HexDigit(escape + 2) >= 0 && HexDigit(escape + 3) >= 0 &&
        HexDigit(escape + 4) >= 0) {
      *scratch += static_cast<char>(HexDigit(escape + 3) * 16 + HexDigit(escape + 4));
      return escape + 5;
    }
    *scratch += 'u';
    return escape + 1;
  }
  *scratch += kEscapedBytes[static_cast<unsigned char>(*escape)];
  return escape + 1;
}

// Reads the string whose opening quotation mark is at the cursor. Returns
// its text (a PortAlloc block the caller owns), or null after an error.
char* ScanString(JsonParser* parser) {
  const char* run = parser->cursor + 1;
  const char* at = run;
  while (!kStringStops[static_cast<unsigned char>(*at)]) at++;
  if (*at == '"') {  // the common case: no escapes, one copy
    parser->cursor = at + 1;
    return PortStrndup(run, static_cast<size_t>(at - run));
  }
  std::string& scratch = parser->scratch;
  scratch.clear();
  for (;;) {
    scratch.append(run, static_cast<size_t>(at - run));
    if (*at == '"') break;
    if (*at == '\0' || at[1] == '\0') {
      parser->cursor = parser->end;
      AddError(parser, "unterminated string constant");
      return nullptr;
    }
    run = at = DecodeEscape(&scratch, at + 1);
    while (!kStringStops[static_cast<unsigned char>(*at)]) at++;
  }
  parser->cursor = at + 1;
  // A zero byte from \u0000 ends the text there: the copy is a C string.
  return PortStrndup(scratch.data(), scratch.size());
}

bool ParseString(JsonParser* parser, JsonValue** out) {
  char* text = ScanString(parser);
  if (!text) return false;
  *out = JsonNewStringOwned(text);
  return true;
}

// ---- Arrays and objects -------------------------------------------------

enum ContainerState : uint8_t {
  kStart = 1,
  kAfterName = 2,
  kAfterColon = 4,
  kAfterValue = 8,
  kAfterComma = 16,
  kAnyState = 31,
};

enum RuleAction : uint8_t {
  kFail,     // report message with the character and the rest of the text
  kStep,     // pass the character, go to next
  kFinish,   // pass the character; the container is complete
  kName,     // read a member name
  kColon,    // expect ':'; message holds the context words
  kMember,   // parse a member value and set it
  kElement,  // parse an element and append it
};

constexpr int kAnyCharacter = -2;  // matches every character, not the end

struct ContainerRule {
  uint8_t states;     // ContainerState bits in which the rule applies
  int character;      // a character, kEndMarker or kAnyCharacter
  RuleAction action;
  uint8_t next;       // state after kStep, kName, kColon, kMember, kElement
  const char* message;
};

// Array, first match wins.
constexpr ContainerRule kArrayRules[] = {
    {kAnyState, kEndMarker, kFail, 0, "unexpected end of input while parsing array"},
    {kAfterValue, ',', kStep, kAfterComma, nullptr},
    {kStart | kAfterValue, ']', kFinish, 0, nullptr},
    {kAfterComma, ',', kFail, 0, "unexpected '%c' after comma in array contents, got '%s'"},
    {kAfterComma, ']', kFail, 0, "unexpected '%c' after comma in array contents, got '%s'"},
    {kStart, ',', kFail, 0, "unexpected '%c' at beginning of array contents, got '%s'"},
    {kAfterValue, kAnyCharacter, kFail, 0, "unexpected '%c' after value in array contents, got '%s'"},
    {kStart | kAfterComma, kAnyCharacter, kElement, kAfterValue, nullptr},
};

// Object, first match wins. The closing brace is matched before the two
// "any character" errors of its states, which the rules exclude it from.
constexpr ContainerRule kObjectRules[] = {
    {kAnyState, kEndMarker, kFail, 0, "unexpected end of input while parsing object"},
    {kStart | kAfterComma, '"', kName, kAfterName, nullptr},
    {kAfterName, kAnyCharacter, kColon, kAfterColon, "after name in object contents"},
    {kStart | kAfterValue, '}', kFinish, 0, nullptr},
    {kStart, kAnyCharacter, kFail, 0, "unexpected '%c' at beginning of object contents, got '%s'"},
    {kAfterComma, kAnyCharacter, kFail, 0, "unexpected '%c' after comma in object contents, got '%s'"},
    {kAfterColon, ',', kFail, 0, "unexpected '%c' after colon in object contents, got '%s'"},
    {kAfterColon, '}', kFail, 0, "unexpected '%c' after colon in object contents, got '%s'"},
    {kAfterColon, kAnyCharacter, kMember, kAfterValue, nullptr},
    {kAfterValue, ',', kStep, kAfterComma, nullptr},
    {kAfterValue, kAnyCharacter, kFail, 0, "unexpected '%c' after value in object contents, got '%s'"},
};

template <size_t N>
const ContainerRule& FindRule(const ContainerRule (&rules)[N], uint8_t state, int character) {
  for (const ContainerRule& rule : rules) {
    if (!(rule.states & state)) continue;
    if (rule.character == character) return rule;
    if (rule.character == kAnyCharacter && character != kEndMarker) return rule;
  }
  return rules[N - 1];  // unreachable: every state has a catch-all rule
}

// Fails the rule's way: with the character at the cursor and the rest of the
// text, or with the plain message at the end of the text.
void ReportRule(JsonParser* parser, const ContainerRule& rule) {
  if (parser->cursor == parser->end) {
    AddError(parser, "%s", rule.message);
  } else {
    AddError(parser, rule.message, *parser->cursor, parser->cursor);
  }
}

// The container about to open at the cursor would be too deep.
bool TooDeep(JsonParser* parser) {
  if (parser->depth < kJsonMaxDepth) return false;
  AddError(parser, "nesting deeper than %d levels", kJsonMaxDepth);
  parser->tooDeep = true;
  return true;
}

// The value parsers of arrays and objects. *out receives the container at
// once, so a stopped container hands back what it holds so far.
bool ParseArray(JsonParser* parser, JsonValue** out) {
  if (TooDeep(parser)) return false;
  JsonValue* array = *out = JsonNewArray();
  parser->cursor++;
  parser->depth++;
  uint8_t state = kStart;
  for (;;) {
    const ContainerRule& rule = FindRule(kArrayRules, state, SkipSpaces(parser));
    if (rule.action == kFail) {
      ReportRule(parser, rule);
      break;
    }
    if (rule.action == kFinish || rule.action == kStep) parser->cursor++;
    if (rule.action == kFinish) {
      parser->depth--;
      return true;
    }
    if (rule.action == kElement) {
      JsonValue* element = nullptr;
      bool parsed = ParseValue(parser, &element);
      if (element) JsonArrayPush(array, element);
      if (!parsed) break;
    }
    state = rule.next;
  }
  parser->depth--;
  return false;
}

// Parses one member value and sets it under name (taken over). A failed
// value is reported and dropped; the object goes on unless the parse is over.
bool ParseMember(JsonParser* parser, JsonValue* object, char* name) {
  JsonValue* value = nullptr;
  if (ParseValue(parser, &value)) {
    JsonObjectSetOwnedName(object, name, value);
    return true;
  }
  JsonFree(value);
  if (!parser->tooDeep) AddError(parser, "failed to set '%s' property in object", name);
  PortFree(name);
  return !parser->tooDeep;
}

bool ParseObject(JsonParser* parser, JsonValue** out) {
  if (TooDeep(parser)) return false;
  JsonValue* object = *out = JsonNewObject();
  size_t errorsBefore = parser->error.size();
  parser->cursor++;
  parser->depth++;
  uint8_t state = kStart;
  char* name = nullptr;  // between kName and kMember
  bool complete = false;
  for (;;) {
    const ContainerRule& rule = FindRule(kObjectRules, state, SkipSpaces(parser));
    if (rule.action == kFail) {
      ReportRule(parser, rule);
      break;
    }
    if (rule.action == kFinish) {
      parser->cursor++;
      complete = true;
      break;
    }
    if (rule.action == kStep) parser->cursor++;
    if (rule.action == kName && !(name = ScanString(parser))) break;
    if (rule.action == kColon) {
      if (*parser->cursor != ':') {
        AddError(parser, "expected '%c' %s, got '%s'", ':', rule.message, parser->cursor);
        break;
      }
      parser->cursor++;
    }
    if (rule.action == kMember) {
      char* taken = name;
      name = nullptr;
      if (!ParseMember(parser, object, taken)) break;
    }
    state = rule.next;
  }
  PortFree(name);
  parser->depth--;
  // An object that went on past a failed member still counts as failed.
  return complete && parser->error.size() == errorsBefore;
}

// ---- Values -------------------------------------------------------------

using ValueParser = bool (*)(JsonParser*, JsonValue**);

// The parser of a value, chosen by its first character. The end of the text
// is its zero byte.
constexpr std::array<ValueParser, 256> kValueParsers = [] {
  std::array<ValueParser, 256> table{};
  for (ValueParser& entry : table) entry = ParseUnexpected;
  for (int c = '0'; c <= '9'; c++) table[c] = ParseNumber;
  table['-'] = ParseNumber;
  table['"'] = ParseString;
  table['['] = ParseArray;
  table['t'] = table['f'] = ParseBoolean;
  table['n'] = ParseNull;
  table['{'] = ParseObject;
  table['\0'] = ParseEndOfInput;
  return table;
}();

bool ParseValue(JsonParser* parser, JsonValue** out) {
  SkipSpaces(parser);
  return kValueParsers[static_cast<unsigned char>(*parser->cursor)](parser, out);
}

}  // namespace

JsonValue* JsonParse(const char* text, std::string* error) {
  if (!text) text = "";
  JsonParser parser{};
  parser.start = parser.cursor = text;
  parser.end = text + strlen(text);
  JsonValue* value = nullptr;
  ParseValue(&parser, &value);
  if (!parser.error.empty()) {
    JsonFree(value);  // a stopped container hands back its partial tree
    value = nullptr;
  }
  if (error) *error = std::move(parser.error);
  return value;
}
