// vusk_entry: the plugin's exported entry points and the process-wide
// state of the exchange with the host; see vusk_entry.h.
//
// VUSK_Client_CmdInit builds everything once: the method bindings, the
// JSON-RPC client that carries every request to the host, and the awareness
// logic's callback slots. Nothing of it is torn down while the process runs.
#include "os_aware/interface/vusk_entry.h"

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_catalogue.h"
#include "os_aware/jsonrpc/jr_client.h"
#include "os_aware/jsonrpc/jr_dispatch.h"

bool exitRequested = false;
int32_t processExitCode = 0;

namespace {
JrClient* g_host_client = nullptr;
}

extern "C" void VUSK_Client_CmdInit(int argc, char** argv, VuskHostRequestFn hostRequest) {
  if (g_host_client) return;
  VuskCatalogueBind();
  g_host_client = JrClientCreate();
  g_host_client->send = hostRequest;
  vuskCallbackTable = VuskCallbackTable{};
  VuskAwarenessStart(argc, argv, &vuskCallbackTable);
}

extern "C" const char* VUSK_Client_CmdParser(const char* request) { return JrDispatch(request); }

JrClient* VuskHostClient() { return g_host_client; }

const char* VuskDispatchParsed(JsonValue* request) { return JrDispatchValue(request); }

void VuskUseParsedExchange(JrExchangeFn exchange) {
  if (g_host_client) g_host_client->exchange = exchange;
}
