// tx_frame: register decoding from saved frames; see tx_frame.h.
#include "os_aware/threadx/tx_frame.h"

#include <cinttypes>
#include <cstdio>

namespace {

// Registers whose saved word needs a CPU-specific conversion (size code
// kSlotSpecial + s). The only one: a program counter kept as a word address
// in the low 24 bits of a status-format word.
struct SpecialRule {
  int16_t cpumajor;
  int32_t regnum;
  uint64_t (*convert)(uint64_t saved);
};

uint64_t WordAddressFromStatusWord(uint64_t saved) { return (saved & 0xffffff) << 2; }

constexpr SpecialRule kSpecialRules[] = {
    {39, 70, WordAddressFromStatusWord},
};

constexpr int64_t kSpShiftMask = 63;

uint64_t ApplySpecialRule(uint64_t value, int16_t cpumajor, int32_t regnum) {
  for (const SpecialRule& rule : kSpecialRules)
    if (rule.cpumajor == cpumajor && rule.regnum == regnum) return rule.convert(value);
  return value;
}

bool CheckPlace(const RegisterLayout& layout, const RegisterSlot& slot, int frameKind, std::string* why) {
  SlotPlace place = TxSlotPlace(slot, frameKind);
  int64_t bytes = TxSlotBytesRead(place.size);
  if (bytes == 0) return true;
  int64_t first = place.offset + TxFrameOffset(layout, frameKind);
  if (first >= 0 && first + bytes <= TxFrameSize(layout, frameKind)) return true;
  if (why) {
    char text[160];
    snprintf(text, sizeof text, "register %" PRId32 " lies outside its %s frame (offset %" PRId64 ", size %" PRId64 ")",
             slot.regnum, frameKind == kInterruptFrame ? "interrupt" : "solicited", place.offset, place.size);
    *why = text;
  }
  return false;
}

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

// Where the stack pad's word starts in a frame of the given kind.
int64_t StackPadStart(const RegisterLayout& layout, int frameKind) {
  return layout.stackPadTest.offset + TxFrameOffset(layout, frameKind);
}

bool StackPadInside(const RegisterLayout& layout, int frameKind) {
  int64_t first = StackPadStart(layout, frameKind);
  return first >= 0 && first + layout.stackPadTest.size <= TxFrameSize(layout, frameKind);
}

bool CheckStackPad(const RegisterLayout& layout, std::string* why) {
  const FrameWordTest& test = layout.stackPadTest;
  if (test.size == 0) return true;
  if (!TxFrameWordSizeValid(test.size)) return Fail(why, "the stack pad word must have 1, 2, 4 or 8 bytes");
  if (!StackPadInside(layout, kSolicitedFrame) || !StackPadInside(layout, kInterruptFrame))
    return Fail(why, "the stack pad word lies outside a frame");
  return true;
}

}  // namespace

bool TxFrameFlagIsInterrupt(const uint8_t* flagBytes, int64_t flagSize) {
  // Only zero versus non-zero matters, so within the bytes tested the byte
  // order does not. An 8-byte flag is tested on its first 4 bytes in memory:
  // the low half of the word on a little-endian target, the high half on a
  // big-endian one.
  int64_t tested = flagSize == 8 ? 4 : flagSize;
  if (tested != 4 && tested != 2 && tested != 1) return true;
  for (int64_t i = 0; i < tested; i++)
    if (flagBytes[i]) return true;
  return false;
}

uint64_t TxFrameAssemble(const uint8_t* bytes, int count, bool bigEndian) {
  uint64_t value = 0;
  for (int i = 0; i < count; i++) value = (value << 8) | bytes[bigEndian ? i : count - 1 - i];
  return value;
}

