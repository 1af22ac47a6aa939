// vusk_process_probe: the plugin process with one extra method, for tests of
// the host exchange. "Probe_AskHost" asks the host "VUSK_Service_Probe" with
// the request's "expression" and answers with what came back:
//   { "answer" : <the host's result, or null>, "return" : 0 or 1 }
// The request goes through the process's own client, like every service call.
#include "os_aware/jsonrpc/jr_client.h"
#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/plugin/plugin_main.h"

namespace {

JsonValue* AskHost(const JsonValue* params) {
  const char* expression = "";
  JsonGetString(params, "expression", &expression);
  JsonValue* request = JsonNewObject();
  JsonAddString(request, "expression", expression);
  JsonValue* answer = nullptr;
  bool ok = JrSendRequest(VuskHostClient(), "VUSK_Service_Probe", request, &answer);
  JsonValue* result = JsonNewObject();
  JsonObjectAdd(result, "answer", answer ? answer : JsonNewNull());
  JsonAddInt32(result, "return", ok ? 0 : 1);
  return result;
}

void BindProbe(VuskHostRequestFn) { JrBind("Probe_AskHost", AskHost); }

}  // namespace

int main(int argc, char** argv) { return PluginMain(argc, argv, BindProbe); }
