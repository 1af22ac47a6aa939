// tx_cores: single-core or SMP kernel, and the running thread of a core.
//
// ThreadX keeps the running thread in _tx_thread_current_ptr: one pointer,
// or on SMP kernels an array with one pointer per core. Target init finds
// out which; the texts that depend on it come from the core table, by
// cpumajor. The running thread is cached (whole 64-bit address, with the
// 1-based host core it belongs to) until the host reports a new halt.
//
// Cores are numbered three ways: the kernel's core index (into
// _tx_thread_current_ptr, and what tx_thread_smp_core_mapped holds), the
// host's 1-based core id (coreIdList[index]; "coreId" on the wire), and
// what the user reads ("Executing on Core N": the core id minus 1).
#include <cinttypes>

#include "os_aware/threadx/tx_target.h"

namespace {

// When target init looks for the per-core array.
enum SmpProbe : uint8_t {
  kProbeAlways,                // count the array without asking for the symbol
  kProbeSymbol,                // when the host knows _tx_thread_current_ptr
  kProbeSymbolOnSeveralCores,  // the same, when the host lists more than one core
};

struct CoreTexts {
  int16_t cpumajor;  // kAnyOtherCpu: the row for every CPU without its own
  SmpProbe probe;
  const char* coreField;
  const char* currentCoreExpression;
  const char* coreDisplayTemplate;
};

constexpr int16_t kAnyOtherCpu = -1;
constexpr const char* kSmpCoresExcluded =
    "`{print/x (unsigned short)($thl_temp->tx_thread_smp_cores_excluded)}`";

// The last row serves every CPU without a row of its own: its current core
// is a convenience variable the host sets to the kernel core index of the
// core it has selected, since such a CPU names no register for it.
constexpr CoreTexts kCoreTexts[] = {
    {.cpumajor = 10,
     .probe = kProbeAlways,
     .coreField = "tx_thread_mips32_mapped_vpe",
     .currentCoreExpression = "$tcpind.CurVPE",
     .coreDisplayTemplate = "`{print/x (unsigned short)($thl_temp->tx_thread_mips32_vpe_control & 0x00007fff)}`"},
    {.cpumajor = 50,
     .probe = kProbeSymbol,
     .coreField = "tx_thread_smp_core_mapped",
     .currentCoreExpression = "$mpidr_el1.Aff0",
     .coreDisplayTemplate = kSmpCoresExcluded},
    {.cpumajor = kAnyOtherCpu,
     .probe = kProbeSymbolOnSeveralCores,
     .coreField = "tx_thread_smp_core_mapped",
     .currentCoreExpression = "$vusk_current_core",
     .coreDisplayTemplate = kSmpCoresExcluded},
};
constexpr size_t kCoreTextRows = sizeof(kCoreTexts) / sizeof(kCoreTexts[0]);
static_assert(kCoreTexts[kCoreTextRows - 1].cpumajor == kAnyOtherCpu, "the last row serves every other CPU");

const CoreTexts* CoreTextsFor(int16_t cpumajor) {
  for (const CoreTexts& row : kCoreTexts) {
    if (row.cpumajor == cpumajor) return &row;
  }
  return &kCoreTexts[kCoreTextRows - 1];
}

constexpr const char* kCurrentPointer = "_tx_thread_current_ptr";
constexpr const char* kCoreCountExpression =
    "$number_of_vpe = (sizeof(_tx_thread_current_ptr)/sizeof(*_tx_thread_current_ptr))";
constexpr const char* kCurrentThreadExpression = "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr";

// A CPU without its own row is asked nothing more unless the host lists
// several cores (without their ids no kernel core could be shown): the
// sessions of one-core hosts go on exactly as before.
bool MayRunSmp(BridgeContext* bc, const CoreTexts& row) {
  switch (row.probe) {
    case kProbeAlways:
      return true;
    case kProbeSymbolOnSeveralCores:
      if (bc->settings.coreCount <= 1 || !bc->settings.coreIdList) return false;
      break;
    case kProbeSymbol:
      break;
  }
  return bc->services.symbolLookup(bc, kCurrentPointer, nullptr, nullptr) == kStatusOk;
}

// The thread running on kernel core index (0 when it runs none).
int RunningThreadOn(BridgeContext* bc, uint64_t index, uint64_t* thread) {
  return BridgeEvaluateFormat(bc, thread, "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[%" PRIu64 "]", index);
}

// Caches the thread running on kernel core index, with the core's host id.
int CacheRunningThread(BridgeContext* bc, ThreadxTargetState* target, uint64_t index) {
  uint64_t thread = 0;
  if (RunningThreadOn(bc, index, &thread) != kStatusOk) return kStatusFailed;
  target->currentThread = thread;
  target->currentCore = bc->settings.coreIdList[index];
  return kStatusOk;
}

int SmpCurrentTask(BridgeContext* bc, ThreadxTargetState* target, int64_t core, uint64_t* taskId) {
  uint64_t hostCore = static_cast<uint64_t>(core + 1);
  if (target->currentCore != 0 && target->currentCore == hostCore) {
    *taskId = target->currentThread;
    return kStatusOk;
  }
  const BridgeSettings& cores = bc->settings;
  if (!cores.coreIdList) return kStatusFailed;
  for (uint64_t i = 0; i < cores.coreCount; i++) {
    if (cores.coreIdList[i] != hostCore) continue;
    if (CacheRunningThread(bc, target, i) != kStatusOk) return kStatusFailed;
    *taskId = target->currentThread;
    return kStatusOk;
  }
  return kStatusFailed;
}

}  // namespace

