// tx_session: session start, the per-target record's life, halt notices and
// the plugin's own commands.
//
// Without a target record (no TargetInit yet, or after TargetCleanup) a halt
// notice has nothing to clear and succeeds; a CPU command that would change
// the CPU fails, since there is no record to hold the new value.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "os_aware/threadx/tx_layout_build.h"
#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/port_alloc.h"

namespace {

constexpr int32_t kNoticeHalted = 0;

// The commands of vuskCmdExecute: a keyword and the record field its number
// sets.
struct CpuCommand {
  const char* keyword;
  int16_t ThreadxTargetState::*field;
};
constexpr CpuCommand kCpuCommands[] = {
    {"cpumajor", &ThreadxTargetState::cpumajor},
    {"cpuminor", &ThreadxTargetState::cpuminor},
};
constexpr size_t kCpuKeywordLength = 8;

const CpuCommand* FindCpuCommand(const char* command) {
  for (const CpuCommand& entry : kCpuCommands) {
    static_assert(kCpuKeywordLength == sizeof("cpumajor") - 1, "keywords are compared over their length");
    if (strncmp(command, entry.keyword, kCpuKeywordLength) == 0) return &entry;
  }
  return nullptr;
}

// Awareness calls in progress, and what was given up meanwhile. A host
// request served inside a call (a nested TargetInit, TargetCleanup or CPU
// command) may replace the record or the layouts the outer call is still
// working on; they are freed once the outermost call has returned.
int g_calls_in_progress = 0;
std::vector<ThreadxTargetState*> g_retired_targets;
std::vector<RegisterLayout*> g_retired_layouts;

void FreeLayout(RegisterLayout* layout) {
  if (!layout) return;
  if (g_calls_in_progress > 0) {
    g_retired_layouts.push_back(layout);
    return;
  }
  TxLayoutFree(layout);
}

void FreeTarget(ThreadxTargetState* target) {
  if (g_calls_in_progress > 0) {
    g_retired_targets.push_back(target);
    return;
  }
  TxForgetLayouts(target);
  PortFree(target);
}

}  // namespace

void TxCallBegin() { g_calls_in_progress++; }

void TxCallEnd() {
  if (--g_calls_in_progress > 0) return;
  for (ThreadxTargetState* target : g_retired_targets) FreeTarget(target);
  for (RegisterLayout* layout : g_retired_layouts) FreeLayout(layout);
  g_retired_targets.clear();
  g_retired_layouts.clear();
}

void TxForgetLayouts(ThreadxTargetState* target) {
  if (target->ownsIntLayout) FreeLayout(target->intLayout);
  if (target->ownsFpLayout) FreeLayout(target->fpLayout);
  target->intLayout = nullptr;
  target->fpLayout = nullptr;
  target->ownsIntLayout = false;
  target->ownsFpLayout = false;
}

int TxVuskInit(BridgeContext* bc) {
  bc->info.versionAcknowledge = kVuskVersionAcknowledge;
  bc->info.kernelInPhysicalAddress = BridgeUsePhySpace(bc) != 0;
  return kTxOk;
}

int TxTargetInit(BridgeContext* bc, void** targetData) {
  if (!targetData) return kTxFailed;
  TxLayoutDatabaseProbe(bc, bc->settings.cpumajor, bc->settings.cpuminor);
  auto* target = static_cast<ThreadxTargetState*>(PortAllocZero(1, sizeof(ThreadxTargetState)));
  bc->info.kernelInPhysicalAddress = BridgeUsePhySpace(bc) != 0;
  target->cpumajor = bc->settings.cpumajor;
  target->cpuminor = bc->settings.cpuminor;
  if (TxDetectCores(bc, target) != kTxOk) {
    FreeTarget(target);
    return kTxFailed;
  }
  // A second TargetInit replaces the record; the old one would be lost.
  if (*targetData) FreeTarget(static_cast<ThreadxTargetState*>(*targetData));
  *targetData = target;
  return kTxOk;
}

int TxTargetCleanup(BridgeContext*, void** targetData) {
  if (!targetData || !*targetData) return kTxOk;
  FreeTarget(static_cast<ThreadxTargetState*>(*targetData));
  *targetData = nullptr;
  return kTxOk;
}

int TxTargetNotify(BridgeContext*, ThreadxTargetState* target, int32_t notice) {
  if (!target || notice != kNoticeHalted) return kTxOk;
  target->frameValid = false;
  target->frameEpoch++;
  target->frameThread = 0;
  target->frameStackPointerLow = 0;
  target->frameStackPointerHigh = 0;
  TxForgetCurrentThread(target);
  return kTxOk;
}

int TxCmdExecute(BridgeContext*, ThreadxTargetState* target, const char* command) {
  if (!command) return kTxFailed;
  const CpuCommand* entry = FindCpuCommand(command);
  if (!entry) return kTxFailed;
  long number = strtol(command + kCpuKeywordLength, nullptr, 10);
  if (number == 0) return kTxOk;
  if (!target) return kTxFailed;
  target->*entry->field = static_cast<int16_t>(number);
  TxForgetLayouts(target);
  // A frame read for the old CPU's layout may be shorter than the new one's.
  target->frameValid = false;
  target->frameEpoch++;
  return kTxOk;
}
