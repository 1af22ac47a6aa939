// fuzz_contexts: see BindSessionMethods and ForgetSession in fuzz_util.h.
// Apart from fuzz_util.cpp because only the session targets link the
// interface and awareness.
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

// What the present input did that outlives its requests. Emptied (storage
// included) at the end of every input, so that an input's allocations are
// all freed within it and libFuzzer's leak check has nothing to look into.
struct SessionTrace {
  std::vector<uint64_t> contextHandles;  // given to VuskInit
  bool dumped = false;                   // a HistoryLogDump wrote into the scratch directory
};

SessionTrace g_trace;

// VuskInit as the catalogue serves it, noting the handle first (read as
// VuskInit reads it).
JsonValue* TrackedVuskInit(const JsonValue* params) {
  uint64_t handle = 0;
  JsonGetUInt64(params, "context", &handle);
  g_trace.contextHandles.push_back(handle);
  return VuskMethodVuskInit(params);
}

// HistoryLogDump with its dump directory moved into the scratch directory:
// the fuzzer must not write files where the input says.
JsonValue* ContainedHistoryLogDump(const JsonValue* params) {
  JsonValue* contained = JsonNewObject();
  const char* dirPath = nullptr;
  if (JsonGetString(params, "dirPath", &dirPath)) {
    JsonAddString(contained, "dirPath", ScratchDir().c_str());
    g_trace.dumped = true;
  }
  int64_t bufferSize = 0;
  if (JsonGetInt64(params, "bufferSize", &bufferSize)) JsonAddInt64(contained, "bufferSize", bufferSize);
  JsonValue* result = VuskMethodHistoryLogDump(contained);
  JsonFree(contained);
  return result;
}

}  // namespace

void BindSessionMethods() {
  JrBind("VUSK_Client_VuskInit", TrackedVuskInit);
  JrBind("VUSK_Client_HistoryLogDump", ContainedHistoryLogDump);
}

void ForgetSession() {
  for (uint64_t handle : g_trace.contextHandles) {
    while (VUSK_ServiceCntx* context = VuskContextFind(handle)) VuskContextDestroy(context);
  }
  if (g_trace.dumped) EmptyDir(ScratchDir());
  g_trace = SessionTrace{};
  std::vector<uint64_t>().swap(g_trace.contextHandles);
  // What the awareness learnt from this input's host must not steer the next.
  BridgeResetHostSettings();
  TxLayoutDatabaseReset();
}

}  // namespace fuzz
