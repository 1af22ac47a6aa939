// vusk_methods_session: the methods that open and close a session and a
// target, and the frame's own methods (HistoryLogDump, Exit).
//
// VuskInit creates the context and is the only method whose result puts
// "return" first. TargetInit sends its seven info members whatever the
// callback answers, but only "return": 1 when a required member is missing.
#include <cerrno>
#include <cstring>

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/interface/vusk_catalogue.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/interface/vusk_methods.h"
#include "shared/event_log.h"
#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

// An int32 member, kept in an unsigned field when present.
void StoreIfPresent(const JsonValue* params, const char* name, uint32_t* field) {
  int32_t value = 0;
  if (JsonGetInt32(params, name, &value)) *field = static_cast<uint32_t>(value);
}

// ---- VuskInit ------------------------------------------------------------------

void CopyPath(const JsonValue* params, const char* name, char** field) {
  const char* text = nullptr;
  if (!JsonGetString(params, name, &text)) return;
  PortFree(*field);
  *field = PortStrdup(text);
}

void ApplyInitMembers(VUSK_ServiceCntx* context, const JsonValue* params) {
  VuskPluginInfo* info = &context->info;
  StoreIfPresent(params, "versionRequired", &info->versionRequired);
  VuskInfoSet(info, kInfoTreatMasterProcessAsKernel, VuskParamFlagOr(params, "treatMasterProcessAsKernel", true));
  CopyPath(params, "sharedLibPath", &context->sharedLibPath);
  CopyPath(params, "realSharedLibPath", &context->realSharedLibPath);
  CopyPath(params, "pliskDir", &context->pliskDir);
  VuskInfoSet(info, kInfoFixVuskMemSpc, VuskParamFlagOr(params, "fixVuskMemSpc", false));
  context->showHiddenTasks = VuskParamFlagOr(params, "showHiddenTasks", false);
}

void AddInitMembers(JsonValue* result, const VuskPluginInfo* info) {
  JsonAddInt32(result, "versionAcknowledge", static_cast<int32_t>(info->versionAcknowledge));
  VuskAddFlag(result, "translateAddressOnMasterProcess", VuskInfoHas(info, kInfoTranslateAddressOnMasterProcess));
  VuskAddFlag(result, "treatMasterProcessAsKernel", VuskInfoHas(info, kInfoTreatMasterProcessAsKernel));
  VuskAddFlag(result, "fixVuskMemSpc", VuskInfoHas(info, kInfoFixVuskMemSpc));
  JsonAddUInt64(result, "fakeTidForMasterProcess", info->fakeTidForMasterProcess);
}

// ---- TargetInit ----------------------------------------------------------------

// Reads "minorCpuTypeArray" (at least 10 integers) or else "minorCpuType"
// into a fresh 10-entry list; false leaves the context's list as it was.
bool ReadMinorCpuTypes(VUSK_ServiceCntx* context, const JsonValue* params) {
  int32_t* types = nullptr;
  JsonValue* array = nullptr;
  if (JsonObjectGet(params, "minorCpuTypeArray", &array) && array->kind != JSON_NULL) {
    if (!JsonGetInt32Array(params, "minorCpuTypeArray", &types, kVuskMinorCpuTypeCount)) {
      PortFree(types);
      return false;
    }
  } else {
    int32_t minor = 0;
    if (!JsonGetInt32(params, "minorCpuType", &minor)) return false;
    types = static_cast<int32_t*>(PortAlloc(kVuskMinorCpuTypeCount * sizeof(int32_t)));
    types[0] = minor;
    for (int i = 1; i < kVuskMinorCpuTypeCount; i++) types[i] = -1;
  }
  PortFree(context->minorCpuTypes);
  context->minorCpuTypes = types;
  context->minorCpuType = static_cast<int16_t>(types[0]);
  return true;
}

// The list of core ids when "coreIdList" holds at least coreCount integers,
// else null. The array's length is checked before anything is allocated, so
// a huge coreCount from the host costs nothing.
uint64_t* ReadCoreIdList(const JsonValue* params, uint64_t coreCount) {
  JsonValue* array = nullptr;
  if (!JsonObjectGet(params, "coreIdList", &array) || array->kind != JSON_ARRAY) return nullptr;
  if (static_cast<uint64_t>(array->count) < coreCount) return nullptr;
  uint64_t* ids = nullptr;
  if (!JsonGetUInt64Array(params, "coreIdList", &ids, static_cast<int>(coreCount))) {
    PortFree(ids);
    return nullptr;
  }
  return ids;
}