bool TxFrameWordSizeValid(int64_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

bool TxFrameWordTestHolds(const FrameWordTest& test, const uint8_t* word, bool bigEndian) {
  return (TxFrameAssemble(word, static_cast<int>(test.size), bigEndian) & test.mask) == test.value;
}

int64_t TxFrameStackPad(const RegisterLayout& layout, int frameKind, const uint8_t* frameBytes, bool bigEndian) {
  const FrameWordTest& test = layout.stackPadTest;
  if (!TxFrameWordSizeValid(test.size) || !StackPadInside(layout, frameKind)) return 0;
  return TxFrameWordTestHolds(test, frameBytes + StackPadStart(layout, frameKind), bigEndian) ? layout.stackPadBytes
                                                                                               : 0;
}

SlotPlace TxSlotPlace(const RegisterSlot& slot, int frameKind) {
  if (frameKind == kInterruptFrame) return {slot.interruptOffset, slot.interruptSize};
  return {slot.solicitedOffset, slot.solicitedSize};
}

int64_t TxFrameSize(const RegisterLayout& layout, int frameKind) {
  return frameKind == kInterruptFrame ? layout.interruptFrameSize : layout.solicitedFrameSize;
}

int64_t TxFrameOffset(const RegisterLayout& layout, int frameKind) {
  return frameKind == kInterruptFrame ? layout.interruptFrameOffset : layout.solicitedFrameOffset;
}

SlotRead TxFrameDecode(const FrameView& frame, SlotPlace place, int32_t regnum) {
  int64_t size = place.size;
  // A negative code is a value missing from the database: nothing to decode.
  if (size < 0) return {SlotReadKind::kFailed, 0};
  if (size == kSlotLive) return {SlotReadKind::kLive, 0};
  if (size & kSlotSpAfter) {
    uint64_t above = frame.stackPointer + static_cast<uint64_t>(place.offset) + static_cast<uint64_t>(frame.stackPad);
    return {SlotReadKind::kValue, above >> (size & kSpShiftMask)};
  }
  bool special = (size & kSlotSpecial) != 0;
  if ((size & ~kSlotSpecial) == 0) return {SlotReadKind::kValue, 0};
  size = TxSlotBytesRead(size);
  if (size == 0) return {SlotReadKind::kFailed, 0};  // no size code this decoder knows
  int64_t first = place.offset + frame.frameOffset;
  if (first < 0 || first + size > frame.frameSize || first + size > kFrameBufferSize)
    return {SlotReadKind::kFailed, 0};
  uint64_t value = TxFrameAssemble(frame.bytes + first, static_cast<int>(size), frame.bigEndian);
  value &= size == 4 ? 0xffffffffu : (uint64_t{1} << (8 * size)) - 1;
  if (special) value = ApplySpecialRule(value, frame.cpumajor, regnum);
  return {SlotReadKind::kValue, value};
}

const RegisterSlot* TxLayoutFindSlot(const RegisterLayout& layout, int32_t regnum) {
  int32_t low = 0;
  int32_t high = layout.registerCount;
  while (low < high) {
    int32_t middle = low + (high - low) / 2;
    if (layout.slots[middle].regnum < regnum)
      low = middle + 1;
    else
      high = middle;
  }
  if (low < layout.registerCount && layout.slots[low].regnum == regnum) return &layout.slots[low];
  return nullptr;
}

bool TxLayoutCheck(const RegisterLayout& layout, std::string* why) {
  if (layout.interruptFlagSize < 1 || layout.interruptFlagSize > kMaxFrameWordSize)
    return Fail(why, "the interrupt flag size must lie between 1 and 8");
  if (layout.solicitedFrameSize < 0 || layout.solicitedFrameSize > kFrameBufferSize ||
      layout.interruptFrameSize < 0 || layout.interruptFrameSize > kFrameBufferSize)
    return Fail(why, "a frame size lies outside 0 to 1024 bytes");
  if (layout.registerCount < 0 || (layout.registerCount > 0 && !layout.slots))
    return Fail(why, "the register table is empty");
  if (!CheckStackPad(layout, why)) return false;
  for (int32_t i = 0; i < layout.registerCount; i++) {
    const RegisterSlot& slot = layout.slots[i];
    if (i > 0 && layout.slots[i - 1].regnum > slot.regnum) return Fail(why, "the registers are not sorted");
    if (!CheckPlace(layout, slot, kSolicitedFrame, why) || !CheckPlace(layout, slot, kInterruptFrame, why))
      return false;
  }
  return true;
}
