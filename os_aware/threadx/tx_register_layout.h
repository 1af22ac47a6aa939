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
//   kSlotSpAfter + n  (stack pointer + offset + stack pad) >> n (low 6 bits
//                     of n); the stack pad is the layout's, below
//   kSlotSpecial + s  as s, then a CPU-specific rule (tx_frame.h)
//   negative          the frame does not hold it: the read fails
//
// A layout may add a stack pad: when its test holds on a word of the frame,
// the stack pointer above the frame lies stackPadBytes higher (a CPU that
// aligned its stack before it stacked the frame says so in a status bit).
//
// Invariants: slots are sorted by regnum with no duplicates; every byte a
// slot reads lies inside its frame, no frame is larger than the
// kFrameBufferSize bytes the frame cache holds, the interrupt flag has 1
// to 8 bytes, and a stack pad's word has 1 to 8 bytes and lies inside both
// frames (TxLayoutCheck).
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

// A test on one word of a saved frame: it holds when (word & mask) == value.
// The word has size bytes (1, 2, 4 or 8; 0: there is no test) at offset from
// the saved stack pointer, in the target's byte order.
struct FrameWordTest {
  int64_t offset;
  int64_t size;
  uint64_t mask;
  uint64_t value;
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
  FrameWordTest stackPadTest{};  // size 0: no pad
  int64_t stackPadBytes = 0;
};

constexpr int kFrameBufferSize = 1024;

// Size codes beyond plain byte counts.
constexpr int64_t kSlotLive = 0x1000;
constexpr int64_t kSlotSpAfter = 0x2000;
constexpr int64_t kSlotSpecial = 0x4000;

// The frame bytes a size code reads: 1, 2 or 4 (with or without
// kSlotSpecial); 0 for every code that reads none (0, kSlotLive,
// kSlotSpAfter + n, negative, unknown).
constexpr int64_t TxSlotBytesRead(int64_t size) {
  if (size < 0 || size == kSlotLive || (size & kSlotSpAfter)) return 0;
  int64_t plain = size & ~kSlotSpecial;
  return (plain == 1 || plain == 2 || plain == 4) ? plain : 0;
}
