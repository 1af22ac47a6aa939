// host_exchange: see host_exchange.h.
#include "os_aware/plugin/host_exchange.h"

#include <cerrno>

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/framing.h"
#include "shared/port_alloc.h"

namespace {

char* g_last_response = nullptr;  // owned; see HostExchange
int g_exchange_depth = 0;

struct DepthScope {
  DepthScope() { g_exchange_depth++; }
  ~DepthScope() { g_exchange_depth--; }
};

// Serves a request the host sent while the plugin waits. False when the
// answer could not be written: the host's side of the exchange is then lost.
bool ServeNestedRequest(const char* request) {
  const char* answer = VUSK_Client_CmdParser(request);
  if (JsonWriteText(answer)) return true;
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
  if (!JsonWriteText(request)) {
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
