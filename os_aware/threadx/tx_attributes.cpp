// tx_attributes: the columns the host shows for each kernel object, and a
// thread's name and status by id.
//
// Every answer is a text the host debugger computes: a command-substitution
// template goes to the string-evaluate service and the returned text becomes
// the asked value. The templates are held in one table per kind, indexed by
// attribute; a few columns are composed at run time (status, stack and the
// two core columns, which depend on SMP mode and validation mode). Texts
// that show an address have a variant for hosts whose addresses are 8
// bytes (cpuAddressSize 8); every other host gets the 32-bit texts.
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
  kFormPlain,       // the template as it stands (its wide variant on 8-byte targets)
  kFormName,        // name, with optional validation-mode and wide variants
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
  // For targets whose addresses are 8 bytes (cpuAddressSize 8): the text
  // that shows an address whole; null: the same text. Targets that report
  // 4 bytes or nothing get `text`, which shows 32 bits.
  const char* wideText;
};

struct KindAttributes {
  const AttributeTemplate* rows;
  int32_t count;
};

// An object's name, or its address when it has none (0x and eight hex
// digits; sixteen on 8-byte targets).
#define TX_NAME_OR(VAR, FIELD, UNNAMED) \
  "`if(" VAR "->" FIELD ") {mprintf(\"%s\", " VAR "->" FIELD ")} else {" UNNAMED "}`"
#define TX_UNNAMED_32(VAR) "mprintf(\"0x%8.8x\", " VAR "+0)"
#define TX_UNNAMED_64(VAR) "mprintf(\"0x%16.16llx\", " VAR "+0)"
#define TX_NAME(VAR, FIELD)                                                                       \
  {kFormName, TX_NAME_OR(VAR, FIELD, TX_UNNAMED_32(VAR)), TX_NAME_OR(VAR, FIELD, "print \"0xlocation\""), \
   TX_NAME_OR(VAR, FIELD, TX_UNNAMED_64(VAR))}
#define TX_NAME_ONLY(VAR, FIELD) \
  {kFormName, TX_NAME_OR(VAR, FIELD, TX_UNNAMED_32(VAR)), nullptr, TX_NAME_OR(VAR, FIELD, TX_UNNAMED_64(VAR))}
#define TX_ADDRESS(VAR) {kFormAddress, "`print/x " VAR "+0`", nullptr, nullptr}
#define TX_PLAIN(TEXT) {kFormPlain, TEXT, nullptr, nullptr}
#define TX_PLAIN_WIDE(TEXT, WIDE) {kFormPlain, TEXT, nullptr, WIDE}

constexpr const char* kLocationText = "`print \"0xlocation\"`";
constexpr const char* kNotApplicable = "`{print \"N/A\"}`";
constexpr const char* kStackValidation = "`print \"stack_use/stack_size\"`";

// Stack use is measured from a stack pointer: the CPU's ($sp) for the
// executing thread, the one the kernel saved for any other. A pointer
// outside the thread's stack area shows "N/A", never a figure outside
// 0..size: $sp is not the thread's in an interrupt handler (Cortex-M
// handler mode runs on MSP) nor on ports whose threads run on host stacks.
#define TX_STACK_INSIDE(POINTER)                                                                      \
  "((" POINTER " >= (char *)$thl_temp->tx_thread_stack_start) && (" POINTER                            \
  " <= (char *)$thl_temp->tx_thread_stack_end + 1))"
#define TX_STACK_LIVE                                                                                  \
  "{if " TX_STACK_INSIDE("(char *)$sp") " {print/d ($thl_temp->tx_thread_stack_end - (char *)$sp + 1)} " \
  "else {print \"N/A\"}}"
#define TX_STACK_SAVED                                                                                 \
  "{if " TX_STACK_INSIDE("(char *)$thl_temp->tx_thread_stack_ptr")                                     \
  " {print/d $thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_ptr+1} else {print \"N/A\"}}"
