// fuzz_contexts: see TrackContexts and ForgetContexts in fuzz_util.h. Apart
// from fuzz_util.cpp because only the session targets link the interface
// and awareness.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "os_aware/interface/vusk_context.h"
#include "os_aware/interface/vusk_methods.h"
#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/simple_json/simple_json.h"
#include "os_aware/threadx/tx_bridge.h"
#include "os_aware/threadx/tx_layout_db.h"

namespace fuzz {

namespace {

constexpr const char* kInitMethod = "VUSK_Client_VuskInit";

// The context handles VuskInit was given during the present input. Emptied
// (storage included) at the end of every input, so that an input's
// allocations are all freed within it and libFuzzer's leak check has
// nothing to look into.
std::vector<uint64_t> g_handles;

// VuskInit as the catalogue serves it, noting the handle first (read as
// VuskInit reads it).
JsonValue* TrackedVuskInit(const JsonValue* params) {
  uint64_t handle = 0;
  JsonGetUInt64(params, "context", &handle);
  g_handles.push_back(handle);
  return VuskMethodVuskInit(params);
}

}  // namespace

void TrackContexts() { JrBind(kInitMethod, TrackedVuskInit); }

void ForgetContexts() {
  for (uint64_t handle : g_handles) {
    while (VUSK_ServiceCntx* context = VuskContextFind(handle)) VuskContextDestroy(context);
  }
  g_handles.clear();
  g_handles.shrink_to_fit();
  // What the awareness learnt from this input's host must not steer the next.
  BridgeResetHostSettings();
  TxLayoutDatabaseReset();
}

}  // namespace fuzz
