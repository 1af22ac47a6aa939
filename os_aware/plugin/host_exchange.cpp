// host_exchange: see host_exchange.h.
#include "os_aware/plugin/host_exchange.h"

#include <cerrno>
#include <cstring>

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/exit_status.h"
#include "os_aware/plugin/framing.h"
#include "shared/port_alloc.h"

namespace {

char* g_last_response = nullptr;  // owned; see HostExchange
int g_exchange_depth = 0;

// One message buffer on the heap, freed with its scope.
struct MessageBuffer {
  char* text = static_cast<char*>(PortAlloc(kMessageBufferBytes));
  MessageBuffer() { text[0] = '\0'; }
  ~MessageBuffer() { PortFree(text); }
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;
};

struct DepthScope {
  DepthScope() { g_exchange_depth++; }
  ~DepthScope() { g_exchange_depth--; }
};

bool WriteText(const char* text) { return JsonWrite(text, text ? static_cast<long>(strlen(text)) : 0); }

// Serves a request the host sent while the plugin waits. False when the
// answer could not be written: the host's side of the exchange is then lost.
bool ServeNestedRequest(const char* request) {
  const char* answer = VUSK_Client_CmdParser(request);
  if (WriteText(answer)) return true;
  ConsoleError("VUSK plugin: Failed to send response: %s (err %d)", answer ? answer : "null", errno);
  return false;
}

}  // namespace

const char* HostExchange(const char* request) {
  if (!request) return nullptr;
  if (g_exchange_depth >= kHostExchangeMaxDepth) {
    ConsoleError("VUSK plugin: Host requests nested deeper than %d; not sent: %s\n", kHostExchangeMaxDepth,
                 request);
    return nullptr;
  }
  DepthScope depth;
  if (!WriteText(request)) {
    ConsoleError("VUSK plugin: Failed to send %s", request);
    return nullptr;
  }
  MessageBuffer buffer;
  for (;;) {
    if (!ReadMessage(buffer.text)) {
      ConsoleError("VUSK plugin: Failed to get valid resonse: %s", buffer.text);
      return nullptr;
    }
    if (!IsHostRequest(buffer.text)) break;
    // The text just read is the host's request, not our response: when its
    // answer cannot go out, the pending request fails instead.
    if (!ServeNestedRequest(buffer.text)) return nullptr;
  }
  PortFree(g_last_response);
  g_last_response = PortStrdup(buffer.text);
  return g_last_response;
}

void HostExchangeRelease() {
  PortFree(g_last_response);
  g_last_response = nullptr;
}

int RunLiveLoop() {
  MessageBuffer buffer;
  for (;;) {
    if (exitRequested) return ExitWith(ExitReason::AfterExitCommand, processExitCode);
    if (!ReadMessage(buffer.text)) {
      int error = errno;
      if (buffer.text[0]) {
        ConsoleError("VUSK plugin: Failed to get valid request: %s (err %d)\n", buffer.text, error);
      }
      return ExitWith(ExitReason::InvalidRequest, error);
    }
    const char* response = VUSK_Client_CmdParser(buffer.text);
    if (!IsCompleteObject(response)) {
      ConsoleError("VUSK plugin: Got invalid response: %s (err %d)\n", response ? response : "null", errno);
      return ExitWith(ExitReason::InvalidResponse, kExitInvalidResponse);
    }
    if (!WriteText(response)) {
      ConsoleError("VUSK plugin: Failed to send response: %s (err %d)", response, errno);
      return ExitWith(ExitReason::SendFailed, kExitSendFailed);
    }
  }
}