#define TX_STACK_SIZE "`/`print/d $thl_temp->tx_thread_stack_end-$thl_temp->tx_thread_stack_start+1`"

constexpr const char* kStackSingleCore =
    "`if ($thl_temp == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr) " TX_STACK_LIVE " else " TX_STACK_SAVED
    TX_STACK_SIZE;
// The core expression is only evaluated for a ready thread: a host that
// cannot evaluate it still shows the stacks of the others.
constexpr const char* kStackSmpHead =
    "`if ($thl_temp->tx_thread_state == 0) {if ($thl_temp == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[";
constexpr const char* kStackSmpTail = "]) " TX_STACK_LIVE " else " TX_STACK_SAVED "} else " TX_STACK_SAVED TX_STACK_SIZE;
constexpr const char* kMappedCoreHead = "`{print/x (unsigned char)$thl_temp->";
constexpr const char* kMappedCoreTail = "}`";

#undef TX_STACK_SIZE
#undef TX_STACK_SAVED
#undef TX_STACK_LIVE
#undef TX_STACK_INSIDE

// "Suspended on": the wait kind, then the object's name or its address.
#define TX_WAITS_ON(ADDRESS_TYPE)                                                                               \
  "`if ($thl_temp->tx_thread_state == 5) {print \"Queue \"} else {if($thl_temp->tx_thread_state == 6) {print "   \
  "\"Semaphore \"} else {if($thl_temp->tx_thread_state == 7) {print \"Event Flags Group \"} else "              \
  "{if($thl_temp->tx_thread_state == 8) {print \"Block Pool \"} else {if($thl_temp->tx_thread_state == 9) "     \
  "{print \"Byte Pool \"} else {if($thl_temp->tx_thread_state == 4) {print \"Sleep \"} else "                   \
  "{if($thl_temp->tx_thread_state == 3) {print \"Suspend Call \"} else {if($thl_temp->tx_thread_state == 10) "  \
  "{print \"I/O Driver \"} else {if($thl_temp->tx_thread_state == 11) {print \"File \"} else "                  \
  "{if($thl_temp->tx_thread_state == 12) {print \"TCP/IP \"} else {if($thl_temp->tx_thread_state == 13) "       \
  "{print \"Mutex \"} else {print \"N/A\"}}}}}}}}}}}; if (($thl_temp->tx_thread_state >= 5) && "                 \
  "((" ADDRESS_TYPE ")($thl_temp->tx_thread_suspend_control_block))) {if(((struct TX_MUTEX_STRUCT "             \
  "*)$thl_temp->tx_thread_suspend_control_block)->tx_mutex_name) { print/a ((struct TX_MUTEX_STRUCT "           \
  "*)$thl_temp->tx_thread_suspend_control_block)->tx_mutex_name + 0}else {print/x "                             \
  "((" ADDRESS_TYPE ")$thl_temp->tx_thread_suspend_control_block) + 0}}`"

// Timers. The time left is what the kernel's tx_timer_info_get answers: an
// active timer hangs in a slot of the timer wheel (_tx_timer_list_start ..
// _tx_timer_list_end, the current tick's slot _tx_timer_current_ptr) and
// keeps in remaining_ticks the ticks it was scheduled with, which count
// beyond the wheel only above its length; a timer being expired now (its
// head outside the wheel) has 0 left; an inactive one keeps what
// deactivation left in remaining_ticks. Pointer differences count slots.
#define TX_TIMER_FIELD(NAME) "$til_temp->tx_timer_internal.tx_timer_internal_" NAME
#define TX_WHEEL_SLOTS "(_tx_timer_list_end - _tx_timer_list_start)"
#define TX_BEYOND_WHEEL                                                                                  \
  "(" TX_TIMER_FIELD("remaining_ticks") " > " TX_WHEEL_SLOTS " ? " TX_TIMER_FIELD("remaining_ticks") " - " \
  TX_WHEEL_SLOTS " : 0)"
