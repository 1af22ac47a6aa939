// tx_attributes: the columns the host shows for each kernel object, and a
// thread's name and status by id.
//
// Every answer is a text the host debugger computes: a command-substitution
// template goes to the string-evaluate service and the returned text becomes
// the asked value. The templates are held in one table per kind, indexed by
// attribute; a few columns are composed at run time (status, stack and the
// two core columns, which depend on SMP mode and validation mode).
//
// Numbers: the text is read as an unsigned number (base 16 after a leading
// 0x, else base 10, up to the first character that does not fit). Types 10
// and 11 are answered as 32-bit values, sign- resp. zero-extended, except
// that a number too large for 32 bits is kept whole for the 64-bit types, so
// addresses above 4 GiB survive.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os_aware/threadx/tx_objects.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/port_alloc.h"

namespace {

// How a column's text is found.
enum AttributeForm : uint8_t {
  kFormPlain,       // the template as it stands
  kFormName,        // name, with an optional validation-mode variant
  kFormAddress,     // "0xlocation" in validation mode when a text is asked
  kFormStatus,      // the thread's status by its address
  kFormStack,       // stack use / size; SMP and validation variants
  kFormCore,        // the core-display template in SMP mode
  kFormMappedCore,  // the mapped-core field in SMP mode
};

struct AttributeTemplate {
  AttributeForm form;
  const char* text;
  const char* validationText;  // null: the same text in validation mode
};

struct KindAttributes {
  const AttributeTemplate* rows;
  int32_t count;
};

#define TX_NAME(VAR, FIELD)                                                                         \
  {kFormName, "`if(" VAR "->" FIELD ") {mprintf(\"%s\", " VAR "->" FIELD ")} else {mprintf(\"0x%8.8x\", " VAR \
   "+0)}`",                                                                                         \
   "`if(" VAR "->" FIELD ") {mprintf(\"%s\", " VAR "->" FIELD ")} else {print \"0xlocation\"}`"}
#define TX_NAME_ONLY(VAR, FIELD) \
  {kFormName, "`if(" VAR "->" FIELD ") {mprintf(\"%s\", " VAR "->" FIELD ")} else {mprintf(\"0x%8.8x\", " VAR "+0)}`", nullptr}
#define TX_ADDRESS(VAR) {kFormAddress, "`print/x " VAR "+0`", nullptr}
#define TX_PLAIN(TEXT) {kFormPlain, TEXT, nullptr}

constexpr const char* kLocationText = "`print \"0xlocation\"`";
constexpr const char* kNotApplicable = "`{print \"N/A\"}`";
constexpr const char* kStackValidation = "`print \"stack_use/stack_size\"`";
constexpr const char* kStackSingleCore =
    "`if ($thl_temp == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr) {print/d ($thl_temp->tx_thread_stack_end "
    "- (char *)$sp + 1)} else {print/d $thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_ptr+1}`/`print/d "
    "$thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_start+1`";
constexpr const char* kStackSmpHead =
    "`if (($thl_temp->tx_thread_state == 0) && ($thl_temp == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[";
constexpr const char* kStackSmpTail =
    "])) {print/d ($thl_temp->tx_thread_stack_end - (char *)$sp + 1)} else {print/d "
    "$thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_ptr+1}`/`print/d "
    "$thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_start+1`";
constexpr const char* kMappedCoreHead = "`{print/x (unsigned char)$thl_temp->";
constexpr const char* kMappedCoreTail = "}`";

constexpr AttributeTemplate kThreadAttributes[] = {
    TX_NAME("$thl_temp", "tx_thread_name"),
    TX_ADDRESS("$thl_temp"),
    TX_PLAIN("`print/d $thl_temp->tx_thread_run_count+0`"),
    {kFormStatus, nullptr, nullptr},
    TX_PLAIN("`print/d $thl_temp->tx_thread_priority + 0` (`print/d $thl_temp->tx_thread_preempt_threshold + 0`)"),
    {kFormStack, kStackSingleCore, kStackValidation},
    TX_PLAIN(
        "`if ($thl_temp->tx_thread_state == 5) {print \"Queue \"} else {if($thl_temp->tx_thread_state == 6) {print "
        "\"Semaphore \"} else {if($thl_temp->tx_thread_state == 7) {print \"Event Flags Group \"} else "
        "{if($thl_temp->tx_thread_state == 8) {print \"Block Pool \"} else {if($thl_temp->tx_thread_state == 9) "
        "{print \"Byte Pool \"} else {if($thl_temp->tx_thread_state == 4) {print \"Sleep \"} else "
        "{if($thl_temp->tx_thread_state == 3) {print \"Suspend Call \"} else {if($thl_temp->tx_thread_state == 10) "
        "{print \"I/O Driver \"} else {if($thl_temp->tx_thread_state == 11) {print \"File \"} else "
        "{if($thl_temp->tx_thread_state == 12) {print \"TCP/IP \"} else {if($thl_temp->tx_thread_state == 13) "
        "{print \"Mutex \"} else {print \"N/A\"}}}}}}}}}}}; if (($thl_temp->tx_thread_state >= 5) && "
        "((ULONG)($thl_temp->tx_thread_suspend_control_block))) {if(((struct TX_MUTEX_STRUCT "
        "*)$thl_temp->tx_thread_suspend_control_block)->tx_mutex_name) { print/a ((struct TX_MUTEX_STRUCT "
        "*)$thl_temp->tx_thread_suspend_control_block)->tx_mutex_name + 0}else {print/x "
        "((ULONG)$thl_temp->tx_thread_suspend_control_block) + 0}}`"),
    {kFormCore, kNotApplicable, nullptr},
    {kFormMappedCore, kNotApplicable, nullptr},
};

constexpr AttributeTemplate kTimerAttributes[] = {
    TX_NAME("$til_temp", "tx_timer_name"),
    TX_ADDRESS("$til_temp"),
    TX_PLAIN("`if($til_temp->tx_timer_internal.tx_timer_internal_list_head) {print/d "
             "$til_temp->tx_timer_internal.tx_timer_internal_remaining_ticks + 0} else { print /d 0}`"),
    TX_PLAIN("`if($til_temp->tx_timer_internal.tx_timer_internal_list_head) {print/d "
             "$til_temp->tx_timer_internal.tx_timer_internal_re_initialize_ticks + 0} else { print /d 0}`"),
    TX_PLAIN("`print/pb $til_temp->tx_timer_internal.tx_timer_internal_timeout_function + 0`"),
};

constexpr AttributeTemplate kSemaphoreAttributes[] = {
    TX_NAME("$sl_temp", "tx_semaphore_name"),
    TX_ADDRESS("$sl_temp"),
    TX_PLAIN("`print/d $sl_temp->tx_semaphore_count + 0`"),
    TX_PLAIN("`print/d $sl_temp->tx_semaphore_suspended_count + 0`"),
};

constexpr AttributeTemplate kQueueAttributes[] = {
    TX_NAME("$ql_temp", "tx_queue_name"),
    TX_ADDRESS("$ql_temp"),
    TX_PLAIN("`print/b (struct TX_QUEUE_STRUCT *)$ql_temp->tx_queue_message_size + 0;print \" ULONG\"; "
             "if($ql_temp->tx_queue_message_size != 1) {print \"s\"}`"),
    TX_PLAIN("`print/d $ql_temp->tx_queue_enqueued + 0`/`print/d $ql_temp->tx_queue_capacity + 0`"),
    TX_PLAIN("`print/d $ql_temp->tx_queue_suspended_count + 0`"),
};

constexpr AttributeTemplate kEventFlagsAttributes[] = {
    TX_NAME_ONLY("$efl_temp", "tx_event_flags_group_name"),
    TX_ADDRESS("$efl_temp"),
    TX_PLAIN("`print/x $efl_temp->tx_event_flags_group_current + 0`"),
    TX_PLAIN("`print/d $efl_temp->tx_event_flags_group_suspended_count+0`"),
};

constexpr AttributeTemplate kBlockPoolAttributes[] = {
    TX_NAME_ONLY("$bll_temp", "tx_block_pool_name"),
    TX_ADDRESS("$bll_temp"),
    TX_PLAIN("`print/d $bll_temp->tx_block_pool_block_size + 0`"),
    TX_PLAIN("`print/d $bll_temp->tx_block_pool_total - $bll_temp->tx_block_pool_available`/`print/d "
             "$bll_temp->tx_block_pool_total + 0`"),
    TX_PLAIN("`print/d $bll_temp->tx_block_pool_suspended_count+0`"),
};

constexpr AttributeTemplate kBytePoolAttributes[] = {
    TX_NAME_ONLY("$byl_temp", "tx_byte_pool_name"),
    TX_ADDRESS("$byl_temp"),
    TX_PLAIN("`print/d $byl_temp->tx_byte_pool_size - $byl_temp->tx_byte_pool_available`/`print/d "
             "$byl_temp->tx_byte_pool_size + 0`"),
    TX_PLAIN("`print/d $byl_temp->tx_byte_pool_suspended_count + 0`"),
};

constexpr AttributeTemplate kMutexAttributes[] = {
    TX_NAME_ONLY("$ml_temp", "tx_mutex_name"),
    TX_ADDRESS("$ml_temp"),
    TX_PLAIN("`print/d $ml_temp->tx_mutex_original_priority + 0`"),
    TX_PLAIN("`print/d $ml_temp->tx_mutex_ownership_count + 0`"),
    TX_PLAIN("`print/d $ml_temp->tx_mutex_suspended_count + 0`"),
};

#undef TX_PLAIN
#undef TX_ADDRESS
#undef TX_NAME_ONLY
#undef TX_NAME

template <size_t N>
constexpr KindAttributes Rows(const AttributeTemplate (&rows)[N]) {
  return {rows, static_cast<int32_t>(N)};
}

constexpr KindAttributes kAttributes[] = {
    Rows(kThreadAttributes),     Rows(kTimerAttributes),     Rows(kSemaphoreAttributes),
    Rows(kQueueAttributes),      Rows(kEventFlagsAttributes), Rows(kBlockPoolAttributes),
    Rows(kBytePoolAttributes),   Rows(kMutexAttributes),
};
static_assert(sizeof(kAttributes) / sizeof(kAttributes[0]) == kObjectKindCount, "one attribute table per ObjectKind");

// ---- Thread texts by id ----------------------------------------------------

// Room for the formatted texts below with a 64-bit number in them.
constexpr size_t kThreadRefCapacity = 64;
constexpr size_t kOnCoreCapacity = 48;

// "((struct TX_THREAD_STRUCT *)0x<id>)": the thread named by its whole address.
std::string ThreadRef(uint64_t threadId) {
  char ref[kThreadRefCapacity];
  snprintf(ref, sizeof ref, "((struct TX_THREAD_STRUCT *)0x%" PRIx64 ")", threadId);
  return ref;
}

// The three state tests that follow "Executing" in every status text.
std::string StateTests(const std::string& r) {
  return r + "->tx_thread_state == 0) {print \"Ready\"} else {if (" + r +
         "->tx_thread_state > 2) {print \"Suspended\"} else {if (" + r +
         "->tx_thread_state == 2) {print \"Terminated\"} else {print \"Completed\"}}}}`";
}

// ---- Composed SMP texts (kept for the process) -------------------------------

// The SMP stack and mapped-core texts take a text of the target's core row
// (its current-core expression, its core field), so targets of different
// CPUs need different texts. Each distinct text is made once and kept; the
// core table's rows give at most two per row.
constexpr size_t kComposedTextSlots = 8;
const char* g_composed[kComposedTextSlots];
size_t g_composed_count = 0;

// head + middle + tail, interned; null when no slot is left.
const char* Compose(const char* head, const char* middle, const char* tail) {
  std::string text = std::string(head) + middle + tail;
  for (size_t i = 0; i < g_composed_count; i++) {
    if (text == g_composed[i]) return g_composed[i];
  }
  if (g_composed_count == kComposedTextSlots) return nullptr;
  g_composed[g_composed_count] = PortStrdup(text.c_str());
  return g_composed[g_composed_count++];
}

bool SmpMode(const ThreadxTargetState* target) { return target && target->smpMode; }

// The template of (kind, attribute), or null when there is none.
const char* PickTemplate(const BridgeContext* bc, const ThreadxTargetState* target, const AttributeTemplate* row,
                         int32_t askedType) {
  bool validation = bc->settings.pliskInValidation;
  switch (row->form) {
    case kFormName:
      return validation && row->validationText ? row->validationText : row->text;
    case kFormAddress:
      return validation && askedType == VUSK_TYPE_STRING ? kLocationText : row->text;
    case kFormStack:
      if (validation) return row->validationText;
      if (!SmpMode(target)) return row->text;
      return Compose(kStackSmpHead, target->currentCoreExpression, kStackSmpTail);
    case kFormCore:
      return SmpMode(target) ? target->coreDisplayTemplate : row->text;
    case kFormMappedCore:
      return SmpMode(target) ? Compose(kMappedCoreHead, target->coreField, kMappedCoreTail)
                             : row->text;
    case kFormPlain:
    case kFormStatus:
      break;
  }
  return row->text;
}

// ---- Text to value ---------------------------------------------------------

constexpr uint64_t kLow32 = 0xffffffffu;

int StoreNumber(const char* text, VuskValue* value) {
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  uint64_t number = strtoull(text, nullptr, hex ? 16 : 10);
  bool negative = text[strspn(text, " \t\n\r\f\v")] == '-';
  bool wide = !negative && number > kLow32;
  uint32_t low = static_cast<uint32_t>(number);
  switch (value->type) {
    case VUSK_TYPE_ADDRESS:
    case VUSK_TYPE_UINT64:
      value->value.u64 = wide ? number : low;
      break;
    case VUSK_TYPE_INT64:
      value->value.i64 = wide ? static_cast<int64_t>(number) : static_cast<int32_t>(low);
      break;
    default:
      VuskValueStoreInteger(value, number);
      break;
  }
  return kTxOk;
}

int StoreReal(const char* text, VuskValue* value) {
  if (value->type == VUSK_TYPE_FLOAT) return sscanf(text, "%f", &value->value.f32) == 1 ? kTxOk : kTxFailed;
  return sscanf(text, "%lf", &value->value.f64) == 1 ? kTxOk : kTxFailed;
}

// Takes over text (from the string-evaluate service).
int StoreAnswer(BridgeContext* bc, char* text, VuskValue* value) {
  if (value->type == VUSK_TYPE_STRING) {
    value->value.string = text;
    return kTxOk;
  }
  int status = kTxFailed;
  if (VuskValueTypeIsInteger(value->type)) {
    status = StoreNumber(text, value);
  } else if (value->type == VUSK_TYPE_FLOAT || value->type == VUSK_TYPE_DOUBLE) {
    status = StoreReal(text, value);
  }
  bc->services.release(bc, text);
  return status;
}

int EvaluateInto(BridgeContext* bc, const char* text, VuskValue* value) {
  char* answer = nullptr;
  if (bc->services.stringEval(bc, text, &answer) != kTxOk) {
    bc->services.release(bc, answer);
    return kTxFailed;
  }
  if (!answer) return kTxFailed;
  return StoreAnswer(bc, answer, value);
}

int ThreadStatusColumn(BridgeContext* bc, ThreadxTargetState* target, VuskValue* value) {
  VuskValue address = VuskValueOfType(VUSK_TYPE_UINT64);
  if (bc->services.expressionEval(bc, "$thl_temp", &address) != kTxOk) return kTxFailed;
  return TxTaskStatusGet(bc, target, address.value.u64, value);
}

// The SMP status text, or an empty one when the thread's core cannot be
// told.
std::string SmpStatusText(BridgeContext* bc, const ThreadxTargetState* target, const std::string& r) {
  std::string coreOf = r + "->" + target->coreField;
  VuskValue core = VuskValueOfType(VUSK_TYPE_UINT64);
  if (bc->services.expressionEval(bc, coreOf.c_str(), &core) != kTxOk) return {};
  const VUSK_ServiceCntx* host = bc->host;
  if (core.value.u64 >= host->coreCount || !host->coreIdList) return {};
  char onCore[kOnCoreCapacity];
  snprintf(onCore, sizeof onCore, " on Core %" PRId64, static_cast<int64_t>(host->coreIdList[core.value.u64] - 1));
  return "`if (" + r + " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[" + coreOf +
         "]) {print \"Executing" + onCore + "\"} else {if (" + StateTests(r);
}

}  // namespace

