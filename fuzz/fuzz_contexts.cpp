// fuzz_contexts: see ForgetContexts in fuzz_util.h. Apart from fuzz_util.cpp
// because only the session targets link the interface and awareness.
#include <string>

#include "fuzz/fuzz_util.h"
#include "os_aware/interface/vusk_context.h"
#include "os_aware/threadx/tx_bridge.h"
#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/simple_json/json_parse.h"

namespace fuzz {

namespace {

constexpr const char* kInitMethod = "VUSK_Client_VuskInit";

void ForgetContextOf(const std::string& line) {
  size_t start = line.find('{');
  if (start == std::string::npos) return;
  JsonValue* request = JsonParse(line.c_str() + start, nullptr);
  const char* method = nullptr;
  JsonValue* params = nullptr;
  int64_t handle = 0;
  if (JsonGetString(request, "method", &method) && std::string(method) == kInitMethod &&
      JsonObjectGet(request, "params", &params) && JsonGetInt64(params, "context", &handle)) {
    while (VUSK_ServiceCntx* context = VuskContextFind(static_cast<uint64_t>(handle))) VuskContextDestroy(context);
  }
  JsonFree(request);
}

}  // namespace

void ForgetContexts(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) ForgetContextOf(line);
  // What the awareness learnt from this input's host must not steer the next.
  BridgeResetHostSettings();
  TxLayoutDatabaseReset();
}

}  // namespace fuzz
