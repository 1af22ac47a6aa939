// vusk_context: the service context, one per debugging connection of the
// host, and the call scope that keeps it right under nested calls.
//
// A context is made by VuskInit (keyed by the host's "context" handle), found
// again by every later method from its params, and destroyed by VuskCleanup.
// Live contexts form one process-wide list, oldest first; a lookup takes the
// oldest context with the handle.
//
// Nesting: while a callback waits for the host, the host may call further
// methods, which run to completion on the same stack. Every method that has
// a context runs inside a VuskCallScope, which makes its params and result the
// context's call records and, when it ends, puts back those of the call it
// interrupted, so the outer call finds its own params, result and per-call
// flags again. The records are borrowed: between calls they are null, never a
// request that has already been freed.
//
// A context destroyed while a call on it is still in progress (a VuskCleanup
// sent by the host in the middle of a call) leaves the list at once and is
// freed when the last call scope on it ends.
#pragma once

#include <cstdint>

#include "shared/scoped_depth.h"

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
  // Borrowed call records: params and result of the call in progress (the
  // innermost VuskCallScope's); null between calls.
  const JsonValue* currentRequest;
  JsonValue* currentResponse;
  VuskCoreMode* coreModes;  // owned, coreModeCount entries
  int32_t coreModeCount;
  uint32_t pliskMajor;
  uint32_t pliskMinor;
  uint32_t pliskMicro;
  int32_t debugMode;
  // Bookkeeping of the live list and of calls in progress.
  VUSK_ServiceCntx* next;
  int32_t callsInProgress;  // VuskCallScopes open on it; never negative
  bool destroyed;  // left the list, freed when the last call scope ends
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

// Finds the context named by params' "context" and applies the common
// per-call members to it. Null when params names no live context (nothing is
// changed then).
VUSK_ServiceCntx* VuskContextLookup(const JsonValue* params);

// Removes the context from the live list and frees it with all it owns
// (targetData included), or, while call scopes on it are open, as soon as
// the last of them ends.
void VuskContextDestroy(VUSK_ServiceCntx* context);

// Records the user mode of a core, replacing an earlier entry for it.
void VuskContextSetCoreMode(VUSK_ServiceCntx* context, int64_t core, bool inUserMode);

// Number of live contexts; for tests and diagnostics.
int VuskContextCount();

// What a call does to the context beyond its call records.
enum class VuskCallKind : uint8_t {
  // A method on a live context (all but VuskInit, VuskCleanup,
  // HistoryLogDump and Exit): counted in VuskCallDepth; when it ran nested,
  // the outer call's per-call flags are applied again from its request as it
  // ends, and "Got different VUSK_ServiceCntx at restoration.\n" goes to
  // standard error when that request no longer names the same context.
  kMethod,
  // VuskInit and VuskCleanup, which make and end the context: neither.
  kSession,
};

// One call on a context, from its handler's start to its end: keeps the
// context alive and makes (params, response) its current call records; the
// end puts back the records of the call it interrupted. params and response
// stay the caller's and must outlive the scope.
class VuskCallScope {
 public:
  VuskCallScope(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* response, VuskCallKind kind);
  ~VuskCallScope();
  VuskCallScope(const VuskCallScope&) = delete;
  VuskCallScope& operator=(const VuskCallScope&) = delete;

 private:
  VUSK_ServiceCntx* context_;
  const JsonValue* savedRequest_;  // the interrupted call's records, or null
  JsonValue* savedResponse_;
  VuskCallKind kind_;
  ScopedDepth depth_;  // kMethod: one level of VuskCallDepth
};

// Depth of method calls (VuskCallKind::kMethod) in progress across all
// contexts.
int VuskCallDepth();
