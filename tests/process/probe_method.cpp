// probe_method: see probe_method.h.
#include "tests/process/probe_method.h"

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_client.h"

JsonValue* ProbeAskHost(const JsonValue* params) {
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