constexpr const char* kTimerRemaining =
    "`if (" TX_TIMER_FIELD("list_head") " == 0) {print/d " TX_TIMER_FIELD("remaining_ticks") " + 0} else {if (("
    TX_TIMER_FIELD("list_head") " >= _tx_timer_list_start) && (" TX_TIMER_FIELD("list_head")
    " < _tx_timer_list_end)) {if (" TX_TIMER_FIELD("list_head") " >= _tx_timer_current_ptr) {print/d ("
    TX_TIMER_FIELD("list_head") " - _tx_timer_current_ptr) + 1 + " TX_BEYOND_WHEEL "} else {print/d ("
    TX_TIMER_FIELD("list_head") " - _tx_timer_list_start) + (_tx_timer_list_end - _tx_timer_current_ptr) + 1 + "
    TX_BEYOND_WHEEL "}} else {if (_tx_timer_expired_timer_ptr == &$til_temp->tx_timer_internal) {print/d 0} "
    "else {print/d " TX_BEYOND_WHEEL "}}}`";
// The reload ticks whether the timer is active or not, as the kernel
// reports them.
constexpr const char* kTimerReload = "`print/d " TX_TIMER_FIELD("re_initialize_ticks") " + 0`";
#undef TX_BEYOND_WHEEL
#undef TX_WHEEL_SLOTS
#undef TX_TIMER_FIELD

constexpr AttributeTemplate kThreadAttributes[] = {
    TX_NAME("$thl_temp", "tx_thread_name"),
    TX_ADDRESS("$thl_temp"),
    TX_PLAIN("`print/d $thl_temp->tx_thread_run_count+0`"),
    {kFormStatus, nullptr, nullptr, nullptr},
    TX_PLAIN("`print/d $thl_temp->tx_thread_priority + 0` (`print/d $thl_temp->tx_thread_preempt_threshold + 0`)"),
    {kFormStack, kStackSingleCore, kStackValidation, nullptr},
    TX_PLAIN_WIDE(TX_WAITS_ON("ULONG"), TX_WAITS_ON("unsigned long long")),
    {kFormCore, kNotApplicable, nullptr, nullptr},
    {kFormMappedCore, kNotApplicable, nullptr, nullptr},
};
#undef TX_WAITS_ON

