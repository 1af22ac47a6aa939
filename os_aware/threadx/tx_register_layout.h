// tx_register_layout: where a suspended thread's registers lie in the frame
// it saved on its stack.
//
// A thread that gave up the CPU by a kernel call saved a solicited frame; a
// preempted one saved an interrupt frame. A word at a fixed place of the
// frame (the interrupt flag) tells which. Per frame kind a RegisterSlot gives
// each register's offset from the thread's stack pointer and its size code:
//   0                 the register reads as 0 (not kept, known to be 0)
//   1, 2, 4           bytes in the frame
//   kSlotLive         not saved: the live CPU register holds it
//   kSlotSpAfter + n  (stack pointer + offset) >> n (low 6 bits of n)
//   kSlotSpecial + s  as s, then a CPU-specific rule (tx_frame.h)
//
// Invariants: slots are sorted by regnum with no duplicates; every byte a
// slot reads lies inside its frame, no frame is larger than the
// kFrameBufferSize bytes the frame cache holds, and the interrupt flag has 1
// to 8 bytes (TxLayoutCheck).
#pragma once

#include <cstdint>

// Where one register lies in each of the two saved frames.
struct RegisterSlot {
  int32_t regnum;
  int64_t solicitedOffset;
  int64_t solicitedSize;
  int64_t interruptOffset;
  int64_t interruptSize;
};

// How a CPU's threads save their registers on the stack; slots sorted by
// regnum. Built ones own their slot array.
struct RegisterLayout {
  int64_t interruptFlagOffset;
  int64_t interruptFlagSize;
  int64_t solicitedFrameSize;
  int64_t interruptFrameSize;
  int64_t solicitedFrameOffset;
  int64_t interruptFrameOffset;
  int32_t registerCount;
  RegisterSlot* slots;
};

constexpr int kFrameBufferSize = 1024;

// Size codes beyond plain byte counts.
constexpr int64_t kSlotLive = 0x1000;
constexpr int64_t kSlotSpAfter = 0x2000;
constexpr int64_t kSlotSpecial = 0x4000;
