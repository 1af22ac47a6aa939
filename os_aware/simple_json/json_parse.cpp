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
//
// The grammar, one rule above each function that parses it:
//
//   value  -> object | array | string | number | 'true' | 'false' | 'null'
//   object -> '{' [ member { ',' member } ] '}'
//   member -> string ':' value
//   array  -> '[' [ value { ',' value } ] ']'
//   string -> '"' { byte | '\' escape } '"'
//   number -> [ '-' ] digit { digit }          (64-bit integers only)
#include "os_aware/simple_json/json_parse.h"

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os_aware/simple_json/json_internal.h"
#include "shared/port_alloc.h"

namespace {

struct JsonParser {
  std::string error;   // every message so far, newline-joined
  const char* cursor;  // next character to read; never beyond end
  const char* end;     // the terminating zero byte
  int depth;           // arrays and objects currently open
  bool tooDeep;        // the nesting bound was hit: stop everything
  std::string scratch; // decoded text of a string holding escapes
};

constexpr int kEndMarker = -1;  // in rules: the end of the text

// Magnitude above which another decimal digit overflows 64 bits.
constexpr uint64_t kMagnitudeCutoff = 0x1999999999999999u;  // UINT64_MAX / 10
constexpr unsigned kLastDigitCutoff = 5;                     // UINT64_MAX % 10
constexpr uint64_t kMostNegativeMagnitude = static_cast<uint64_t>(INT64_MAX) + 1;

__attribute__((format(printf, 2, 3))) void AddError(JsonParser* parser, const char* format, ...) {
  if (parser->error.size() >= kJsonMaxErrorText) return;
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

// Passes blanks; the character at the cursor then is the next to examine
// (the zero byte when at the end).
void SkipSpaces(JsonParser* parser) {
  const char* cursor = parser->cursor;
  while (kSpaceBytes[static_cast<unsigned char>(*cursor)]) cursor++;
  parser->cursor = cursor;
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

// number -> [ '-' ] digit { digit }
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

// value -> 'true' | 'false'
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

// value -> 'null'
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

// A string's decoded text: a slice of the message when it holds no escape,
// else of the parser's scratch. Valid until the next string is scanned.
struct StringSlice {
  const char* text;
  size_t length;  // no zero byte within
};

// string -> '"' { byte | '\' escape } '"'
// Reads the string whose opening quotation mark is at the cursor; false
// after an error.
bool ScanString(JsonParser* parser, StringSlice* slice) {
  const char* run = parser->cursor + 1;
  const char* at = run;
  while (!kStringStops[static_cast<unsigned char>(*at)]) at++;
  if (*at == '"') {  // the common case: no escapes, no copy here
    parser->cursor = at + 1;
    *slice = {run, static_cast<size_t>(at - run)};
    return true;
  }
  std::string& scratch = parser->scratch;
  scratch.clear();
  for (;;) {
    scratch.append(run, static_cast<size_t>(at - run));
    if (*at == '"') break;
    if (*at == '\0' || at[1] == '\0') {
      parser->cursor = parser->end;
      AddError(parser, "unterminated string constant");
      return false;
    }
    run = at = DecodeEscape(&scratch, at + 1);
    while (!kStringStops[static_cast<unsigned char>(*at)]) at++;
  }
  parser->cursor = at + 1;
  // A zero byte from \u0000 ends the text there.
  *slice = {scratch.data(), strnlen(scratch.data(), scratch.size())};
  return true;
}

bool ParseString(JsonParser* parser, JsonValue** out) {
  StringSlice slice;
  if (!ScanString(parser, &slice)) return false;
  *out = JsonNewStringN(slice.text, slice.length);
  return true;
}

// ---- Arrays and objects -------------------------------------------------

enum ContainerState : uint8_t { kStart, kAfterName, kAfterColon, kAfterValue, kAfterComma, kStateCount };

// Sets of states in which a rule applies.
constexpr uint8_t kInStart = 1 << kStart;
constexpr uint8_t kInAfterName = 1 << kAfterName;
constexpr uint8_t kInAfterColon = 1 << kAfterColon;
constexpr uint8_t kInAfterValue = 1 << kAfterValue;
constexpr uint8_t kInAfterComma = 1 << kAfterComma;
constexpr uint8_t kInAnyState = (1 << kStateCount) - 1;

enum RuleAction : uint8_t {
  kFail,     // report "unexpected '<c>' <message>, got '<rest>'"; at the end: message
  kStep,     // pass the character, go to next
  kFinish,   // pass the character; the container is complete
  kName,     // read a member name
  kColon,    // expect ':'; message holds the context words
  kMember,   // parse a member value and set it
  kElement,  // parse an element and append it
};

constexpr int kAnyCharacter = -2;  // matches every character, not the end

struct ContainerRule {
  uint8_t states;     // kIn... set of states in which the rule applies
  int character;      // a character, kEndMarker or kAnyCharacter
  RuleAction action;
  ContainerState next;  // state after kStep, kName, kColon, kMember, kElement
  const char* message;  // the context words of a kFail or kColon report
};

// Array, first match wins.
constexpr ContainerRule kArrayRules[] = {
    {kInAnyState, kEndMarker, kFail, kStart, "unexpected end of input while parsing array"},
    {kInAfterValue, ',', kStep, kAfterComma, nullptr},
    {kInStart | kInAfterValue, ']', kFinish, kStart, nullptr},
    {kInAfterComma, ',', kFail, kStart, "after comma in array contents"},
    {kInAfterComma, ']', kFail, kStart, "after comma in array contents"},
    {kInStart, ',', kFail, kStart, "at beginning of array contents"},
    {kInAfterValue, kAnyCharacter, kFail, kStart, "after value in array contents"},
    {kInStart | kInAfterComma, kAnyCharacter, kElement, kAfterValue, nullptr},
};

// Object, first match wins. The closing brace is matched before the two
// "any character" errors of its states, which the rules exclude it from.
constexpr ContainerRule kObjectRules[] = {
    {kInAnyState, kEndMarker, kFail, kStart, "unexpected end of input while parsing object"},
    {kInStart | kInAfterComma, '"', kName, kAfterName, nullptr},
    {kInAfterName, kAnyCharacter, kColon, kAfterColon, "after name in object contents"},
    {kInStart | kInAfterValue, '}', kFinish, kStart, nullptr},
    {kInStart, kAnyCharacter, kFail, kStart, "at beginning of object contents"},
    {kInAfterComma, kAnyCharacter, kFail, kStart, "after comma in object contents"},
    {kInAfterColon, ',', kFail, kStart, "after colon in object contents"},
    {kInAfterColon, '}', kFail, kStart, "after colon in object contents"},
    {kInAfterColon, kAnyCharacter, kMember, kAfterValue, nullptr},
    {kInAfterValue, ',', kStep, kAfterComma, nullptr},
    {kInAfterValue, kAnyCharacter, kFail, kStart, "after value in object contents"},
};

// Index of the first rule for state and character (kEndMarker included).
template <size_t N>
constexpr uint8_t FindRule(const ContainerRule (&rules)[N], ContainerState state, int character) {
  for (size_t i = 0; i < N; i++) {
    const ContainerRule& rule = rules[i];
    if (!(rule.states & (1 << state))) continue;
    if (rule.character == character) return static_cast<uint8_t>(i);
    if (rule.character == kAnyCharacter && character != kEndMarker) return static_cast<uint8_t>(i);
  }
  return static_cast<uint8_t>(N - 1);  // unreachable: every state has a catch-all rule
}

// The rule table resolved at compile time for every state and byte, so the
// parser looks a rule up in one step. The zero byte is the end of the text.
using RuleDispatch = std::array<std::array<uint8_t, 256>, kStateCount>;

template <size_t N>
constexpr RuleDispatch CompileRules(const ContainerRule (&rules)[N]) {
  static_assert(N < 256);
  RuleDispatch dispatch{};
  for (int state = 0; state < kStateCount; state++) {
    for (int byte = 0; byte < 256; byte++) {
      dispatch[state][byte] = FindRule(rules, static_cast<ContainerState>(state), byte ? byte : kEndMarker);
    }
  }
  return dispatch;
}

constexpr auto kArrayDispatch = CompileRules(kArrayRules);
constexpr auto kObjectDispatch = CompileRules(kObjectRules);

// The rule for the next non-blank character.
template <size_t N>
const ContainerRule& NextRule(JsonParser* parser, const ContainerRule (&rules)[N], const RuleDispatch& dispatch,
                              ContainerState state) {
  SkipSpaces(parser);
  return rules[dispatch[state][static_cast<unsigned char>(*parser->cursor)]];
}

// Fails the rule's way: with the character at the cursor and the rest of the
// text, or with the plain message at the end of the text.
void ReportRule(JsonParser* parser, const ContainerRule& rule) {
  if (parser->cursor == parser->end) {
    AddError(parser, "%s", rule.message);
  } else {
    AddError(parser, "unexpected '%c' %s, got '%s'", *parser->cursor, rule.message, parser->cursor);
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

// array -> '[' [ value { ',' value } ] ']'      (kArrayRules)
bool ParseArray(JsonParser* parser, JsonValue** out) {
  if (TooDeep(parser)) return false;
  JsonValue* array = *out = JsonNewArray();
  parser->cursor++;
  parser->depth++;
  ContainerState state = kStart;
  for (;;) {
    const ContainerRule& rule = NextRule(parser, kArrayRules, kArrayDispatch, state);
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

// member -> string ':' value     (the name and colon taken by ParseObject)
// Parses one member value and sets it under name. A failed value is
// reported and dropped; the object goes on unless the parse is over.
bool ParseMember(JsonParser* parser, JsonValue* object, StringSlice name) {
  JsonValue* value = nullptr;
  if (ParseValue(parser, &value)) {
    JsonObjectSetN(object, name.text, name.length, value);
    return true;
  }
  JsonFree(value);
  if (parser->tooDeep) return false;
  int shown = name.length > INT_MAX ? INT_MAX : static_cast<int>(name.length);
  AddError(parser, "failed to set '%.*s' property in object", shown, name.text);
  return true;
}

// object -> '{' [ member { ',' member } ] '}'   (kObjectRules)
bool ParseObject(JsonParser* parser, JsonValue** out) {
  if (TooDeep(parser)) return false;
  JsonValue* object = *out = JsonNewObject();
  size_t errorsBefore = parser->error.size();
  parser->cursor++;
  parser->depth++;
  ContainerState state = kStart;
  StringSlice name{};        // between kName and kMember
  std::string escapedName;   // holds name when it was decoded into scratch,
                             // which the member's value may reuse
  bool complete = false;
  for (;;) {
    const ContainerRule& rule = NextRule(parser, kObjectRules, kObjectDispatch, state);
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
    if (rule.action == kName) {
      // A name fails only at the end of the text: the object goes on and
      // reports that end too, as after a failed value.
      if (!ScanString(parser, &name)) name = StringSlice{};
      if (name.text && name.text == parser->scratch.data()) {
        escapedName.assign(name.text, name.length);
        name.text = escapedName.data();
      }
    }
    if (rule.action == kColon) {
      if (*parser->cursor != ':') {
        AddError(parser, "expected '%c' %s, got '%s'", ':', rule.message, parser->cursor);
        break;
      }
      parser->cursor++;
    }
    if (rule.action == kMember && !ParseMember(parser, object, name)) break;
    state = rule.next;
  }
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

// value -> object | array | string | number | 'true' | 'false' | 'null'
bool ParseValue(JsonParser* parser, JsonValue** out) {
  SkipSpaces(parser);
  return kValueParsers[static_cast<unsigned char>(*parser->cursor)](parser, out);
}

}  // namespace

JsonValue* JsonParse(const char* text, std::string* error) {
  if (!text) text = "";
  JsonParser parser{};
  parser.cursor = text;
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
