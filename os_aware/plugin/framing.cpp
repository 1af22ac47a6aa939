// framing: see framing.h. Every read and write is recorded in the event log
// under "VUSK__JSON__Read" and "VUSK__JSON__Write".
#include "os_aware/plugin/framing.h"

#include <cerrno>
#include <cstring>

#include "os_aware/plugin/console.h"
#include "os_aware/simple_json/json_parse.h"
#include "os_aware/simple_json/simple_json.h"
#include "shared/event_log.h"
#include "shared/port_alloc.h"
#include "shared/port_io.h"

namespace {

constexpr const char* kReadCategory = "VUSK__JSON__Read";
constexpr const char* kWriteCategory = "VUSK__JSON__Write";

bool IsFramingBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The brace walk of the framing test, over text that starts with '{':
// braces are counted outside strings, and a backslash inside a string passes
// the character after it. The walk goes to the end of the text, or stops
// just after the brace that closes the first object when firstOnly. Returns
// where it stopped, with *depth and *inString as they stand there; null at
// a closing brace with none open.
const char* WalkBraces(const char* text, bool firstOnly, long* depth, bool* inString) {
  long open = 0;
  bool quoted = false;
  const char* p = text;
  for (; *p; p++) {
    if (quoted) {
      if (*p == '"') {
        quoted = false;
      } else if (*p == '\\' && p[1] != '\0') {
        p++;  // the escaped character cannot end the string
      }
    } else if (*p == '"') {
      quoted = true;
    } else if (*p == '{') {
      open++;
    } else if (*p == '}') {
      if (open == 0) return nullptr;
      if (--open == 0 && firstOnly) {
        p++;
        break;
      }
    }
  }
  *depth = open;
  *inString = quoted;
  return p;
}

// Input read past the end of the message last handed out: the start of the
// next message, whichever reader asks for it next (the main loop or a nested
// host exchange). It came out of a message buffer, so it is shorter than one.
struct PendingInput {
  char text[kMessageBufferBytes];
  size_t length = 0;
};

PendingInput g_pending;

// White space the reader passes over between messages; unlike the framing
// test it takes carriage returns too, so a host's "\r\n" wedges nothing.
bool IsSpaceBetweenMessages(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Drops the white space that leads the text of length bytes; returns the new
// length.
size_t DropLeadingBlanks(char* text, size_t length) {
  size_t blanks = 0;
  while (blanks < length && IsSpaceBetweenMessages(text[blanks])) blanks++;
  if (blanks == 0) return length;
  memmove(text, text + blanks, length - blanks + 1);  // with the zero byte
  return length - blanks;
}

// Moves the pending input to the start of buffer; returns its length.
size_t TakePending(char* buffer) {
  size_t length = g_pending.length;
  memcpy(buffer, g_pending.text, length);
  buffer[length] = '\0';
  g_pending.length = 0;
  return length;
}

void KeepPending(const char* text, size_t length) {
  memcpy(g_pending.text, text, length);
  g_pending.length = length;
}

}  // namespace

MessageBuffer::MessageBuffer() : text(static_cast<char*>(PortAlloc(kMessageBufferBytes))) { text[0] = '\0'; }

MessageBuffer::~MessageBuffer() { PortFree(text); }

bool IsCompleteObject(const char* text) {
  if (!text) return false;
  while (IsFramingBlank(*text)) text++;
  if (*text != '{') return false;
  long depth = 0;
  bool inString = false;
  return WalkBraces(text, false, &depth, &inString) && depth == 0 && !inString;
}

size_t FirstObjectLength(const char* text) {
  if (!text || *text != '{') return 0;
  long depth = 0;
  bool inString = false;
  const char* end = WalkBraces(text, true, &depth, &inString);
  return (end && depth == 0 && !inString) ? static_cast<size_t>(end - text) : 0;
}

bool JsonRead(char* destination, long capacity) {
  if (!destination || capacity <= 0) return false;
  destination[0] = '\0';
  long limit = capacity - 1;
  long count = 0;
  errno = 0;
  for (int attempt = 0; attempt < kStreamAttempts; attempt++) {
    errno = 0;
    int64_t got = PortReadStdin(destination + count, static_cast<size_t>(limit - count));
    if (got > 0) count += got;
    if (!(got < 0 && errno == EINTR && count < limit)) break;
  }
  int error = errno;
  destination[count] = '\0';
  EventLogText(kReadCategory, destination);
  if (error == EAGAIN) ConsoleError("Unexpected EAGAIN because we did not set stdin into nonblock.\n");
  errno = error;
  return (count > 0 && error == 0) || error == EINTR;
}

bool JsonWrite(const char* text, long length) {
  if (!text || length <= 0) return false;
  EventLogText(kWriteCategory, text);
  int64_t written = -1;
  for (int attempt = 0; attempt < kStreamAttempts; attempt++) {
    errno = 0;
    written = PortWriteStdout(text, static_cast<size_t>(length));
    if (!(written < 0 && errno == EINTR)) break;
  }
  return written == length;
}

bool JsonWriteText(const char* text) { return JsonWrite(text, text ? static_cast<long>(strlen(text)) : 0); }

bool ReadMessage(char* buffer) {
  size_t length = TakePending(buffer);
  for (;;) {
    length = DropLeadingBlanks(buffer, length);
    size_t end = FirstObjectLength(buffer);
    if (end > 0) {
      KeepPending(buffer + end, length - end);
      buffer[end] = '\0';
      return true;
    }
    if (!JsonRead(buffer + length, static_cast<long>(kMessageBufferBytes - length))) return false;
    // A zero byte from the host ends what this read brought.
    length += strlen(buffer + length);
  }
}

bool IsRequestMessage(const JsonValue* message) {
  return message && message->kind == JSON_OBJECT && JsonObjectFind(message, "method") >= 0;
}

bool IsHostRequest(const char* text) {
  JsonValue* value = JsonParse(text, nullptr);
  bool isRequest = IsRequestMessage(value);
  JsonFree(value);
  return isRequest;
}
