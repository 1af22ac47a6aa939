// tx_objects: the kind tables and the list walk; see tx_objects.h.
//
// Every expression is sent as it stands. A suspension list's start text
// is cut where the parent's address (whole, lowercase hexadecimal) goes.
#include "os_aware/threadx/tx_objects.h"

#include <cinttypes>

#include "os_aware/threadx/tx_target.h"

namespace {

constexpr ObjectKindInfo kKinds[] = {
    {"thread", "_tx_thread_created_count",
     "$thl_tempcont=1,$thl_temp=(struct TX_THREAD_STRUCT *)_tx_thread_created_ptr",
     "$thl_temp=$thl_temp->tx_thread_created_next, $thl_tempcont = (($thl_temp != (struct TX_THREAD_STRUCT "
     "*)_tx_thread_created_ptr) && ($thl_temp->tx_thread_id == 0x54485244))",
     "$thl_tempcont"},
    {"timer", "_tx_timer_created_count",
     "$til_tempcont=1,$til_temp=(struct TX_TIMER_STRUCT *)_tx_timer_created_ptr",
     "$til_temp = $til_temp->tx_timer_created_next,$til_tempcont = (($til_temp != (struct TX_TIMER_STRUCT "
     "*)_tx_timer_created_ptr) && ($til_temp->tx_timer_id == 0x4154494d))",
     "$til_tempcont"},
    {"semaphore", "_tx_semaphore_created_count",
     "$sl_tempcont=1,$sl_temp=(struct TX_SEMAPHORE_STRUCT *)_tx_semaphore_created_ptr",
     "$sl_temp = $sl_temp->tx_semaphore_created_next,$sl_tempcont = (($sl_temp != (struct TX_SEMAPHORE_STRUCT "
     "*)_tx_semaphore_created_ptr) && ($sl_temp->tx_semaphore_id == 0x53454d41))",
     "$sl_tempcont"},
    {"queue", "_tx_queue_created_count",
     "$ql_tempcont=1,$ql_temp=(struct TX_QUEUE_STRUCT *)_tx_queue_created_ptr",
     "$ql_temp = $ql_temp->tx_queue_created_next,$ql_tempcont = (($ql_temp != (struct TX_QUEUE_STRUCT "
     "*)_tx_queue_created_ptr) && ($ql_temp->tx_queue_id == 0x51554555))",
     "$ql_tempcont"},
    {"event flags group", "_tx_event_flags_created_count",
     "$efl_tempcont=1,$efl_temp=(struct TX_EVENT_FLAGS_GROUP_STRUCT *)_tx_event_flags_created_ptr",
     "$efl_temp = $efl_temp->tx_event_flags_group_created_next,$efl_tempcont = (($efl_temp != (struct "
     "TX_EVENT_FLAGS_GROUP_STRUCT *)_tx_event_flags_created_ptr) && ($efl_temp->tx_event_flags_group_id == "
     "0x4456444e))",
     "$efl_tempcont"},
    {"block pool", "_tx_block_pool_created_count",
     "$bll_tempcont=1,$bll_temp=(struct TX_BLOCK_POOL_STRUCT *)_tx_block_pool_created_ptr",
     "$bll_temp = $bll_temp->tx_block_pool_created_next,$bll_tempcont = (($bll_temp != (struct "
     "TX_BLOCK_POOL_STRUCT *)_tx_block_pool_created_ptr) && ($bll_temp->tx_block_pool_id == 0x424c4f43))",
     "$bll_tempcont"},
    {"byte pool", "_tx_byte_pool_created_count",
     "$byl_tempcont=1,$byl_temp=(struct TX_BYTE_POOL_STRUCT *)_tx_byte_pool_created_ptr",
     "$byl_temp = $byl_temp->tx_byte_pool_created_next,$byl_tempcont = (($byl_temp != (struct "
     "TX_BYTE_POOL_STRUCT *)_tx_byte_pool_created_ptr) && ($byl_temp->tx_byte_pool_id == 0x42595445))",
     "$byl_tempcont"},
    {"mutex", "_tx_mutex_created_count",
     "$ml_tempcont=1,$ml_temp=(struct TX_MUTEX_STRUCT *)_tx_mutex_created_ptr",
     "$ml_temp = $ml_temp->tx_mutex_created_next,$ml_tempcont = (($ml_temp != (struct TX_MUTEX_STRUCT "
     "*)_tx_mutex_created_ptr) && ($ml_temp->tx_mutex_id == 0x4d555445))",
     "$ml_tempcont"},
};
static_assert(sizeof(kKinds) / sizeof(kKinds[0]) == kObjectKindCount, "one catalogue row per ObjectKind");

// Threads below a parent, by parent kind. Rows 0 and 1 are empty: threads and
// timers have no suspension list.
struct SuspensionList {
  const char* startHead;  // the parent's address goes between head and tail
  const char* startTail;
  const char* nextExpression;
};

#define TX_SUSPENSION_START_HEAD(STRUCT) "$thl_temp=((struct " STRUCT " *)0x"
#define TX_SUSPENSION_START_TAIL(LIST) ")->" LIST ",$thl_tempcont = $thl_temp && ($thl_temp->tx_thread_id == 0x54485244)"
#define TX_SUSPENSION_NEXT(STRUCT, LIST)                                                               \
  "$thl_temp=$thl_temp->tx_thread_suspended_next, $thl_tempcont = (($thl_temp != ((struct " STRUCT    \
  " *)($thl_temp->tx_thread_suspend_control_block))->" LIST                                            \
  ") && ($thl_temp->tx_thread_id == 0x54485244))"
#define TX_SUSPENSION(STRUCT, LIST) \
  {TX_SUSPENSION_START_HEAD(STRUCT), TX_SUSPENSION_START_TAIL(LIST), TX_SUSPENSION_NEXT(STRUCT, LIST)}

constexpr SuspensionList kSuspensionLists[] = {
    {nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr},
    TX_SUSPENSION("TX_SEMAPHORE_STRUCT", "tx_semaphore_suspension_list"),
    TX_SUSPENSION("TX_QUEUE_STRUCT", "tx_queue_suspension_list"),
    TX_SUSPENSION("TX_EVENT_FLAGS_GROUP_STRUCT", "tx_event_flags_group_suspension_list"),
    TX_SUSPENSION("TX_BLOCK_POOL_STRUCT", "tx_block_pool_suspension_list"),
    TX_SUSPENSION("TX_BYTE_POOL_STRUCT", "tx_byte_pool_suspension_list"),
    TX_SUSPENSION("TX_MUTEX_STRUCT", "tx_mutex_suspension_list"),
};
static_assert(sizeof(kSuspensionLists) / sizeof(kSuspensionLists[0]) == kObjectKindCount,
              "one suspension row per ObjectKind");

#undef TX_SUSPENSION
#undef TX_SUSPENSION_NEXT
#undef TX_SUSPENSION_START_TAIL
#undef TX_SUSPENSION_START_HEAD

int StartCreatedList(BridgeContext* bc, const ObjectKindInfo* info) {
  uint64_t count = 0;
  if (BridgeEvaluate(bc, info->countExpression, &count) != kStatusOk) return kStatusFailed;
  if (static_cast<int32_t>(count) <= 0) return kStatusEmptyList;  // the kernel's count is a signed 32-bit one
  return bc->services.expressionEval(bc, info->startExpression, nullptr) == kStatusOk ? kStatusOk : kStatusFailed;
}

int StartSuspensionList(BridgeContext* bc, const VuskParentRef* parent) {
  if (!TxIsParentKind(parent->parentObjTypeId)) return kStatusFailed;
  const SuspensionList& list = kSuspensionLists[parent->parentObjTypeId];
  // The first waiter's whole address: one whose low 32 bits are zero is
  // still a waiter.
  uint64_t head = 0;
  if (BridgeEvaluateFormat(bc, &head, "%s%" PRIx64 "%s", list.startHead, parent->parentObjId, list.startTail) !=
      kStatusOk)
    return kStatusFailed;
  return head == 0 ? kStatusEmptyList : kStatusOk;
}

}  // namespace

