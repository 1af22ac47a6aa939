// ut_text: see ut_text.h.
#include "shared/libcxxutil/ut_text.h"

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

struct SimpleEscape {
  char letter;
  char value;
};
constexpr SimpleEscape kSimpleEscapes[] = {
    {'"', '"'},  {'\'', '\''}, {'?', '?'},  {'\\', '\\'}, {'a', '\a'}, {'b', '\b'},
    {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},  {'v', '\v'},
};

struct SizeSuffix {
  char letter;
  uint64_t scale;
};
constexpr SizeSuffix kSizeSuffixes[] = {{'K', 1024}, {'M', 1048576}, {'G', 1073741824}};

}  // namespace

size_t ut_prefix_ignoring_case(const char* text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; i++) {
    if (ut_ascii_lower(text[i]) != ut_ascii_lower(prefix[i])) return 0;
  }
  return i;
}

size_t ut_scan_unsigned(const char* text, uint64_t* value) {
  *value = 0;
  if (!ut_is_digit(text[0])) return 0;
  size_t used = 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && HexDigitValue(text[2]) >= 0) {
    for (used = 2; HexDigitValue(text[used]) >= 0; used++) *value = *value * 16 + static_cast<uint64_t>(HexDigitValue(text[used]));
  } else if (text[0] == '0') {
    for (used = 1; IsOctal(text[used]); used++) *value = *value * 8 + static_cast<uint64_t>(text[used] - '0');
  } else {
    for (; ut_is_digit(text[used]); used++) *value = *value * 10 + static_cast<uint64_t>(text[used] - '0');
  }
  return used;
}

size_t ut_scan_size_suffix(const char* text, uint64_t* value) {
  for (const SizeSuffix& suffix : kSizeSuffixes) {
    if (*text == suffix.letter) {
      *value *= suffix.scale;
      return 1;
    }
  }
  return 0;
}

bool ut_parse_number_text(const char* text, uint64_t* value) {
  while (ut_is_blank(*text)) text++;
  size_t used = ut_scan_unsigned(text, value);
  if (used == 0) return false;
  text += used;
  text += ut_scan_size_suffix(text, value);
  while (ut_is_blank(*text)) text++;
  return *text == '\0';
}

size_t ut_quoted_length(const char* text, size_t available) {
  size_t i = 1;
  while (i < available && text[i] != '"') i += (text[i] == '\\' && i + 1 < available) ? 2 : 1;
  return i < available ? i + 1 : available;
}

std::string ut_unquote(const char* token, size_t length) {
  std::string out;
  size_t i = (length > 0 && token[0] == '"') ? 1 : 0;
  while (i < length && token[i] != '"') {
    if (token[i] != '\\' || i + 1 >= length) {
      out += token[i++];
      continue;
    }
    char letter = token[i + 1];
    i += 2;
    bool simple = false;
    for (const SimpleEscape& escape : kSimpleEscapes) {
      if (escape.letter == letter) {
        out += escape.value;
        simple = true;
        break;
      }
    }
    if (simple) continue;
    if (letter == 'x' && i < length && HexDigitValue(token[i]) >= 0) {
      int code = 0;
      for (int n = 0; n < 2 && i < length && HexDigitValue(token[i]) >= 0; n++) code = code * 16 + HexDigitValue(token[i++]);
      out += static_cast<char>(code);
    } else if (letter >= '0' && letter <= '3') {
      int code = letter - '0';
      for (int n = 0; n < 2 && i < length && IsOctal(token[i]); n++) code = code * 8 + (token[i++] - '0');
      out += static_cast<char>(code);
    } else {
      out += letter;
    }
  }
  return out;
}
