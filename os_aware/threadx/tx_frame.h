// tx_frame: decoding a register from a saved stack frame. Pure functions
// over bytes already read from the target; the reads themselves belong to
// the caller.
//
// Byte order is the target's: big-endian frames hold the most significant
// byte first, little-endian ones at the highest index. A register value is
// assembled from at most 4 bytes and masked to its size.
#pragma once

#include <cstdint>
#include <string>

#include "os_aware/threadx/tx_register_layout.h"

// Largest frame word the plugin reads (bytes): the interrupt flag, the
// floating-point frame test and the stack pad test.
constexpr int64_t kMaxFrameWordSize = 8;

// Frame kinds, as the interrupt flag selects them.
constexpr int kSolicitedFrame = 0;
constexpr int kInterruptFrame = 1;

// Whether the interrupt flag read from a frame marks an interrupt frame: a
// tested byte is not zero. Sizes 4, 2 and 1 test their bytes; size 8 tests
// its first 4 bytes as they lie in memory (the low half of a little-endian
// word, the high half of a big-endian one); any other size counts as an
// interrupt frame.
bool TxFrameFlagIsInterrupt(const uint8_t* flagBytes, int64_t flagSize);

// Assembles count (0 to 8) bytes into a value in the target's byte order.
uint64_t TxFrameAssemble(const uint8_t* bytes, int count, bool bigEndian);

// Whether a frame word test may be read: 1, 2, 4 or 8 bytes.
bool TxFrameWordSizeValid(int64_t size);

// Whether test holds on its word (test.size bytes, read from the target).
bool TxFrameWordTestHolds(const FrameWordTest& test, const uint8_t* word, bool bigEndian);

// A slot's place in the frame of one kind.
struct SlotPlace {
  int64_t offset;
  int64_t size;
};
SlotPlace TxSlotPlace(const RegisterSlot& slot, int frameKind);
int64_t TxFrameSize(const RegisterLayout& layout, int frameKind);
int64_t TxFrameOffset(const RegisterLayout& layout, int frameKind);

// One saved frame as read from the target: bytes[0] lies at
// stackPointer - frameOffset, and frameSize bytes are valid.
struct FrameView {
  const uint8_t* bytes;
  int64_t frameOffset;
  int64_t frameSize;
  uint64_t stackPointer;
  bool bigEndian;
  int16_t cpumajor;       // of the session, for the CPU-specific rules
  int64_t stackPad = 0;   // TxFrameStackPad of this frame
};

// The bytes the layout's stack pad adds above a frame of the given kind:
// stackPadBytes when its test holds on the frame's bytes, else 0.
int64_t TxFrameStackPad(const RegisterLayout& layout, int frameKind, const uint8_t* frameBytes, bool bigEndian);

enum class SlotReadKind { kValue, kLive, kFailed };
struct SlotRead {
  SlotReadKind kind;
  uint64_t value;  // with kValue
};

// Decodes register regnum from its place in the frame: a value, "read the
// live register", or a failure (unknown size code, bytes outside the frame).
SlotRead TxFrameDecode(const FrameView& frame, SlotPlace place, int32_t regnum);

// The slot of regnum (binary search), or null.
const RegisterSlot* TxLayoutFindSlot(const RegisterLayout& layout, int32_t regnum);

// Checks the invariants of tx_register_layout.h. On failure *why (when not
// null) tells the first fault found.
bool TxLayoutCheck(const RegisterLayout& layout, std::string* why);