int TxObjectListAttribute(BridgeContext* bc, ThreadxTargetState* target, int32_t kind,
                          const VuskParentRef* parent, int32_t attribute, VuskValue* value) {
  if (kind < 0 || kind >= kObjectKindCount || !value) return kTxFailed;
  if (parent && kind != kObjThread) return kTxFailed;
  const KindAttributes& table = kAttributes[kind];
  if (attribute < 0 || attribute >= table.count) return kTxFailed;
  const AttributeTemplate* row = &table.rows[attribute];
  if (row->form == kFormStatus) return ThreadStatusColumn(bc, target, value);
  const char* text = PickTemplate(bc, target, row, value->type);
  if (!text) return kTxFailed;
  return EvaluateInto(bc, text, value);
}

int TxTaskNameGet(BridgeContext* bc, uint64_t threadId, VuskValue* value) {
  if (!value || value->type != VUSK_TYPE_STRING) return kTxFailed;
  std::string r = ThreadRef(threadId);
  std::string text = "`if(" + r + "->tx_thread_name) {mprintf(\"%s\", " + r + "->tx_thread_name)} else {print/x " +
                     r + "+0}`";
  return EvaluateInto(bc, text.c_str(), value);
}

int TxTaskStatusGet(BridgeContext* bc, ThreadxTargetState* target, uint64_t threadId, VuskValue* value) {
  if (!value || value->type != VUSK_TYPE_STRING) return kTxFailed;
  std::string r = ThreadRef(threadId);
  std::string text;
  if (SmpMode(target)) {
    text = SmpStatusText(bc, target, r);
    if (text.empty()) return kTxFailed;
  } else {
    text = "`if (" + r + " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr) {print \"Executing\"} else {if (" +
           StateTests(r);
  }
  return EvaluateInto(bc, text.c_str(), value);
}
