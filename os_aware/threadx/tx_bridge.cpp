// tx_bridge: the bridge pool, the expression helpers and the two host
// settings asked by command; see tx_bridge.h. The service operations
// themselves are in tx_bridge_services.cpp and tx_bridge_files.cpp.
//
// Invariant: an entry is free exactly when its use count is 0; its host
// pointer is then null, and it holds no core list.
#include "os_aware/threadx/tx_bridge.h"

#include <cassert>
#include <cstring>

#include "os_aware/interface/vusk_service.h"
#include "shared/port_alloc.h"

uint8_t inRegisterRead = 0;

namespace {

BridgeContext g_pool[kBridgePoolSize];
int32_t g_use_count[kBridgePoolSize];

constexpr int32_t kPhySpaceUnknown = -1;
int32_t g_use_phy_space = kPhySpaceUnknown;
char* g_user_config_dir = nullptr;

constexpr int32_t kPoolMessageType = 2;
constexpr const char* kPoolExhausted = "VUSK Bridge: Failed to get service context.\n";
constexpr const char* kPhySpaceCommand = "__debugFlag TxVuskUsePhySpace";
constexpr const char* kPhySpaceOff = "= off";
constexpr const char* kUserConfigDirCommand = "__user_cfg_dir";
constexpr int32_t kOutputWanted = 1;

// Who gives a flag its value for the host: the awareness answers it (a
// release writes it back), or the host's handler sets it for the call it
// serves (never written back).
enum class FlagOwner : uint8_t { kAwarenessAnswers, kHandlerSets };

// Maps each flag of the copy to its bit in the host's record.
struct InfoFlagMap {
  bool BridgeInfo::*field;
  VuskInfoFlag bit;
  FlagOwner owner;
};
constexpr InfoFlagMap kInfoFlags[] = {
    {&BridgeInfo::kernelInPhysicalAddress, kInfoKernelInPhysicalAddress, FlagOwner::kAwarenessAnswers},
    {&BridgeInfo::translateAddressOnMasterProcess, kInfoTranslateAddressOnMasterProcess, FlagOwner::kAwarenessAnswers},
    {&BridgeInfo::treatMasterProcessAsKernel, kInfoTreatMasterProcessAsKernel, FlagOwner::kAwarenessAnswers},
    {&BridgeInfo::showObjectNumber, kInfoShowObjectNumber, FlagOwner::kHandlerSets},
    {&BridgeInfo::fixVuskMemSpc, kInfoFixVuskMemSpc, FlagOwner::kAwarenessAnswers},
    {&BridgeInfo::distinguishCpuModes, kInfoDistinguishCpuModes, FlagOwner::kAwarenessAnswers},
};

// The members the awareness answers, into the host's record. A nested call
// shares the outer call's copy, so what it writes is the outer copy with
// the awareness's answers since.
void WriteAnswersBack(const BridgeInfo* from, VuskPluginInfo* to) {
  to->versionAcknowledge = from->versionAcknowledge;
  to->reserved = from->reserved;
  to->fakeTidForMasterProcess = from->fakeTidForMasterProcess;
  to->pageSize = from->pageSize;
  to->noiceMask = from->noiceMask;
  for (const InfoFlagMap& map : kInfoFlags) {
    if (map.owner == FlagOwner::kAwarenessAnswers) VuskInfoSet(to, map.bit, from->*map.field);
  }
}

// The host's core ids, copied: the service context's list is replaced when
// a TargetInit is served during the call.
void CopyCores(const VUSK_ServiceCntx* host, BridgeSettings* to) {
  to->coreCount = host->coreCount;
  to->coreIdList = nullptr;
  if (!host->coreIdList || host->coreCount <= 1) return;
  size_t bytes = static_cast<size_t>(host->coreCount) * sizeof(uint64_t);
  to->coreIdList = static_cast<uint64_t*>(PortAlloc(bytes));
  memcpy(to->coreIdList, host->coreIdList, bytes);
}

void CopySettings(const VUSK_ServiceCntx* host, BridgeSettings* to) {
  to->cpumajor = host->majorCpuType;
  to->cpuminor = host->minorCpuTypes ? static_cast<int16_t>(host->minorCpuTypes[0]) : host->minorCpuType;
  to->bigEndianTarget = VuskCntxHas(host, kCntxTargetBigEndian);
  to->bigEndianHost = VuskCntxHas(host, kCntxHostBigEndian);
  to->logCommunication = VuskCntxHas(host, kCntxLogCommunication);
  to->abortAction = VuskCntxHas(host, kCntxAbortAction);
  to->inUserMode = VuskCntxHas(host, kCntxInUserMode);
  to->notCheckInKernel = VuskCntxHas(host, kCntxNotInKernel);
  to->isSimulator = VuskCntxHas(host, kCntxIsSimulator);
  to->explorerInactive = !VuskCntxHas(host, kCntxExplorerIsActive);
  to->pliskInValidation = VuskCntxHas2(host, kCntx2PliskInValidation);
  to->suppressErrMsg = VuskCntxHas2(host, kCntx2SuppressErrMsg);
  to->cpuAddressSize = host->cpuAddressSize;
  CopyCores(host, to);
}

bool EntryFree(int index) {
  assert(g_use_count[index] >= 0);
  assert((g_use_count[index] == 0) == (g_pool[index].host == nullptr));
  return g_use_count[index] == 0;
}

int PoolIndexOf(const BridgeContext* bc) {
  for (int i = 0; i < kBridgePoolSize; i++) {
    if (bc == &g_pool[i]) return i;
  }
  return -1;
}

// Trailing carriage returns and line feeds go; the text stays in place.
void StripLineEnds(char* text) {
  size_t length = strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = '\0';
}

}  // namespace

