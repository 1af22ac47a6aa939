// tx_cores: single-core or SMP kernel, and the running thread of a core.
//
// ThreadX keeps the running thread in _tx_thread_current_ptr: one pointer,
// or on SMP kernels an array with one pointer per core. Target init finds
// out which; the texts that depend on it come from the core table, by
// cpumajor. The running thread is cached (whole 64-bit address, with the
// 1-based host core it belongs to) until the host reports a new halt.
#include <cinttypes>
#include <cstdio>

#include "os_aware/threadx/tx_target.h"

namespace {

struct CoreTexts {
  int16_t cpumajor;  // 0: the row for every other CPU
  const char* coreField;
  const char* currentCoreExpression;
  const char* coreDisplayTemplate;
};

constexpr CoreTexts kCoreTexts[] = {
    {10, "tx_thread_mips32_mapped_vpe", "$tcpind.CurVPE",
     "`{print/x (unsigned short)($thl_temp->tx_thread_mips32_vpe_control & 0x00007fff)}`"},
    {50, "tx_thread_smp_core_mapped", "$mpidr_el1.Aff0",
     "`{print/x (unsigned short)($thl_temp->tx_thread_smp_cores_excluded)}`"},
};
constexpr size_t kCoreTextRows = sizeof(kCoreTexts) / sizeof(kCoreTexts[0]);

// cpumajor 10 takes its own row; every other CPU the last one.
const CoreTexts* CoreTextsFor(int16_t cpumajor) {
  for (const CoreTexts& row : kCoreTexts) {
    if (row.cpumajor == cpumajor) return &row;
  }
  return &kCoreTexts[kCoreTextRows - 1];
}

constexpr int16_t kMipsMajor = 10;
constexpr int16_t kArm64Major = 50;
constexpr const char* kCurrentPointer = "_tx_thread_current_ptr";
constexpr const char* kCoreCountExpression =
    "$number_of_vpe = (sizeof(_tx_thread_current_ptr)/sizeof(*_tx_thread_current_ptr))";
constexpr const char* kCurrentThreadExpression = "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr";
constexpr const char* kCurrentThreadOfCoreFormat = "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[%d]";
constexpr size_t kCurrentThreadOfCoreCapacity = 96;

bool MayRunSmp(BridgeContext* bc, int16_t cpumajor) {
  if (cpumajor == kMipsMajor) return true;
  return cpumajor == kArm64Major && bc->services.symbolLookup(bc, kCurrentPointer, nullptr, nullptr) == kTxOk;
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
  if (!MayRunSmp(bc, target->cpumajor)) return kTxOk;
  VuskValue count = VuskValueOfType(VUSK_TYPE_UINT32);
  if (bc->services.expressionEval(bc, kCoreCountExpression, &count) != kTxOk) return kTxOk;
  target->coreCount = static_cast<int32_t>(count.value.u32);
  if (count.value.u32 <= 1) return kTxOk;
  if (count.value.u32 > bc->host->coreCount) return kTxFailed;
  const CoreTexts* texts = CoreTextsFor(target->cpumajor);
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