const ObjectKindInfo* TxObjectKind(int32_t kind) {
  if (kind < 0 || kind >= kObjectKindCount) return nullptr;
  return &kKinds[kind];
}

bool TxIsParentKind(int32_t parentKind) {
  return parentKind >= 0 && parentKind < kObjectKindCount && kSuspensionLists[parentKind].startHead;
}

int TxObjectListInit(BridgeContext* bc, int32_t kind, const VuskParentRef* parent) {
  const ObjectKindInfo* info = TxObjectKind(kind);
  if (!info) return kStatusFailed;
  if (!parent) return StartCreatedList(bc, info);
  if (kind == kObjThread) return StartSuspensionList(bc, parent);
  // Only threads wait on objects: any other kind walks its whole created
  // list, without reading its count.
  return bc->services.expressionEval(bc, info->startExpression, nullptr) == kStatusOk ? kStatusOk : kStatusFailed;
}

int TxObjectListNext(BridgeContext* bc, int32_t kind, const VuskParentRef* parent) {
  const ObjectKindInfo* info = TxObjectKind(kind);
  if (!info) return kStatusFailed;
  const char* next = info->nextExpression;
  if (parent && kind == kObjThread) {
    if (!TxIsParentKind(parent->parentObjTypeId)) return kStatusFailed;
    next = kSuspensionLists[parent->parentObjTypeId].nextExpression;
  }
  if (bc->services.expressionEval(bc, next, nullptr) != kStatusOk) return kStatusFailed;
  uint64_t more = 0;
  if (BridgeEvaluate(bc, info->continueVariable, &more) != kStatusOk) return kStatusFailed;
  return static_cast<uint32_t>(more) != 0 ? kStatusOk : kStatusFailed;  // a 32-bit flag
}