constexpr AttributeTemplate kTimerAttributes[] = {
    TX_NAME("$til_temp", "tx_timer_name"),
    TX_ADDRESS("$til_temp"),
    TX_PLAIN(kTimerRemaining),
    TX_PLAIN(kTimerReload),
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

#undef TX_PLAIN_WIDE
#undef TX_PLAIN
#undef TX_ADDRESS
#undef TX_NAME_ONLY
#undef TX_NAME
#undef TX_UNNAMED_64
#undef TX_UNNAMED_32
#undef TX_NAME_OR

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
  snprintf(ref, sizeof ref, TX_THREAD_AT, threadId);
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

// The host said its addresses are 8 bytes; 4 or nothing keeps the 32-bit
// texts.
constexpr uint32_t kWideAddressSize = 8;
bool WideAddresses(const BridgeContext* bc) { return bc->settings.cpuAddressSize == kWideAddressSize; }

// The template of (kind, attribute), or null when there is none.
const char* PickTemplate(const BridgeContext* bc, const ThreadxTargetState* target, const AttributeTemplate* row,
                         int32_t askedType) {
  bool validation = bc->settings.pliskInValidation;
  const char* text = WideAddresses(bc) && row->wideText ? row->wideText : row->text;
  switch (row->form) {
    case kFormName:
      return validation && row->validationText ? row->validationText : text;
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
  return text;
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
  return kStatusOk;
}

int StoreReal(const char* text, VuskValue* value) {
  if (value->type == VUSK_TYPE_FLOAT) return sscanf(text, "%f", &value->value.f32) == 1 ? kStatusOk : kStatusFailed;
  return sscanf(text, "%lf", &value->value.f64) == 1 ? kStatusOk : kStatusFailed;
}

// Takes over text (from the string-evaluate service).
int StoreAnswer(BridgeContext* bc, char* text, VuskValue* value) {
  if (value->type == VUSK_TYPE_STRING) {
    value->value.string = text;
    return kStatusOk;
  }
  int status = kStatusFailed;
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
  if (bc->services.stringEval(bc, text, &answer) != kStatusOk) {
    bc->services.release(bc, answer);
    return kStatusFailed;
  }
  if (!answer) return kStatusFailed;
  return StoreAnswer(bc, answer, value);
}

int ThreadStatusColumn(BridgeContext* bc, ThreadxTargetState* target, VuskValue* value) {
  uint64_t address = 0;
  if (BridgeEvaluate(bc, "$thl_temp", &address) != kStatusOk) return kStatusFailed;
  return TxTaskStatusGet(bc, target, address, value);
}

// The SMP status text, or an empty one when the thread's core cannot be
// told.
std::string SmpStatusText(BridgeContext* bc, const ThreadxTargetState* target, const std::string& r) {
  std::string coreOf = r + "->" + target->coreField;
  uint64_t core = 0;
  if (BridgeEvaluate(bc, coreOf.c_str(), &core) != kStatusOk) return {};
  const BridgeSettings& cores = bc->settings;
  if (core >= cores.coreCount || !cores.coreIdList) return {};
  char onCore[kOnCoreCapacity];
  snprintf(onCore, sizeof onCore, " on Core %" PRId64, static_cast<int64_t>(cores.coreIdList[core] - 1));
  return "`if (" + r + " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[" + coreOf +
         "]) {print \"Executing" + onCore + "\"} else {if (" + StateTests(r);
}

}  // namespace

int TxObjectListAttribute(BridgeContext* bc, ThreadxTargetState* target, int32_t kind,
                          const VuskParentRef* parent, int32_t attribute, VuskValue* value) {
  if (kind < 0 || kind >= kObjectKindCount || !value) return kStatusFailed;
  if (parent && kind != kObjThread) return kStatusFailed;
  const KindAttributes& table = kAttributes[kind];
  if (attribute < 0 || attribute >= table.count) return kStatusFailed;
  const AttributeTemplate* row = &table.rows[attribute];
  if (row->form == kFormStatus) return ThreadStatusColumn(bc, target, value);
  const char* text = PickTemplate(bc, target, row, value->type);
  if (!text) return kStatusFailed;
  return EvaluateInto(bc, text, value);
}

int TxTaskNameGet(BridgeContext* bc, uint64_t threadId, VuskValue* value) {
  if (!value || value->type != VUSK_TYPE_STRING) return kStatusFailed;
  std::string r = ThreadRef(threadId);
  std::string text = "`if(" + r + "->tx_thread_name) {mprintf(\"%s\", " + r + "->tx_thread_name)} else {print/x " +
                     r + "+0}`";
  return EvaluateInto(bc, text.c_str(), value);
}

int TxEvaluateThreadField(BridgeContext* bc, uint64_t threadId, const char* field, uint64_t* value) {
  return BridgeEvaluateFormat(bc, value, TX_THREAD_AT "->%s", threadId, field);
}

int TxTaskStatusGet(BridgeContext* bc, ThreadxTargetState* target, uint64_t threadId, VuskValue* value) {
  if (!value || value->type != VUSK_TYPE_STRING) return kStatusFailed;
  std::string r = ThreadRef(threadId);
  std::string text;
  if (SmpMode(target)) {
    text = SmpStatusText(bc, target, r);
    if (text.empty()) return kStatusFailed;
  } else {
    text = "`if (" + r + " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr) {print \"Executing\"} else {if (" +
           StateTests(r);
  }
  return EvaluateInto(bc, text.c_str(), value);
}
