// probe_method: "Probe_AskHost", a method that asks the host
// "VUSK_Service_Probe" with the request's "expression" and answers with what
// came back: { "answer" : <the host's result, or null>, "return" : 0 or 1 }.
// The request goes through the process's own client, like every service
// call, so tests and fuzzers can exercise the host exchange whatever the
// awareness logic does.
#pragma once

#include "os_aware/simple_json/simple_json.h"

constexpr const char* kProbeMethodName = "Probe_AskHost";

// A JrHandler: the result is new and owned by the dispatcher.
JsonValue* ProbeAskHost(const JsonValue* params);
