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
#include <cstring>

#include "os_aware/threadx/tx_frame.h"
#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/threadx/tx_target.h"

namespace {

constexpr int32_t kTargetMemorySpace = 4;

constexpr const char kStackPointerField[] = "tx_thread_stack_ptr";

// The running thread's register from the CPU: on SMP kernels from the core
// the thread runs on (host core id - 1), else from the core the host has
// selected.
int ReadLive(BridgeContext* bc, const ThreadxTargetState* target, int32_t reg, uint64_t* value) {
  int64_t core = target->smpMode ? static_cast<int64_t>(target->currentCore) - 1 : kVuskNoCore;
  uint32_t narrow = 0;
  int status = bc->services.registerRead(bc, core, reg, &narrow);
  if (status == kStatusOk) *value = narrow;
  return status;
}

// Whether thread is running now (then its registers are the CPU's).
int IsRunning(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread, bool* running) {
  if (target->smpMode) {
    if (TxCacheThreadRunningOnCoreOf(bc, target, thread) != kStatusOk) return kStatusFailed;
  } else if (target->currentThread == 0) {
    uint64_t current = 0;
    int status = TxCurrentTaskGet(bc, target, -1, &current);
    if (status != kStatusOk) return status;
  }
  *running = target->currentThread == thread;
  return kStatusOk;
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
    return kStatusOk;
  }
  if (TxEvaluateThreadField(bc, thread, kStackPointerField, stackPointer) != kStatusOk) return kStatusFailed;
  CacheStackPointer(target, thread, *stackPointer);
  return kStatusOk;
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
  if (test.size == 0) return kStatusOk;
  int status = ReadFrameWord(bc, stackPointer + static_cast<uint64_t>(test.offset), test.size, word);
  if (status != kStatusOk) return status;
  *floatingPoint = TxFrameWordTestHolds(test, word, bc->settings.bigEndianTarget);
  return kStatusOk;
}

// Reads the frame's layout (when the frame tells it), its kind and the frame
// below the stack pointer into the cache.
int LoadFrame(BridgeContext* bc, ThreadxTargetState* target, const ThreadPlan& plan, uint64_t thread,
              uint64_t stackPointer) {
  if (target->frameValid && target->frameThread == thread) return kStatusOk;
  uint32_t epoch = target->frameEpoch;
  const FrameWordTest& test = plan.fpFrameTest;
  uint8_t testWord[kMaxFrameWordSize] = {};
  bool floatingPoint = false;
  int status = FrameIsFloatingPoint(bc, test, stackPointer, testWord, &floatingPoint);
  if (status != kStatusOk) return status;
  const RegisterLayout& frames = floatingPoint ? plan.floatingPoint.frames : plan.plain.frames;
  uint8_t flag[kMaxFrameWordSize] = {};
  if (test.size != 0 && test.offset == frames.interruptFlagOffset && test.size == frames.interruptFlagSize) {
    memcpy(flag, testWord, sizeof flag);  // one word tells both: read it once
  } else {
    uint64_t flagAddress = stackPointer + static_cast<uint64_t>(frames.interruptFlagOffset);
    status = ReadFrameWord(bc, flagAddress, frames.interruptFlagSize, flag);
    if (status != kStatusOk) return status;
  }
  int kind = TxFrameFlagIsInterrupt(flag, frames.interruptFlagSize) ? kInterruptFrame : kSolicitedFrame;
  int64_t size = TxFrameSize(frames, kind);
  uint64_t frameAddress = stackPointer - static_cast<uint64_t>(TxFrameOffset(frames, kind));
  if (size > 0 &&
      bc->services.memoryRead(bc, kTargetMemorySpace, frameAddress, static_cast<int32_t>(size), 1, target->frame) !=
          kStatusOk)
    return kStatusFailed;
  target->frameKind = static_cast<uint8_t>(kind);
  target->frameFloatingPoint = floatingPoint;
  // This read answers from the frame either way; it is kept for the next
  // read unless the host dropped the cache meanwhile.
  if (target->frameEpoch == epoch) {
    target->frameThread = thread;
    target->frameValid = true;
  }
  return kStatusOk;
}

int ReadSaved(BridgeContext* bc, ThreadxTargetState* target, const ThreadPlan& plan, uint64_t thread, int32_t reg,
              uint64_t* value) {
  if (AlwaysLive(plan.plain) && (!FrameChoosesLayout(plan) || AlwaysLive(plan.floatingPoint)))
    return ReadLive(bc, target, reg, value);
  uint64_t stackPointer = 0;
  if (StackPointerOf(bc, target, thread, &stackPointer) != kStatusOk) return kStatusFailed;
  int status = LoadFrame(bc, target, plan, thread, stackPointer);
  if (status != kStatusOk) return status;
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
  if (read.kind == SlotReadKind::kFailed) return kStatusFailed;
  *value = static_cast<uint32_t>(read.value);
  return kStatusOk;
}

// Whether thread saved floating-point registers (then its frame follows the
// floating-point layout).
int SavedFloatingPoint(BridgeContext* bc, const ThreadxTargetState* target, uint64_t thread, bool* saved) {
  *saved = false;
  if (!target->fpFlag || !target->fpLayout) return kStatusOk;
  uint64_t flag = 0;
  if (TxEvaluateThreadField(bc, thread, target->fpFlag, &flag) != kStatusOk) return kStatusFailed;
  *saved = flag != 0;
  return kStatusOk;
}

int ReadRegister(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread, int32_t reg, uint64_t* value) {
  if (!target->intLayout) TxLayoutSelectForTarget(bc, target);
  if (!target->intLayout) return kStatusFailed;
  if (target->currentThread != 0 && thread == target->currentThread) return ReadLive(bc, target, reg, value);
  bool floatingPoint = false;
  if (SavedFloatingPoint(bc, target, thread, &floatingPoint) != kStatusOk) return kStatusFailed;
  bool running = false;
  int status = IsRunning(bc, target, thread, &running);
  if (status != kStatusOk) return status;
  if (running) return ReadLive(bc, target, reg, value);
  const RegisterLayout* layout = floatingPoint ? target->fpLayout : target->intLayout;
  if (!layout) return kStatusFailed;  // the CPU changed while the host was asked
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
  if (!target || !value) return kStatusFailed;
  uint8_t saved = inRegisterRead;
  inRegisterRead = 1;
  int status = ReadRegister(bc, target, threadId, reg, value);
  inRegisterRead = saved;
  return status;
}
