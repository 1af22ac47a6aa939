// tx_registers: a thread's registers, read from the CPU for a running thread
// and from the frame a suspended thread saved on its stack.
//
// The frame cache holds the last suspended thread's frame (its kind, the
// layout it follows, its bytes and the stack pointer they were read below),
// so that reading a thread's registers one after another reads its frame
// once. A halt notice or a change of CPU empties it.
//
// Ids and stack pointers stay whole (64 bits) in every expression and
// cache; a register's value is answered in 32 bits. inRegisterRead is 1 for
// the whole read and restored afterwards, so nested requests see it right.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "os_aware/interface/vusk_service.h"
#include "os_aware/threadx/tx_frame.h"
#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/threadx/tx_target.h"

namespace {

constexpr int32_t kTargetMemorySpace = 4;
constexpr int64_t kLiveReadWidth = 4;
constexpr int32_t kLiveReadFromDebugger = 1;
constexpr uint64_t kNoTask = 0;
constexpr size_t kExpressionCapacity = 256;

constexpr const char kThreadFieldFormat[] = "((struct TX_THREAD_STRUCT *)0x%" PRIx64 ")->%s";
constexpr const char kStackPointerField[] = "tx_thread_stack_ptr";
constexpr const char kCurrentThreadOfCoreFormat[] = "(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[%lld]";

int EvaluateU64(BridgeContext* bc, const char* expression, uint64_t* result) {
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
  if (bc->services.expressionEval(bc, expression, &value) != kTxOk) return kTxFailed;
  *result = value.value.u64;
  return kTxOk;
}

int EvaluateThreadField(BridgeContext* bc, uint64_t thread, const char* field, uint64_t* result) {
  char expression[kExpressionCapacity];
  int length = snprintf(expression, sizeof expression, kThreadFieldFormat, thread, field);
  if (length < 0 || static_cast<size_t>(length) >= sizeof expression) return kTxFailed;
  return EvaluateU64(bc, expression, result);
}

// The running thread's register from the CPU: on SMP kernels from the core
// the thread runs on, else through the plain register read.
int ReadLive(BridgeContext* bc, const ThreadxTargetState* target, int32_t reg, uint64_t* value) {
  if (target->smpMode) {
    uint64_t wide = 0;
    int64_t core = static_cast<int64_t>(target->currentCore) - 1;
    int status = VuskServiceRegisterRead(bc->host, reg, kLiveReadWidth, kLiveReadFromDebugger, core, kNoTask, &wide);
    if (status == kTxOk) *value = static_cast<uint32_t>(wide);
    return status;
  }
  uint32_t narrow = 0;
  int status = bc->services.registerRead(bc, reg, &narrow);
  if (status == kTxOk) *value = narrow;
  return status;
}

// Which thread runs on the core thread X is mapped to; caches it with its
// host core id.
int FindSmpCurrentThread(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread) {
  uint64_t core = 0;
  if (EvaluateThreadField(bc, thread, target->coreField, &core) != kTxOk) return kTxFailed;
  // The kernel's core numbers index _tx_thread_current_ptr and the host's
  // core list: one past either is no core at all.
  const VUSK_ServiceCntx* host = bc->host;
  if (core >= static_cast<uint64_t>(target->coreCount) || core >= host->coreCount || !host->coreIdList)
    return kTxFailed;
  char expression[kExpressionCapacity];
  snprintf(expression, sizeof expression, kCurrentThreadOfCoreFormat, static_cast<long long>(core));
  uint64_t running = 0;
  if (EvaluateU64(bc, expression, &running) != kTxOk) return kTxFailed;
  target->currentThread = running;
  target->currentCore = host->coreIdList[core];
  return kTxOk;
}

// Whether thread is running now (then its registers are the CPU's).
int IsRunning(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread, bool* running) {
  if (target->smpMode) {
    if (FindSmpCurrentThread(bc, target, thread) != kTxOk) return kTxFailed;
  } else if (target->currentThread == 0) {
    uint64_t current = 0;
    int status = TxCurrentTaskGet(bc, target, -1, &current);
    if (status != kTxOk) return status;
  }
  *running = target->currentThread == thread;
  return kTxOk;
}

uint64_t CachedStackPointer(const ThreadxTargetState* target) {
  return (uint64_t{target->frameStackPointerHigh} << 32) | target->frameStackPointerLow;
}

void CacheStackPointer(ThreadxTargetState* target, uint64_t thread, uint64_t stackPointer) {
  target->frameThread = thread;
  target->frameStackPointerLow = static_cast<uint32_t>(stackPointer);
  target->frameStackPointerHigh = static_cast<uint32_t>(stackPointer >> 32);
  target->frameValid = false;
}

int StackPointerOf(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread, uint64_t* stackPointer) {
  if (target->frameThread == thread && CachedStackPointer(target) != 0) {
    *stackPointer = CachedStackPointer(target);
    return kTxOk;
  }
  if (EvaluateThreadField(bc, thread, kStackPointerField, stackPointer) != kTxOk) return kTxFailed;
  CacheStackPointer(target, thread, *stackPointer);
  return kTxOk;
}

// What one read needs of a layout: the frame sizes and offsets and the
// register's slot, copied out before the next host request. While the
// plugin waits for the host, the host may change the CPU, which frees the
// record's layouts.
struct ReadPlan {
  RegisterLayout frames;  // slots left out
  bool hasSlot;
  RegisterSlot slot;
};

// The plans of one read: the layout the thread follows, or, when its frame
// tells (fpFrameTest), the integer layout and the floating-point one a frame
// that passes the test follows.
struct ThreadPlan {
  ReadPlan plain;
  ReadPlan floatingPoint;
  FrameWordTest fpFrameTest;  // size 0: plain only
};

ReadPlan PlanRead(const RegisterLayout& layout, int32_t reg) {
  ReadPlan plan{layout, false, {}};
  plan.frames.registerCount = 0;
  plan.frames.slots = nullptr;
  if (const RegisterSlot* slot = TxLayoutFindSlot(layout, reg)) {
    plan.slot = *slot;
    plan.hasSlot = true;
  }
  return plan;
}

bool FrameChoosesLayout(const ThreadPlan& plan) { return plan.fpFrameTest.size != 0; }

// Whether the register is the CPU's whatever the frame holds.
bool AlwaysLive(const ReadPlan& plan) {
  return !plan.hasSlot || (plan.slot.solicitedSize == kSlotLive && plan.slot.interruptSize == kSlotLive);
}

int ReadFrameWord(BridgeContext* bc, uint64_t address, int64_t size, uint8_t* word) {
  return bc->services.memoryRead(bc, kTargetMemorySpace, address, static_cast<int32_t>(size), 1, word);
}

// Whether the frame below the stack pointer follows the floating-point
// layout. The word read is left in word for LoadFrame to use again.
int FrameIsFloatingPoint(BridgeContext* bc, const FrameWordTest& test, uint64_t stackPointer, uint8_t* word,
                         bool* floatingPoint) {
  *floatingPoint = false;
  if (test.size == 0) return kTxOk;
  int status = ReadFrameWord(bc, stackPointer + static_cast<uint64_t>(test.offset), test.size, word);
  if (status != kTxOk) return status;
  *floatingPoint = TxFrameWordTestHolds(test, word, bc->settings.bigEndianTarget);
  return kTxOk;
}

// Reads the frame's layout (when the frame tells it), its kind and the frame
// below the stack pointer into the cache.
int LoadFrame(BridgeContext* bc, ThreadxTargetState* target, const ThreadPlan& plan, uint64_t thread,
              uint64_t stackPointer) {
  if (target->frameValid && target->frameThread == thread) return kTxOk;
  uint32_t epoch = target->frameEpoch;
  const FrameWordTest& test = plan.fpFrameTest;
  uint8_t testWord[kMaxFrameWordSize] = {};
  bool floatingPoint = false;
  int status = FrameIsFloatingPoint(bc, test, stackPointer, testWord, &floatingPoint);
  if (status != kTxOk) return status;
  const RegisterLayout& frames = floatingPoint ? plan.floatingPoint.frames : plan.plain.frames;
  uint8_t flag[kMaxFrameWordSize] = {};
  if (test.size != 0 && test.offset == frames.interruptFlagOffset && test.size == frames.interruptFlagSize) {
    memcpy(flag, testWord, sizeof flag);  // one word tells both: read it once
  } else {
    uint64_t flagAddress = stackPointer + static_cast<uint64_t>(frames.interruptFlagOffset);
    status = ReadFrameWord(bc, flagAddress, frames.interruptFlagSize, flag);
    if (status != kTxOk) return status;
  }
  int kind = TxFrameFlagIsInterrupt(flag, frames.interruptFlagSize) ? kInterruptFrame : kSolicitedFrame;
  int64_t size = TxFrameSize(frames, kind);
  uint64_t frameAddress = stackPointer - static_cast<uint64_t>(TxFrameOffset(frames, kind));
  if (size > 0 &&
      bc->services.memoryRead(bc, kTargetMemorySpace, frameAddress, static_cast<int32_t>(size), 1, target->frame) !=
          kTxOk)
    return kTxFailed;
  target->frameKind = static_cast<uint8_t>(kind);
  target->frameFloatingPoint = floatingPoint;
  // This read answers from the frame either way; it is kept for the next
  // read unless the host dropped the cache meanwhile.
  if (target->frameEpoch == epoch) {
    target->frameThread = thread;
    target->frameValid = true;
  }
  return kTxOk;
}

int ReadSaved(BridgeContext* bc, ThreadxTargetState* target, const ThreadPlan& plan, uint64_t thread, int32_t reg,
              uint64_t* value) {
  if (AlwaysLive(plan.plain) && (!FrameChoosesLayout(plan) || AlwaysLive(plan.floatingPoint)))
    return ReadLive(bc, target, reg, value);
  uint64_t stackPointer = 0;
  if (StackPointerOf(bc, target, thread, &stackPointer) != kTxOk) return kTxFailed;
  int status = LoadFrame(bc, target, plan, thread, stackPointer);
  if (status != kTxOk) return status;
  const ReadPlan& chosen =
      FrameChoosesLayout(plan) && target->frameFloatingPoint ? plan.floatingPoint : plan.plain;
  if (!chosen.hasSlot) return ReadLive(bc, target, reg, value);
  int kind = target->frameKind;
  bool bigEndian = bc->settings.bigEndianTarget;
  FrameView frame{target->frame,
                  TxFrameOffset(chosen.frames, kind),
                  TxFrameSize(chosen.frames, kind),
                  stackPointer,
                  bigEndian,
                  bc->settings.cpumajor,
                  TxFrameStackPad(chosen.frames, kind, target->frame, bigEndian)};
  SlotRead read = TxFrameDecode(frame, TxSlotPlace(chosen.slot, kind), reg);
  if (read.kind == SlotReadKind::kLive) return ReadLive(bc, target, reg, value);
  if (read.kind == SlotReadKind::kFailed) return kTxFailed;
  *value = static_cast<uint32_t>(read.value);
  return kTxOk;
}

// Whether thread saved floating-point registers (then its frame follows the
// floating-point layout).
int SavedFloatingPoint(BridgeContext* bc, const ThreadxTargetState* target, uint64_t thread, bool* saved) {
  *saved = false;
  if (!target->fpFlag || !target->fpLayout) return kTxOk;
  uint64_t flag = 0;
  if (EvaluateThreadField(bc, thread, target->fpFlag, &flag) != kTxOk) return kTxFailed;
  *saved = flag != 0;
  return kTxOk;
}

int ReadRegister(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread, int32_t reg, uint64_t* value) {
  if (!target->intLayout) TxLayoutSelectForTarget(bc, target);
  if (!target->intLayout) return kTxFailed;
  if (target->currentThread != 0 && thread == target->currentThread) return ReadLive(bc, target, reg, value);
  bool floatingPoint = false;
  if (SavedFloatingPoint(bc, target, thread, &floatingPoint) != kTxOk) return kTxFailed;
  bool running = false;
  int status = IsRunning(bc, target, thread, &running);
  if (status != kTxOk) return status;
  if (running) return ReadLive(bc, target, reg, value);
  const RegisterLayout* layout = floatingPoint ? target->fpLayout : target->intLayout;
  if (!layout) return kTxFailed;  // the CPU changed while the host was asked
  *value = 0;
  ThreadPlan plan{PlanRead(*layout, reg), {}, {}};
  // With a frame word test the frame itself chooses, once the thread field
  // (when the entry names one) has allowed floating point.
  bool fieldAllows = !target->fpFlag || floatingPoint;
  if (target->fpFrameTest.size != 0 && target->fpLayout && target->intLayout && fieldAllows) {
    plan.plain = PlanRead(*target->intLayout, reg);
    plan.floatingPoint = PlanRead(*target->fpLayout, reg);
    plan.fpFrameTest = target->fpFrameTest;
  }
  return ReadSaved(bc, target, plan, thread, reg, value);
}

}  // namespace

int TxTaskRegisterRead(BridgeContext* bc, ThreadxTargetState* target, uint64_t threadId, int32_t reg,
                       uint64_t* value) {
  if (!target || !value) return kTxFailed;
  uint8_t saved = inRegisterRead;
  inRegisterRead = 1;
  int status = ReadRegister(bc, target, threadId, reg, value);
  inRegisterRead = saved;
  return status;
}
