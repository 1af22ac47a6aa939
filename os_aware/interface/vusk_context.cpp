// vusk_context: service contexts, the live list and the call scope; see
// vusk_context.h.
//
// Invariants: callsInProgress counts the open call scopes of a context and
// is never negative; a context is freed exactly once, when it is destroyed
// and no scope holds it.
#include "os_aware/interface/vusk_context.h"

#include <cassert>

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/interface/vusk_params.h"

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

// The per-call members every guarded method applies to its context.
void ApplyCommonMembers(VUSK_ServiceCntx* context, const JsonValue* params) {
  VuskCntxSet(context, kCntxInUserMode, VuskParamFlagOr(params, "inUserMode", false));
  VuskCntxSet(context, kCntxAbortAction, VuskParamFlagOr(params, "abortAction", false));
  VuskCntxSet2(context, kCntx2PliskInValidation, VuskParamFlagOr(params, "pliskInValidation", false));
  int64_t hostCoreId = 0;
  context->hostCore = JsonGetInt64(params, "hostCoreId", &hostCoreId) ? hostCoreId - 1 : kVuskNoCore;
  context->unifiedMcVusk = VuskParamFlagOr(params, "unifiedMcVusk", false);
  context->mcIsFrozen = VuskParamFlagOr(params, "mcIsFrozen", false);
  bool traec = false;
  if (VuskParamFlag(params, "traecIsActive", &traec)) VuskCntxSet2(context, kCntx2TraecIsActive, traec);
}

VUSK_ServiceCntx* FindFromParams(const JsonValue* params) {
  uint64_t handle = 0;
  if (!JsonGetUInt64(params, "context", &handle)) return nullptr;
  return VuskContextFind(handle);
}

// Keeps the context alive across a call that may nest a VuskCleanup of it;
// Release frees it when it was destroyed meanwhile and nothing else holds it.
void Hold(VUSK_ServiceCntx* context) { context->callsInProgress++; }

void Release(VUSK_ServiceCntx* context) {
  assert(context->callsInProgress > 0);
  context->callsInProgress--;
  if (context->destroyed && context->callsInProgress == 0) FreeContext(context);
}

// The outer call still runs: its request carries the per-call flags, which
// a nested call on the same context has overwritten.
void ApplyOuterMembers(const VUSK_ServiceCntx* context, const JsonValue* outerRequest) {
  VUSK_ServiceCntx* restored = FindFromParams(outerRequest);
  if (restored) ApplyCommonMembers(restored, outerRequest);
  if (restored != context) PortMessage(MsgSeverity::Info, "Got different VUSK_ServiceCntx at restoration.\n");
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

VUSK_ServiceCntx* VuskContextLookup(const JsonValue* params) {
  VUSK_ServiceCntx* context = FindFromParams(params);
  if (context) ApplyCommonMembers(context, params);
  return context;
}

void VuskContextDestroy(VUSK_ServiceCntx* context) {
  if (!context || context->destroyed) return;
  Unlink(context);
  context->destroyed = true;
  if (context->callsInProgress == 0) FreeContext(context);
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

VuskCallScope::VuskCallScope(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* response,
                             VuskCallKind kind)
    : context_(context),
      savedRequest_(context->currentRequest),
      savedResponse_(context->currentResponse),
      kind_(kind),
      depth_(kind == VuskCallKind::kMethod ? &g_call_depth : nullptr) {
  Hold(context);
  context->currentRequest = params;
  context->currentResponse = response;
}

VuskCallScope::~VuskCallScope() {
  // depth_ still counts this call: a depth above 1 means outer calls run.
  if (kind_ == VuskCallKind::kMethod && savedRequest_ && g_call_depth > 1) ApplyOuterMembers(context_, savedRequest_);
  // This call's own params and result are about to be freed: never leave
  // them behind in the context.
  context_->currentRequest = savedRequest_;
  context_->currentResponse = savedResponse_;
  Release(context_);
}

int VuskCallDepth() { return g_call_depth; }