void ReadCores(VUSK_ServiceCntx* context, const JsonValue* params) {
  uint64_t coreCount = 1;
  JsonGetUInt64(params, "coreCount", &coreCount);
  context->coreCount = coreCount;
  PortFree(context->coreIdList);
  context->coreIdList = coreCount > 1 ? ReadCoreIdList(params, coreCount) : nullptr;
}

void ReadTargetOptions(VUSK_ServiceCntx* context, const JsonValue* params) {
  int64_t logCommunication = 0;
  if (JsonGetInt64(params, "logCommunication", &logCommunication)) {
    VuskCntxSet(context, kCntxLogCommunication, (logCommunication & 1) != 0);
  }
  VuskCntxSet(context, kCntxExplorerIsActive, VuskParamFlagOr(params, "explorerIsActive", false));
  bool traec = false;
  if (VuskParamFlag(params, "traecIsActive", &traec)) VuskCntxSet2(context, kCntx2TraecIsActive, traec);
  VuskCntxSet2(context, kCntx2PliskInValidation, VuskParamFlagOr(params, "pliskInValidation", false));
  VuskCntxSet2(context, kCntx2SuppressErrMsg, VuskParamFlagOr(params, "suppressErrMsg", false));
  context->cpuAddressSize = static_cast<uint32_t>(VuskParamInt32Or(params, "cpuAddressSize", 0));
  VuskCntxSet(context, kCntxIsSimulator, VuskParamFlagOr(params, "isSimulator", false));
}

void ReadInfoFlags(VuskPluginInfo* info, const JsonValue* params) {
  VuskInfoSet(info, kInfoKernelInPhysicalAddress, VuskParamFlagOr(params, "kernelInPhysicalAddress", false));
  VuskInfoSet(info, kInfoDistinguishCpuModes, VuskParamFlagOr(params, "distinguishCpuModes", true));
  bool fix = false;
  if (VuskParamFlag(params, "fixVuskMemSpc", &fix)) VuskInfoSet(info, kInfoFixVuskMemSpc, fix);
}

int TargetInitBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  StoreIfPresent(params, "pliskMajor", &context->pliskMajor);
  StoreIfPresent(params, "pliskMinor", &context->pliskMinor);
  StoreIfPresent(params, "pliskMicro", &context->pliskMicro);
  JsonGetInt32(params, "debugMode", &context->debugMode);
  context->firstCoreIdOffset = VuskParamInt64Or(params, "firstCoreIdOffset", 0);
  int32_t major = 0;
  if (!JsonGetInt32(params, "majorCpuType", &major)) return kStatusFailed;
  context->majorCpuType = static_cast<int16_t>(major);
  context->majorCpuType32 = static_cast<uint32_t>(major);
  if (!ReadMinorCpuTypes(context, params)) return kStatusFailed;
  int64_t targetOrder = 0, hostOrder = 0;
  if (!JsonGetInt64(params, "bigEndianTarget", &targetOrder)) return kStatusFailed;
  if (!JsonGetInt64(params, "bigEndianHost", &hostOrder)) return kStatusFailed;
  VuskCntxSet(context, kCntxTargetBigEndian, (targetOrder & 1) != 0);
  VuskCntxSet(context, kCntxHostBigEndian, (hostOrder & 1) != 0);
  ReadTargetOptions(context, params);
  ReadCores(context, params);
  context->signExtendAddressFrom4BytesTo8Bytes =
      static_cast<uint32_t>(VuskParamInt32Or(params, "signExtendAddressFrom4BytesTo8Bytes", 0));
  VuskPluginInfo* info = &context->info;
  ReadInfoFlags(info, params);

  int status = vuskCallbackTable.targetInit ? vuskCallbackTable.targetInit(context, info, &context->targetData)
                                            : kStatusOk;
  JsonAddInt32(result, "vuskKernelMajorVersion", static_cast<int32_t>(info->vuskKernelMajorVersion));
  JsonAddInt32(result, "vuskKernelMinorVersion", static_cast<int32_t>(info->vuskKernelMinorVersion));
  JsonAddInt32(result, "pageSize", static_cast<int32_t>(info->pageSize));
  VuskAddFlag(result, "kernelInPhysicalAddress", VuskInfoHas(info, kInfoKernelInPhysicalAddress));
  VuskAddFlag(result, "distinguishCpuModes", VuskInfoHas(info, kInfoDistinguishCpuModes));
  VuskAddFlag(result, "fixVuskMemSpc", VuskInfoHas(info, kInfoFixVuskMemSpc));
  JsonAddInt32(result, "noiceMask", static_cast<int32_t>(info->noiceMask));
  return status;
}

// ---- The other session methods -------------------------------------------------