int TxDetectCores(BridgeContext* bc, ThreadxTargetState* target) {
  const CoreTexts* texts = CoreTextsFor(target->cpumajor);
  if (!MayRunSmp(bc, *texts)) return kStatusOk;
  uint64_t answer = 0;
  if (BridgeEvaluate(bc, kCoreCountExpression, &answer) != kStatusOk) return kStatusOk;
  uint32_t count = static_cast<uint32_t>(answer);  // asked as a 32-bit count
  target->coreCount = static_cast<int32_t>(count);
  if (count <= 1) return kStatusOk;
  if (count > bc->settings.coreCount) return kStatusFailed;
  target->smpMode = true;
  target->coreField = texts->coreField;
  target->currentCoreExpression = texts->currentCoreExpression;
  target->coreDisplayTemplate = texts->coreDisplayTemplate;
  return kStatusOk;
}

int TxCurrentTaskGet(BridgeContext* bc, ThreadxTargetState* target, int64_t core, uint64_t* taskId) {
  if (!target || !taskId) return kStatusFailed;
  if (target->smpMode) return SmpCurrentTask(bc, target, core, taskId);
  if (target->currentThread == 0) {
    uint64_t thread = 0;
    if (BridgeEvaluate(bc, kCurrentThreadExpression, &thread) != kStatusOk) return kStatusFailed;
    target->currentThread = thread;
  }
  *taskId = target->currentThread;
  return kStatusOk;
}

int TxCacheThreadRunningOnCoreOf(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread) {
  uint64_t core = 0;
  if (TxEvaluateThreadField(bc, thread, target->coreField, &core) != kStatusOk) return kStatusFailed;
  // The kernel's core numbers index _tx_thread_current_ptr and the host's
  // core list: one past either is no core at all.
  const BridgeSettings& cores = bc->settings;
  if (core >= static_cast<uint64_t>(target->coreCount) || core >= cores.coreCount || !cores.coreIdList)
    return kStatusFailed;
  return CacheRunningThread(bc, target, core);
}

void TxForgetCurrentThread(ThreadxTargetState* target) {
  target->currentThread = 0;
  target->currentCore = 0;
}
