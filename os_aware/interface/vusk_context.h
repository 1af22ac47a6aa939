// vusk_context: the service context, one per debugging connection of the
// host, and the per-call guard that keeps it right under nested calls.
//
// A context is made by VuskInit (keyed by the host's "context" handle), found
// again by every later method from its params, and destroyed by VuskCleanup.
// Live contexts form one process-wide list, oldest first; a lookup takes the
// oldest context with the handle.
//
// Nesting: while a callback waits for the host, the host may call further
// methods, which run to completion on the same stack. Each guarded call saves
// the context's call records (request, response) of the call it interrupted
// and puts them back when it leaves, so the outer call finds its own params,
// result and per-call flags again. The records are borrowed: between calls
// they are null, never a request that has already been freed.
//
// A context destroyed while a call on it is still in progress (a VuskCleanup
// sent by the host in the middle of a call) leaves the list at once and is
// freed when the last such call leaves.
#pragma once

#include <cstdint>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/simple_json/simple_json.h"

// Bits of VUSK_ServiceCntx::flags.
enum VuskCntxFlag : uint8_t {
  kCntxTargetBigEndian = 1u << 0,
  kCntxHostBigEndian = 1u << 1,
  kCntxLogCommunication = 1u << 2,
  kCntxAbortAction = 1u << 3,
  kCntxInUserMode = 1u << 4,
  kCntxNotInKernel = 1u << 5,
  kCntxIsSimulator = 1u << 6,
  kCntxExplorerIsActive = 1u << 7,
};

// Bits of VUSK_ServiceCntx::flags2.
enum VuskCntxFlag2 : uint8_t {
  kCntx2TraecIsActive = 1u << 0,
  kCntx2WholeTargetHalted = 1u << 1,
  kCntx2PliskInValidation = 1u << 2,
  kCntx2SuppressErrMsg = 1u << 3,
};

// Entries of the minor CPU type list; unused entries hold -1.
constexpr int kVuskMinorCpuTypeCount = 10;
// A core number meaning "no core".
constexpr int64_t kVuskNoCore = -1;

struct VuskCoreMode {
  int64_t core;
  uint8_t inUserMode;
};

struct VUSK_ServiceCntx {
  int16_t majorCpuType;
  int16_t minorCpuType;
  uint8_t flags;   // VuskCntxFlag bits
  uint8_t flags2;  // VuskCntxFlag2 bits
  int32_t* minorCpuTypes;  // owned, kVuskMinorCpuTypeCount entries, or null
  uint32_t allowBpOps;     // sent with every command execution; stays 0
  uint32_t majorCpuType32;
  uint32_t cpuAddressSize;
  uint32_t signExtendAddressFrom4BytesTo8Bytes;
  char* sharedLibPath;  // owned texts, or null
  char* realSharedLibPath;
  char* pliskDir;
  uint64_t handle;
  VuskPluginInfo info;
  void* targetData;  // the awareness logic's; released with VuskAwarenessReleaseTarget
  int64_t hostCore;  // 0-based, kVuskNoCore = none
  int64_t firstCoreIdOffset;
  uint64_t* coreIdList;  // owned, coreCount entries, null unless coreCount > 1
  uint64_t coreCount;
  uint8_t unifiedMcVusk;
  uint8_t mcIsFrozen;
  uint8_t showHiddenTasks;
  uint8_t showAllObjects;
  uint8_t wantPhysicalAddress;
  // Borrowed call records: params and result of the call in progress, and
  // (only between lookup and guard) of the call it interrupted.
  const JsonValue* currentRequest;
  const JsonValue* previousRequest;
  JsonValue* currentResponse;
  JsonValue* previousResponse;
  VuskCoreMode* coreModes;  // owned, coreModeCount entries
  int32_t coreModeCount;
  uint32_t pliskMajor;
  uint32_t pliskMinor;
  uint32_t pliskMicro;
  int32_t debugMode;
  // Bookkeeping of the live list and of calls in progress.
  VUSK_ServiceCntx* next;
  int32_t callsInProgress;
  bool destroyed;  // left the list, freed when the last call leaves
};

inline bool VuskCntxHas(const VUSK_ServiceCntx* context, VuskCntxFlag flag) { return (context->flags & flag) != 0; }
inline bool VuskCntxHas2(const VUSK_ServiceCntx* context, VuskCntxFlag2 flag) {
  return (context->flags2 & flag) != 0;
}
void VuskCntxSet(VUSK_ServiceCntx* context, VuskCntxFlag flag, bool on);
void VuskCntxSet2(VUSK_ServiceCntx* context, VuskCntxFlag2 flag, bool on);

// Makes a context with its start values and appends it to the live list.
// The list owns it until VuskContextDestroy.
VUSK_ServiceCntx* VuskContextCreate(uint64_t handle);

// The oldest live context with the handle, or null.
VUSK_ServiceCntx* VuskContextFind(uint64_t handle);

// Finds the context named by params' "context", applies the common per-call
// members to it and makes (params, response) its current call records, the
// former ones becoming the previous records. Null when params names no live
// context (nothing is changed then). params and response stay the caller's.
VUSK_ServiceCntx* VuskContextLookup(const JsonValue* params, JsonValue* response);

// Ends an unguarded call (VuskInit, VuskCleanup): the call records it made
// current are dropped and those of the call before it come back.
void VuskContextEndUnguardedCall(VUSK_ServiceCntx* context);

// Removes the context from the live list and frees it with all it owns
// (targetData included), or, while calls on it are in progress, as soon as
// the last of them leaves.
void VuskContextDestroy(VUSK_ServiceCntx* context);

// Keeps the context alive across a callback that may nest a VuskCleanup of
// it; Release frees it when it was destroyed meanwhile and nothing else
// holds it. The call guard holds its context the same way.
void VuskContextHold(VUSK_ServiceCntx* context);
void VuskContextRelease(VUSK_ServiceCntx* context);

// Records the user mode of a core, replacing an earlier entry for it.
void VuskContextSetCoreMode(VUSK_ServiceCntx* context, int64_t core, bool inUserMode);

// Number of live contexts; for tests and diagnostics.
int VuskContextCount();

// The per-call guard of every guarded method (all but VuskInit, VuskCleanup,
// HistoryLogDump and Exit), entered right after VuskContextLookup.
struct VuskCallGuard {
  VUSK_ServiceCntx* context;
  const JsonValue* savedRequest;
  JsonValue* savedResponse;
};

void VuskCallEnter(VuskCallGuard* guard, VUSK_ServiceCntx* context);

// Puts back the interrupted call's records; when this call ran nested, the
// outer call's per-call flags are applied again from its request, and
// "Got different VUSK_ServiceCntx at restoration.\n" goes to standard error
// when that request no longer names the guard's context.
void VuskCallLeave(VuskCallGuard* guard);

// Depth of guarded calls in progress across all contexts.
int VuskCallDepth();