int TargetCleanupBody(VUSK_ServiceCntx* context, const JsonValue*, JsonValue*) {
  int status = kStatusOk;
  if (vuskCallbackTable.targetCleanup) status = vuskCallbackTable.targetCleanup(context, &context->info, &context->targetData);
  VuskAwarenessReleaseTarget(context->targetData);
  context->targetData = nullptr;
  return status;
}

int PollBody(VUSK_ServiceCntx* context, const JsonValue*, JsonValue*) {
  if (!vuskCallbackTable.poll) return kStatusOk;
  return vuskCallbackTable.poll(context, &context->info, context->targetData);
}

int TargetNotifyBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  int32_t notice = 0;
  if (!JsonGetInt32(params, "notice", &notice)) return kStatusFailed;
  VuskCntxSet(context, kCntxExplorerIsActive, VuskParamFlagOr(params, "explorerIsActive", false));
  VuskCntxSet2(context, kCntx2WholeTargetHalted, VuskParamFlagOr(params, "wholeTargetHalted", false));
  VuskCntxSet2(context, kCntx2TraecIsActive, VuskParamFlagOr(params, "traecIsActive", false));
  if (!vuskCallbackTable.targetNotify) return kStatusOk;
  return vuskCallbackTable.targetNotify(context, &context->info, context->targetData, notice);
}

int VuskCmdExecuteBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  const char* command = nullptr;
  if (!JsonGetString(params, "command", &command)) return kStatusFailed;
  if (!vuskCallbackTable.vuskCmdExecute) return kStatusOk;
  return vuskCallbackTable.vuskCmdExecute(context, &context->info, context->targetData, command);
}

// The context leaves the live list now and is freed as its call scope ends,
// or after the last outer call on it.
int VuskCleanupBody(VUSK_ServiceCntx* context, const JsonValue*, JsonValue*) {
  int status = vuskCallbackTable.vuskCleanup ? vuskCallbackTable.vuskCleanup(context, &context->info) : kStatusOk;
  VuskContextDestroy(context);
  return status;
}

}  // namespace

JsonValue* VuskMethodVuskInit(const JsonValue* params) {
  uint64_t handle = 0;
  JsonGetUInt64(params, "context", &handle);
  VUSK_ServiceCntx* context = VuskContextCreate(handle);
  VuskCallScope call(context, params, nullptr, VuskCallKind::kSession);
  ApplyInitMembers(context, params);
  context->info.versionAcknowledge = kVuskVersionAcknowledge;

  int status = vuskCallbackTable.vuskInit ? vuskCallbackTable.vuskInit(context, &context->info) : kStatusOk;
  JsonValue* result = VuskStatusOnly(status);
  if (status == kStatusOk) {
    AddInitMembers(result, &context->info);
    VuskCatalogueAddCommands(result);
  }
  return result;
}

JsonValue* VuskMethodVuskCleanup(const JsonValue* params) {
  return VuskRunOnContext(params, VuskCleanupBody, VuskCallKind::kSession);
}

JsonValue* VuskMethodTargetInit(const JsonValue* params) { return VuskRunOnContext(params, TargetInitBody); }
JsonValue* VuskMethodTargetCleanup(const JsonValue* params) { return VuskRunOnContext(params, TargetCleanupBody); }
JsonValue* VuskMethodPoll(const JsonValue* params) { return VuskRunOnContext(params, PollBody); }
JsonValue* VuskMethodTargetNotify(const JsonValue* params) { return VuskRunOnContext(params, TargetNotifyBody); }
JsonValue* VuskMethodVuskCmdExecute(const JsonValue* params) { return VuskRunOnContext(params, VuskCmdExecuteBody); }

JsonValue* VuskMethodHistoryLogDump(const JsonValue* params) {
  int status = kStatusOk;
  const char* dirPath = nullptr;
  if (JsonGetString(params, "dirPath", &dirPath) && !EventLogDumpToDirectory(dirPath)) {
    // The host asked for a file it will look for: say why there is none.
    PortMessage(MsgSeverity::Error, "cannot write the event log into \"%s\": %s", dirPath, strerror(errno));
    status = kStatusFailed;
  }
  int64_t bufferSize = 0;
  // A negative size would wrap to an enormous request; it is as far below
  // the least size as a size can be, so it is ignored like one.
  if (JsonGetInt64(params, "bufferSize", &bufferSize) && bufferSize >= 0) {
    EventLogResize(static_cast<size_t>(bufferSize));
  }
  return VuskStatusOnly(status);
}

JsonValue* VuskMethodExit(const JsonValue*) {
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "exitCode", processExitCode);
  JsonAddInt32(result, "return", kStatusOk);
  exitRequested = true;
  return result;
}
