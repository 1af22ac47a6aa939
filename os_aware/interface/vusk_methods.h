// vusk_methods: the handlers of the VUSK_Client_ methods and the helpers
// they share. Internal to the method catalogue.
//
// Every handler takes the borrowed params (any kind; a non-object makes every
// member absent) and returns a new result object that always carries
// "return", a status of vusk_status.h: kStatusOk, kStatusFailed for the
// handler's own failure (no context, a required member missing or of the
// wrong kind, a too-short array), anything else passed through from the
// callback. No handler fails at the JSON-RPC level.
#pragma once

#include <cstdint>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_context.h"
#include "os_aware/interface/vusk_params.h"
#include "os_aware/simple_json/simple_json.h"

// Most results that carry a count-sized array stay far below this; a count
// above it from the awareness logic is treated as a failure instead of
// building an enormous response.
constexpr int64_t kVuskMaxResultElements = 1 << 20;

// ---- The common pattern ------------------------------------------------------

// A method body: reads its members, calls its slot and adds its result
// members; returns the status that goes into "return".
using VuskMethodBody = int (*)(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result);

// Makes the result object, finds the context ("return": 1 alone when there is
// none), runs body inside a call scope of the kind given and adds "return"
// last.
JsonValue* VuskRunOnContext(const JsonValue* params, VuskMethodBody body,
                            VuskCallKind kind = VuskCallKind::kMethod);

// A result object holding only "return" with the status.
JsonValue* VuskStatusOnly(int status);

// ---- Writing results ---------------------------------------------------------

void VuskAddFlag(JsonValue* result, const char* name, bool flag);

// How an out-record becomes a result member.
enum VuskValueForm {
  kFormText,     // string; "" when the callback left it null
  kFormInt32,    // the low 32 bits, sign-extended
  kFormInt64,    // the whole 64-bit payload
  kFormByType,   // integer when the type is not 0 after the call, else text
};
void VuskAddValue(JsonValue* result, const char* name, const VuskValue* value, VuskValueForm form);

// Arrays of count elements: the 64-bit payloads of address records, texts
// ("" for a null text) or plain integers. The makers return null, and the
// adders false with nothing added, when count is negative or above
// kVuskMaxResultElements, or when the source is null but count is not 0.
JsonValue* VuskRecordArray(const VuskValue* records, int64_t count);
JsonValue* VuskTextArray(const char* const* texts, int64_t count);
bool VuskAddRecordArray(JsonValue* result, const char* name, const VuskValue* records, int64_t count);
bool VuskAddTextArray(JsonValue* result, const char* name, const char* const* texts, int64_t count);
bool VuskAddInt32Array(JsonValue* result, const char* name, const int32_t* values, int64_t count);
bool VuskAddUInt64Array(JsonValue* result, const char* name, const uint64_t* values, int64_t count);

// Frees the record's text when it holds one (type 0) and clears it.
void VuskFreeValueText(VuskValue* value);

// ---- Handlers ----------------------------------------------------------------

JsonValue* VuskMethodVuskInit(const JsonValue* params);
JsonValue* VuskMethodVuskCleanup(const JsonValue* params);
JsonValue* VuskMethodTargetInit(const JsonValue* params);
JsonValue* VuskMethodTargetCleanup(const JsonValue* params);
JsonValue* VuskMethodPoll(const JsonValue* params);
JsonValue* VuskMethodTargetNotify(const JsonValue* params);
JsonValue* VuskMethodVuskCmdExecute(const JsonValue* params);
JsonValue* VuskMethodHistoryLogDump(const JsonValue* params);
JsonValue* VuskMethodExit(const JsonValue* params);

JsonValue* VuskMethodObjectListInit(const JsonValue* params);
JsonValue* VuskMethodObjectListCleanup(const JsonValue* params);
JsonValue* VuskMethodObjectListNext(const JsonValue* params);
JsonValue* VuskMethodObjectListAttribute(const JsonValue* params);
JsonValue* VuskMethodGuiObjectCheck(const JsonValue* params);
JsonValue* VuskMethodObjectChangedCheck(const JsonValue* params);
JsonValue* VuskMethodLifeCycleCountsGet(const JsonValue* params);
JsonValue* VuskMethodMessageInject(const JsonValue* params);

JsonValue* VuskMethodTaskMemoryAccessSetup(const JsonValue* params);
JsonValue* VuskMethodTaskMemoryAccessRestore(const JsonValue* params);
JsonValue* VuskMethodTaskRegisterRead(const JsonValue* params);
JsonValue* VuskMethodTaskRegisterWrite(const JsonValue* params);
JsonValue* VuskMethodTaskAddressTranslate(const JsonValue* params);
JsonValue* VuskMethodTaskNameGet(const JsonValue* params);
JsonValue* VuskMethodTaskStatusGet(const JsonValue* params);
JsonValue* VuskMethodTaskExecGet(const JsonValue* params);
JsonValue* VuskMethodTaskCpuGet(const JsonValue* params);
JsonValue* VuskMethodTaskAddressSpaceGet(const JsonValue* params);
JsonValue* VuskMethodTaskSymTabGet(const JsonValue* params);
JsonValue* VuskMethodTaskRelocatableGet(const JsonValue* params);
JsonValue* VuskMethodCurrentTaskGet(const JsonValue* params);
JsonValue* VuskMethodTaskInKernelCheck(const JsonValue* params);
JsonValue* VuskMethodTaskInCurrentAddressSpaceCheck(const JsonValue* params);
JsonValue* VuskMethodAddressSpaceNameGet(const JsonValue* params);
JsonValue* VuskMethodTaskIsHiddenCheck(const JsonValue* params);
JsonValue* VuskMethodTaskLsoGet(const JsonValue* params);
JsonValue* VuskMethodTaskTksaGet(const JsonValue* params);
JsonValue* VuskMethodPageTableGet(const JsonValue* params);
JsonValue* VuskMethodKernelMemoryRegionsGet(const JsonValue* params);
