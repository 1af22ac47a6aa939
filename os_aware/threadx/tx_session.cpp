// tx_session: session start, the per-target record's life, halt notices and
// the plugin's own commands.
//
// Without a target record (no TargetInit yet, or after TargetCleanup) a halt
// notice has nothing to clear and succeeds; a CPU command that would change
// the CPU fails, since there is no record to hold the new value.
#include <cstdlib>
#include <cstring>

#include "os_aware/threadx/tx_call.h"
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

}  // namespace

int TxVuskInit(BridgeContext* bc) {
  bc->info.versionAcknowledge = kVuskVersionAcknowledge;
  bc->info.kernelInPhysicalAddress = BridgeUsePhySpace(bc) != 0;
  return kStatusOk;
}

int TxTargetInit(BridgeContext* bc, void** targetData) {
  if (!targetData) return kStatusFailed;
  TxLayoutDatabaseProbe(bc, bc->settings.cpumajor, bc->settings.cpuminor);
  auto* target = static_cast<ThreadxTargetState*>(PortAllocZero(1, sizeof(ThreadxTargetState)));
  bc->info.kernelInPhysicalAddress = BridgeUsePhySpace(bc) != 0;
  target->cpumajor = bc->settings.cpumajor;
  target->cpuminor = bc->settings.cpuminor;
  if (TxDetectCores(bc, target) != kStatusOk) {
    TxFreeTarget(target);
    return kStatusFailed;
  }
  // A second TargetInit replaces the record; the old one would be lost.
  if (*targetData) TxFreeTarget(static_cast<ThreadxTargetState*>(*targetData));
  *targetData = target;
  return kStatusOk;
}

int TxTargetCleanup(BridgeContext*, void** targetData) {
  if (!targetData || !*targetData) return kStatusOk;
  TxFreeTarget(static_cast<ThreadxTargetState*>(*targetData));
  *targetData = nullptr;
  return kStatusOk;
}

int TxTargetNotify(BridgeContext*, ThreadxTargetState* target, int32_t notice) {
  if (!target || notice != kNoticeHalted) return kStatusOk;
  target->frameValid = false;
  target->frameEpoch++;
  target->frameThread = 0;
  target->frameStackPointerLow = 0;
  target->frameStackPointerHigh = 0;
  TxForgetCurrentThread(target);
  return kStatusOk;
}

int TxCmdExecute(BridgeContext*, ThreadxTargetState* target, const char* command) {
  if (!command) return kStatusFailed;
  const CpuCommand* entry = FindCpuCommand(command);
  if (!entry) return kStatusFailed;
  long number = strtol(command + kCpuKeywordLength, nullptr, 10);
  if (number == 0) return kStatusOk;
  if (!target) return kStatusFailed;
  target->*entry->field = static_cast<int16_t>(number);
  TxForgetLayouts(target);
  // A frame read for the old CPU's layout may be shorter than the new one's.
  target->frameValid = false;
  target->frameEpoch++;
  return kStatusOk;
}
