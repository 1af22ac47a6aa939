// host_exchange: see host_exchange.h.
#include "os_aware/plugin/host_exchange.h"

#include <cerrno>

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/framing.h"
#include "os_aware/simple_json/json_parse.h"
#include "shared/port_alloc.h"

namespace {

char* g_level_buffers[kHostExchangeMaxDepth];  // owned; null until the level's first exchange
int g_exchange_depth = 0;

struct DepthScope {
  DepthScope() { g_exchange_depth++; }
  ~DepthScope() { g_exchange_depth--; }
};

// The message buffer of nesting level `level` (0 for the outermost).
char* LevelBuffer(int level) {
  char*& buffer = g_level_buffers[level];
  if (!buffer) buffer = static_cast<char*>(PortAlloc(kMessageBufferBytes));
  buffer[0] = '\0';
  return buffer;
}

// Serves a request the host sent while the plugin waits (the tree is taken
// over). False when the answer could not be written: the host's side of the
// exchange is then lost.
bool ServeNestedRequest(JsonValue* request) {
  const char* answer = VuskDispatchParsed(request);
  if (JsonWriteText(answer)) return true;
  ConsoleError("VUSK plugin: Failed to send response: %s (err %d)", answer ? answer : "null", errno);
  return false;
}

// Sends request, then reads until the host's response, serving the host's
// requests that come first. On true, *text is the response in this level's
// buffer and *response its tree (owned by the caller), null when it does not
// parse, with *error (when given) the parser's text. False when sending or
// reading failed.
bool Exchange(const char* request, const char** text, JsonValue** response, std::string* error) {
  if (g_exchange_depth >= kHostExchangeMaxDepth) {
    ConsoleError("VUSK plugin: Host requests nested deeper than %d; not sent: %s\n", kHostExchangeMaxDepth,
                 request);
    return false;
  }
  DepthScope depth;
  if (!JsonWriteText(request)) {
    ConsoleError("VUSK plugin: Failed to send %s", request);
    return false;
  }
  char* buffer = LevelBuffer(g_exchange_depth - 1);
  for (;;) {
    if (!ReadMessage(buffer)) {
      ConsoleError("VUSK plugin: Failed to get valid resonse: %s", buffer);
      return false;
    }
    std::string parseError;
    JsonValue* message = JsonParse(buffer, &parseError);
    if (!IsRequestMessage(message)) {
      *text = buffer;
      *response = message;
      if (!message && error) *error = parseError;
      return true;
    }
    // The message just read is the host's request, not our response: when
    // its answer cannot go out, the pending request fails instead.
    if (!ServeNestedRequest(message)) return false;
  }
}

}  // namespace

const char* HostExchange(const char* request) {
  const char* text = nullptr;
  JsonValue* response = nullptr;
  if (!request || !Exchange(request, &text, &response, nullptr)) return nullptr;
  JsonFree(response);
  return text;
}

JsonValue* HostExchangeParsed(const char* request, std::string* error) {
  const char* text = nullptr;
  JsonValue* response = nullptr;
  if (!request || !Exchange(request, &text, &response, error)) return nullptr;
  return response;
}

void HostExchangeRelease() {
  for (char*& buffer : g_level_buffers) {
    PortFree(buffer);
    buffer = nullptr;
  }
}