void BridgeInfoFromHost(const VuskPluginInfo* from, BridgeInfo* to) {
  to->versionAcknowledge = from->versionAcknowledge;
  to->versionRequired = from->versionRequired;
  to->reserved = from->reserved;
  for (const InfoFlagMap& map : kInfoFlags) to->*map.field = VuskInfoHas(from, map.bit);
  to->spare = true;
  to->fakeTidForMasterProcess = from->fakeTidForMasterProcess;
  to->pageSize = from->pageSize;
  to->vuskKernelMajorVersion = from->vuskKernelMajorVersion;
  to->vuskKernelMinorVersion = from->vuskKernelMinorVersion;
  to->noiceMask = from->noiceMask;
}

uint8_t BridgeInfoFlags(const BridgeInfo* info) {
  uint8_t flags = 0;
  for (const InfoFlagMap& map : kInfoFlags) {
    if (info->*map.field) flags = static_cast<uint8_t>(flags | map.bit);
  }
  return flags;
}

void BridgePoolInit() {
  for (int i = 0; i < kBridgePoolSize; i++) {
    PortFree(g_pool[i].settings.coreIdList);
    g_pool[i] = BridgeContext{};
    g_pool[i].services = *BridgeStandardServices();
    g_use_count[i] = 0;
  }
}

BridgeContext* BridgeAcquire(VUSK_ServiceCntx* host) {
  int free_index = -1;
  for (int i = 0; i < kBridgePoolSize; i++) {
    if (!EntryFree(i) && g_pool[i].host == host) {
      g_use_count[i]++;
      return &g_pool[i];
    }
    if (EntryFree(i) && free_index < 0) free_index = i;
  }
  if (free_index < 0) {
    VuskServiceMessageDisplay(host, kPoolMessageType, "%s", kPoolExhausted);
    return nullptr;
  }
  BridgeContext* bc = &g_pool[free_index];
  g_use_count[free_index] = 1;
  bc->host = host;
  CopySettings(host, &bc->settings);
  BridgeInfoFromHost(&host->info, &bc->info);
  return bc;
}

void BridgeRelease(BridgeContext* bc) {
  int index = PoolIndexOf(bc);
  if (index < 0) return;
  assert(!EntryFree(index));  // a release without its acquire
  if (EntryFree(index)) return;
  WriteAnswersBack(&bc->info, &bc->host->info);
  if (--g_use_count[index] > 0) return;
  PortFree(bc->settings.coreIdList);
  bc->settings.coreIdList = nullptr;
  bc->host = nullptr;
}

int32_t BridgeUseCount(int index) {
  if (index < 0 || index >= kBridgePoolSize) return 0;
  return g_use_count[index];
}

int32_t BridgeUsePhySpace(BridgeContext* bc) {
  if (g_use_phy_space != kPhySpaceUnknown) return g_use_phy_space;
  char* output = nullptr;
  int status = bc->services.commandExecOutput(bc, kPhySpaceCommand, kOutputWanted, &output);
  if (status != kStatusOk) {
    bc->services.release(bc, output);
    return 0;
  }
  g_use_phy_space = (output && strstr(output, kPhySpaceOff)) ? 0 : 1;
  bc->services.release(bc, output);
  return g_use_phy_space;
}

const char* BridgeUserConfigDir(BridgeContext* bc) {
  if (g_user_config_dir) return g_user_config_dir;
  char* output = nullptr;
  int status = bc->services.commandExecOutput(bc, kUserConfigDirCommand, kOutputWanted, &output);
  if (status != kStatusOk || !output) {
    bc->services.release(bc, output);
    return nullptr;
  }
  StripLineEnds(output);
  // A request the host sent while we waited may have asked too; its answer
  // stands (and is not leaked).
  if (!g_user_config_dir) g_user_config_dir = PortStrdup(output);
  bc->services.release(bc, output);
  return g_user_config_dir;
}

void BridgeResetHostSettings() {
  g_use_phy_space = kPhySpaceUnknown;
  PortFree(g_user_config_dir);
  g_user_config_dir = nullptr;
}

int BridgeEvaluate(BridgeContext* bc, const char* expression, uint64_t* number) {
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
  int status = bc->services.expressionEval(bc, expression, &value);
  if (status == kStatusOk) *number = value.value.u64;
  return status;
}

int BridgeEvaluateFormat(BridgeContext* bc, uint64_t* number, const char* format, ...) {
  char expression[kExpressionCapacity];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(expression, sizeof expression, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= sizeof expression) return kStatusFailed;
  return BridgeEvaluate(bc, expression, number);
}

int BridgeMessage(BridgeContext* bc, int32_t messageType, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int status = bc->services.messageDisplay(bc, messageType, format, args);
  va_end(args);
  return status;
}
