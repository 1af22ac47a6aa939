// tx_slots: the ThreadX logic behind the callback table.
//
// VuskAwarenessStart sets up the bridge pool and fills 14 of the 38 slots.
// Every filled slot but vuskCleanup and objectListCleanup follows one
// pattern: borrow a BridgeContext for the service context (none: 1), run the
// ThreadX operation on it as one awareness call (tx_call.h), give the
// context back, which writes the answers into the host's plugin-info record.
#include <utility>

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/threadx/tx_call.h"
#include "os_aware/threadx/tx_target.h"

#if defined(__GNUC__)
#define TX_KEEP [[gnu::used]]
#else
#define TX_KEEP
#endif

// Version stamps, read by no code: tools find them in the program file.
TX_KEEP extern const char kTxPluginVersionStamp[] = "@(#)[VUSK Plugin Version] 1";
TX_KEEP extern const char kTxRtosVersionsStamp[] = "@(#)[Supported RTOS Versions] ";

namespace {

// A context borrowed from the pool for one callback; given back when the
// lease ends, after the call it served.
class BridgeLease {
 public:
  explicit BridgeLease(VUSK_ServiceCntx* context) : bc_(BridgeAcquire(context)) {}
  ~BridgeLease() {
    if (bc_) BridgeRelease(bc_);
  }
  BridgeLease(const BridgeLease&) = delete;
  BridgeLease& operator=(const BridgeLease&) = delete;
  BridgeContext* bc() const { return bc_; }

 private:
  BridgeContext* bc_;
};

// Runs op on a borrowed context as one awareness call; the context goes back
// whatever op answers.
template <typename Op>
int WithBridge(VUSK_ServiceCntx* context, Op&& op) {
  BridgeLease lease(context);
  if (!lease.bc()) return kStatusFailed;
  TxCallScope call;
  return std::forward<Op>(op)(lease.bc());
}

ThreadxTargetState* Target(void* targetData) { return static_cast<ThreadxTargetState*>(targetData); }

// As WithBridge, for operations on the target record. The record outlives
// op even if the host cleans the target up meanwhile: WithBridge brackets op
// as an awareness call, and records given up during one are freed after it.
template <typename Op>
int WithTarget(VUSK_ServiceCntx* context, void* targetData, Op&& op) {
  ThreadxTargetState* target = Target(targetData);
  return WithBridge(context, [&op, target](BridgeContext* bc) { return op(bc, target); });
}

// The info record reaches the awareness as the bridge's copy, which goes
// back at release: no slot writes it itself.
int VuskInitSlot(VUSK_ServiceCntx* context, VuskPluginInfo*) { return WithBridge(context, TxVuskInit); }

int VuskCleanupSlot(VUSK_ServiceCntx*, VuskPluginInfo*) { return kStatusOk; }

int TargetInitSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void** targetData) {
  return WithBridge(context, [targetData](BridgeContext* bc) { return TxTargetInit(bc, targetData); });
}

int TargetCleanupSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void** targetData) {
  if (!targetData || !*targetData) return kStatusOk;
  return WithBridge(context, [targetData](BridgeContext* bc) { return TxTargetCleanup(bc, targetData); });
}

int ObjectListInitSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void*, int32_t kind, const VuskParentRef* parent) {
  return WithBridge(context, [=](BridgeContext* bc) { return TxObjectListInit(bc, kind, parent); });
}

int ObjectListCleanupSlot(VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t, const VuskParentRef*) { return kStatusOk; }

int ObjectListNextSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void*, int32_t kind, const VuskParentRef* parent) {
  return WithBridge(context, [=](BridgeContext* bc) { return TxObjectListNext(bc, kind, parent); });
}

int ObjectListAttributeSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, int32_t kind,
                            const VuskParentRef* parent, int32_t attribute, VuskValue* value) {
  return WithTarget(context, targetData, [=](BridgeContext* bc, ThreadxTargetState* target) {
    return TxObjectListAttribute(bc, target, kind, parent, attribute, value);
  });
}

int TaskRegisterReadSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, uint64_t taskId, int32_t reg,
                         uint64_t* value) {
  return WithTarget(context, targetData, [=](BridgeContext* bc, ThreadxTargetState* target) {
    return TxTaskRegisterRead(bc, target, taskId, reg, value);
  });
}

int TaskNameGetSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void*, uint64_t taskId, VuskValue* value) {
  return WithBridge(context, [=](BridgeContext* bc) { return TxTaskNameGet(bc, taskId, value); });
}

int TaskStatusGetSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, uint64_t taskId,
                      VuskValue* value) {
  return WithTarget(context, targetData, [=](BridgeContext* bc, ThreadxTargetState* target) {
    return TxTaskStatusGet(bc, target, taskId, value);
  });
}

int CurrentTaskGetSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, int64_t core,
                       uint64_t* taskId) {
  return WithTarget(context, targetData, [=](BridgeContext* bc, ThreadxTargetState* target) {
    return TxCurrentTaskGet(bc, target, core, taskId);
  });
}

int TargetNotifySlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, int32_t notice) {
  return WithTarget(context, targetData,
                    [=](BridgeContext* bc, ThreadxTargetState* target) { return TxTargetNotify(bc, target, notice); });
}

int VuskCmdExecuteSlot(VUSK_ServiceCntx* context, VuskPluginInfo*, void* targetData, const char* command) {
  return WithTarget(context, targetData,
                    [=](BridgeContext* bc, ThreadxTargetState* target) { return TxCmdExecute(bc, target, command); });
}

}  // namespace

// The run-time switches in argv are the platform layer's; the ThreadX logic
// takes none of its own.
int VuskAwarenessStart(int, char**, VuskCallbackTable* table) {
  BridgePoolInit();
  *table = VuskCallbackTable{};
  table->vuskInit = VuskInitSlot;
  table->vuskCleanup = VuskCleanupSlot;
  table->targetInit = TargetInitSlot;
  table->targetCleanup = TargetCleanupSlot;
  table->objectListInit = ObjectListInitSlot;
  table->objectListCleanup = ObjectListCleanupSlot;
  table->objectListNext = ObjectListNextSlot;
  table->objectListAttribute = ObjectListAttributeSlot;
  table->taskRegisterRead = TaskRegisterReadSlot;
  table->taskNameGet = TaskNameGetSlot;
  table->taskStatusGet = TaskStatusGetSlot;
  table->currentTaskGet = CurrentTaskGetSlot;
  table->targetNotify = TargetNotifySlot;
  table->vuskCmdExecute = VuskCmdExecuteSlot;
  return 0;
}

void VuskAwarenessReleaseTarget(void* targetData) {
  // Its layouts go with it (later, if a call is still running on it).
  TxFreeTarget(static_cast<ThreadxTargetState*>(targetData));
}
