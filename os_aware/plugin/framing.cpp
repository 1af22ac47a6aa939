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

}  // namespace

MessageBuffer::MessageBuffer() : text(static_cast<char*>(PortAlloc(kMessageBufferBytes))) { text[0] = '\0'; }

MessageBuffer::~MessageBuffer() { PortFree(text); }

bool IsCompleteObject(const char* text) {
  if (!text) return false;
  while (IsFramingBlank(*text)) text++;
  if (*text != '{') return false;
  long depth = 0;
  bool inString = false;
  for (const char* p = text; *p; p++) {
    if (inString) {
      if (*p == '"') {
        inString = false;
      } else if (*p == '\\' && p[1] != '\0') {
        p++;  // the escaped character cannot end the string
      }
    } else if (*p == '"') {
      inString = true;
    } else if (*p == '{') {
      depth++;
    } else if (*p == '}') {
      if (depth == 0) return false;
      depth--;
    }
  }
  return depth == 0 && !inString;
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
  buffer[0] = '\0';
  size_t length = 0;
  while (!IsCompleteObject(buffer)) {
    if (!JsonRead(buffer + length, static_cast<long>(kMessageBufferBytes - length))) return false;
    // A zero byte from the host ends the text; later reads overwrite from it.
    length = strlen(buffer);
  }
  return true;
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
