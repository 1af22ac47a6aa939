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
#include <cstdio>

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
    {10, kProbeAlways, "tx_thread_mips32_mapped_vpe", "$tcpind.CurVPE",
     "`{print/x (unsigned short)($thl_temp->tx_thread_mips32_vpe_control & 0x00007fff)}`"},
    {50, kProbeSymbol, "tx_thread_smp_core_mapped", "$mpidr_el1.Aff0", kSmpCoresExcluded},
    {kAnyOtherCpu, kProbeSymbolOnSeveralCores, "tx_thread_smp_core_mapped", "$vusk_current_core",
     kSmpCoresExcluded},
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
constexpr const char* kCurrentThreadOfCoreFormat = "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[%d]";
constexpr size_t kCurrentThreadOfCoreCapacity = 96;

// A CPU without its own row is asked nothing more unless the host lists
// several cores (without their ids no kernel core could be shown): the
// sessions of one-core hosts go on exactly as before.
bool MayRunSmp(BridgeContext* bc, const CoreTexts& row) {
  switch (row.probe) {
    case kProbeAlways:
      return true;
    case kProbeSymbolOnSeveralCores:
      if (bc->host->coreCount <= 1 || !bc->host->coreIdList) return false;
      break;
    case kProbeSymbol:
      break;
  }
  return bc->services.symbolLookup(bc, kCurrentPointer, nullptr, nullptr) == kTxOk;
}

int EvaluateThread(BridgeContext* bc, const char* expression, uint64_t* thread) {
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
  if (bc->services.expressionEval(bc, expression, &value) != kTxOk) return kTxFailed;
  *thread = value.value.u64;
  return kTxOk;
}

int SmpCurrentTask(BridgeContext* bc, ThreadxTargetState* target, int64_t core, uint64_t* taskId) {
  uint64_t hostCore = static_cast<uint64_t>(core + 1);
  if (target->currentCore != 0 && target->currentCore == hostCore) {
    *taskId = target->currentThread;
    return kTxOk;
  }
  const VUSK_ServiceCntx* host = bc->host;
  if (!host->coreIdList) return kTxFailed;
  for (uint64_t i = 0; i < host->coreCount; i++) {
    if (host->coreIdList[i] != hostCore) continue;
    char expression[kCurrentThreadOfCoreCapacity];
    snprintf(expression, sizeof expression, kCurrentThreadOfCoreFormat, static_cast<int>(i));
    uint64_t thread = 0;
    if (EvaluateThread(bc, expression, &thread) != kTxOk) return kTxFailed;
    target->currentThread = thread;
    target->currentCore = hostCore;
    *taskId = thread;
    return kTxOk;
  }
  return kTxFailed;
}

}  // namespace

int TxDetectCores(BridgeContext* bc, ThreadxTargetState* target) {
  const CoreTexts* texts = CoreTextsFor(target->cpumajor);
  if (!MayRunSmp(bc, *texts)) return kTxOk;
  VuskValue count = VuskValueOfType(VUSK_TYPE_UINT32);
  if (bc->services.expressionEval(bc, kCoreCountExpression, &count) != kTxOk) return kTxOk;
  target->coreCount = static_cast<int32_t>(count.value.u32);
  if (count.value.u32 <= 1) return kTxOk;
  if (count.value.u32 > bc->host->coreCount) return kTxFailed;
  target->smpMode = true;
  target->coreField = texts->coreField;
  target->currentCoreExpression = texts->currentCoreExpression;
  target->coreDisplayTemplate = texts->coreDisplayTemplate;
  return kTxOk;
}

int TxCurrentTaskGet(BridgeContext* bc, ThreadxTargetState* target, int64_t core, uint64_t* taskId) {
  if (!target || !taskId) return kTxFailed;
  if (target->smpMode) return SmpCurrentTask(bc, target, core, taskId);
  if (target->currentThread == 0) {
    uint64_t thread = 0;
    if (EvaluateThread(bc, kCurrentThreadExpression, &thread) != kTxOk) return kTxFailed;
    target->currentThread = thread;
  }
  *taskId = target->currentThread;
  return kTxOk;
}

void TxForgetCurrentThread(ThreadxTargetState* target) {
  target->currentThread = 0;
  target->currentCore = 0;
}
