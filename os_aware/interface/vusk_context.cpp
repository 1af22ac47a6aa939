// vusk_context: service contexts, the live list and the call guard; see
// vusk_context.h.
#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/interface/vusk_context.h"

#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

VUSK_ServiceCntx* g_live_head = nullptr;  // oldest first
int g_call_depth = 0;

void Unlink(VUSK_ServiceCntx* context) {
  for (VUSK_ServiceCntx** link = &g_live_head; *link; link = &(*link)->next) {
    if (*link == context) {
      *link = context->next;
      context->next = nullptr;
      return;
    }
  }
}

void FreeContext(VUSK_ServiceCntx* context) {
  PortFree(context->sharedLibPath);
  PortFree(context->realSharedLibPath);
  PortFree(context->pliskDir);
  PortFree(context->coreIdList);
  VuskAwarenessReleaseTarget(context->targetData);
  PortFree(context->minorCpuTypes);
  PortFree(context->coreModes);
  PortFree(context);
}

// A flag member: a nonzero integer. A JSON boolean is not an integer.
bool ReadFlag(const JsonValue* params, const char* name, bool* out) {
  int64_t value = 0;
  if (!JsonGetInt64(params, name, &value)) return false;
  *out = value != 0;
  return true;
}

bool FlagOrZero(const JsonValue* params, const char* name) {
  bool flag = false;
  ReadFlag(params, name, &flag);
  return flag;
}

// The per-call members every guarded method applies to its context.
void ApplyCommonMembers(VUSK_ServiceCntx* context, const JsonValue* params) {
  VuskCntxSet(context, kCntxInUserMode, FlagOrZero(params, "inUserMode"));
  VuskCntxSet(context, kCntxAbortAction, FlagOrZero(params, "abortAction"));
  VuskCntxSet2(context, kCntx2PliskInValidation, FlagOrZero(params, "pliskInValidation"));
  int64_t hostCoreId = 0;
  context->hostCore = JsonGetInt64(params, "hostCoreId", &hostCoreId) ? hostCoreId - 1 : kVuskNoCore;
  context->unifiedMcVusk = FlagOrZero(params, "unifiedMcVusk");
  context->mcIsFrozen = FlagOrZero(params, "mcIsFrozen");
  bool traec = false;
  if (ReadFlag(params, "traecIsActive", &traec)) VuskCntxSet2(context, kCntx2TraecIsActive, traec);
}

VUSK_ServiceCntx* FindFromParams(const JsonValue* params) {
  uint64_t handle = 0;
  if (!JsonGetUInt64(params, "context", &handle)) return nullptr;
  return VuskContextFind(handle);
}

}  // namespace

void VuskCntxSet(VUSK_ServiceCntx* context, VuskCntxFlag flag, bool on) {
  context->flags = static_cast<uint8_t>(on ? (context->flags | flag) : (context->flags & ~flag));
}

void VuskCntxSet2(VUSK_ServiceCntx* context, VuskCntxFlag2 flag, bool on) {
  context->flags2 = static_cast<uint8_t>(on ? (context->flags2 | flag) : (context->flags2 & ~flag));
}

VUSK_ServiceCntx* VuskContextCreate(uint64_t handle) {
  auto* context = static_cast<VUSK_ServiceCntx*>(PortAllocZero(1, sizeof(VUSK_ServiceCntx)));
  context->handle = handle;
  context->hostCore = kVuskNoCore;
  context->coreCount = 1;
  context->showAllObjects = 1;
  context->debugMode = -1;
  VUSK_ServiceCntx** tail = &g_live_head;
  while (*tail) tail = &(*tail)->next;
  *tail = context;
  return context;
}

VUSK_ServiceCntx* VuskContextFind(uint64_t handle) {
  for (VUSK_ServiceCntx* context = g_live_head; context; context = context->next) {
    if (context->handle == handle) return context;
  }
  return nullptr;
}

VUSK_ServiceCntx* VuskContextLookup(const JsonValue* params, JsonValue* response) {
  VUSK_ServiceCntx* context = FindFromParams(params);
  if (!context) return nullptr;
  ApplyCommonMembers(context, params);
  context->previousRequest = context->currentRequest;
  context->currentRequest = params;
  context->previousResponse = context->currentResponse;
  context->currentResponse = response;
  return context;
}

void VuskContextEndUnguardedCall(VUSK_ServiceCntx* context) {
  context->currentRequest = context->previousRequest;
  context->currentResponse = context->previousResponse;
  context->previousRequest = nullptr;
  context->previousResponse = nullptr;
}

void VuskContextDestroy(VUSK_ServiceCntx* context) {
  if (!context || context->destroyed) return;
  Unlink(context);
  context->destroyed = true;
  if (context->callsInProgress == 0) FreeContext(context);
}

void VuskContextHold(VUSK_ServiceCntx* context) { context->callsInProgress++; }

void VuskContextRelease(VUSK_ServiceCntx* context) {
  context->callsInProgress--;
  if (context->destroyed && context->callsInProgress == 0) FreeContext(context);
}

void VuskContextSetCoreMode(VUSK_ServiceCntx* context, int64_t core, bool inUserMode) {
  for (int32_t i = 0; i < context->coreModeCount; i++) {
    if (context->coreModes[i].core == core) {
      context->coreModes[i].inUserMode = inUserMode;
      return;
    }
  }
  size_t grown = static_cast<size_t>(context->coreModeCount) + 1;
  context->coreModes = static_cast<VuskCoreMode*>(PortRealloc(context->coreModes, grown * sizeof(VuskCoreMode)));
  context->coreModes[context->coreModeCount++] = VuskCoreMode{core, static_cast<uint8_t>(inUserMode)};
}

int VuskContextCount() {
  int count = 0;
  for (VUSK_ServiceCntx* context = g_live_head; context; context = context->next) count++;
  return count;
}

void VuskCallEnter(VuskCallGuard* guard, VUSK_ServiceCntx* context) {
  g_call_depth++;
  VuskContextHold(context);
  guard->context = context;
  guard->savedRequest = context->previousRequest;
  guard->savedResponse = context->previousResponse;
  context->previousRequest = nullptr;
  context->previousResponse = nullptr;
}

void VuskCallLeave(VuskCallGuard* guard) {
  VUSK_ServiceCntx* context = guard->context;
  g_call_depth--;
  if (guard->savedRequest && g_call_depth > 0) {
    // The outer call still runs: its request carries the per-call flags.
    VUSK_ServiceCntx* restored = FindFromParams(guard->savedRequest);
    if (restored) ApplyCommonMembers(restored, guard->savedRequest);
    if (restored != context) PortMessage(MsgSeverity::Info, "Got different VUSK_ServiceCntx at restoration.\n");
  }
  // This call's own params and result are about to be freed: never leave
  // them behind in the context.
  context->currentRequest = guard->savedRequest;
  context->currentResponse = guard->savedResponse;
  context->previousRequest = nullptr;
  context->previousResponse = nullptr;
  VuskContextRelease(context);
}

int VuskCallDepth() { return g_call_depth; }
