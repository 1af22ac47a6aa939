// Frame decoding: size codes, byte orders, the status-word PC rule, the
// interrupt flag, frame word tests, the stack pad and the layout checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os_aware/threadx/tx_frame.h"

namespace {

class FrameDecode : public testing::Test {
 protected:
  FrameDecode() : bytes(64) {
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(0x10 + i);
  }
  SlotRead Decode(int64_t offset, int64_t size, int32_t regnum = 5) {
    FrameView view{bytes.data(), frameOffset, static_cast<int64_t>(bytes.size()), stackPointer, bigEndian, cpumajor,
                   stackPad};
    return TxFrameDecode(view, {offset, size}, regnum);
  }
  uint64_t Value(int64_t offset, int64_t size, int32_t regnum = 5) {
    SlotRead read = Decode(offset, size, regnum);
    EXPECT_EQ(read.kind, SlotReadKind::kValue);
    return read.value;
  }

  std::vector<uint8_t> bytes;
  int64_t frameOffset = 0;
  uint64_t stackPointer = 0x20001000;
  bool bigEndian = false;
  int16_t cpumajor = 16;
  int64_t stackPad = 0;
};

TEST_F(FrameDecode, ByteSizesInBothByteOrders) {
  EXPECT_EQ(Value(4, 4), 0x17161514u);
  EXPECT_EQ(Value(4, 2), 0x1514u);
  EXPECT_EQ(Value(4, 1), 0x14u);
  bigEndian = true;
  EXPECT_EQ(Value(4, 4), 0x14151617u);
  EXPECT_EQ(Value(4, 2), 0x1415u);
  EXPECT_EQ(Value(4, 1), 0x14u);
}

TEST_F(FrameDecode, FrameOffsetShiftsTheBufferIndex) {
  frameOffset = 8;  // the frame was read from SP - 8
  EXPECT_EQ(Value(0, 4), 0x1b1a1918u);
  EXPECT_EQ(Decode(-9, 1).kind, SlotReadKind::kFailed);
  EXPECT_EQ(Value(-8, 1), 0x10u);
}

TEST_F(FrameDecode, CodesWithoutFrameBytes) {
  EXPECT_EQ(Value(12, 0), 0u);
  EXPECT_EQ(Decode(12, 0x1000).kind, SlotReadKind::kLive);
  EXPECT_EQ(Value(84, 0x2000), 0x20001000u + 84);
  EXPECT_EQ(Value(84, 0x2002), (0x20001000u + 84) >> 2);
  EXPECT_EQ(Value(0, 0x2000 + 64 + 3), 0x20001000u >> 3);  // only the low 6 bits shift
  stackPointer = 0x1234567800000000ull;
  EXPECT_EQ(Value(16, 0x2000), 0x1234567800000010ull);  // the stack pointer stays whole
}

TEST_F(FrameDecode, StackPadMovesOnlyTheStackPointerAboveTheFrame) {
  stackPad = 4;
  EXPECT_EQ(Value(68, 0x2000), 0x20001000u + 68 + 4);
  EXPECT_EQ(Value(68, 0x2002), (0x20001000u + 68 + 4) >> 2);
  EXPECT_EQ(Value(4, 4), 0x17161514u);
}

TEST_F(FrameDecode, UnknownCodesAndBytesOutsideTheFrameFail) {
  for (int64_t size : {3, 5, 8, 0x800, -1}) EXPECT_EQ(Decode(0, size).kind, SlotReadKind::kFailed) << size;
  EXPECT_EQ(Decode(61, 4).kind, SlotReadKind::kFailed);
  EXPECT_EQ(Decode(-1, 1).kind, SlotReadKind::kFailed);
  EXPECT_EQ(Value(60, 4), 0x4f4e4d4cu);
}

TEST_F(FrameDecode, StatusWordPcRuleOnlyForItsCpuAndRegister) {
  bytes[4] = 0x40;  // little-endian word 0x17161540
  cpumajor = 39;
  EXPECT_EQ(Value(4, 0x4004, 70), (0x161540u) << 2);
  EXPECT_EQ(Value(4, 0x4004, 71), 0x17161540u);
  cpumajor = 16;
  EXPECT_EQ(Value(4, 0x4004, 70), 0x17161540u);
  cpumajor = 39;
  EXPECT_EQ(Value(4, 0x4000, 70), 0u);  // size 0 within the special code
  EXPECT_EQ(Value(4, 0x4002, 70), 0x1540u << 2);
}

TEST(FrameFlag, SizesPickTheBytesTested) {
  const uint8_t zeros[8] = {};
  const uint8_t highHalf[8] = {0, 0, 0, 0, 1, 0, 0, 0};
  const uint8_t thirdByte[8] = {0, 0, 1, 0, 0, 0, 0, 0};
  EXPECT_FALSE(TxFrameFlagIsInterrupt(zeros, 8));
  EXPECT_FALSE(TxFrameFlagIsInterrupt(highHalf, 8));  // 8 tests the first 4 bytes only
  EXPECT_TRUE(TxFrameFlagIsInterrupt(thirdByte, 4));
  EXPECT_FALSE(TxFrameFlagIsInterrupt(thirdByte, 2));
  EXPECT_FALSE(TxFrameFlagIsInterrupt(thirdByte, 1));
  for (int64_t odd : {0, 3, 5}) EXPECT_TRUE(TxFrameFlagIsInterrupt(zeros, odd)) << odd;
}

TEST(FrameAssemble, UpToEightBytes) {
  const uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(TxFrameAssemble(b, 8, true), 0x0102030405060708ull);
  EXPECT_EQ(TxFrameAssemble(b, 8, false), 0x0807060504030201ull);
  EXPECT_EQ(TxFrameAssemble(b, 0, false), 0u);
}

TEST(FrameWordTest, MaskAndValueInTheTargetByteOrder) {
  const uint8_t extended[8] = {0xed, 0xff, 0xff, 0xff, 0, 0, 0, 0x80};  // EXC_RETURN 0xffffffed
  const uint8_t integer[4] = {0xfd, 0xff, 0xff, 0xff};                   // 0xfffffffd
  const FrameWordTest bit4Clear{0, 4, 0x10, 0};
  EXPECT_TRUE(TxFrameWordTestHolds(bit4Clear, extended, false));
  EXPECT_FALSE(TxFrameWordTestHolds(bit4Clear, integer, false));
  EXPECT_FALSE(TxFrameWordTestHolds(bit4Clear, extended, true));  // 0xedffffff
  // The word's own size: 2 bytes see 0xffed, 8 bytes see the top bit.
  EXPECT_TRUE(TxFrameWordTestHolds({0, 2, 0xffff, 0xffed}, extended, false));
  EXPECT_TRUE(TxFrameWordTestHolds({0, 8, 0x8000000000000010ull, 0x8000000000000000ull}, extended, false));
  EXPECT_FALSE(TxFrameWordTestHolds({0, 4, 0x80000010, 0x80000000}, extended, true));
  for (int64_t size : {1, 2, 4, 8}) EXPECT_TRUE(TxFrameWordSizeValid(size));
  for (int64_t size : {0, 3, 5, 16, -4}) EXPECT_FALSE(TxFrameWordSizeValid(size));
}

TEST(FrameStackPad, AddedWhenTheStatusWordSaysSo) {
  // xPSR at 64 from the stack pointer: bit 9 set means a 4-byte pad above
  // the frame. The interrupt frame is read from 4 below the stack pointer.
  RegisterLayout layout{0, 4, 68, 72, 0, 4, 0, nullptr};
  layout.stackPadTest = {64, 4, 0x200, 0x200};
  layout.stackPadBytes = 4;
  std::vector<uint8_t> frame(72);
  auto pad = [&](int kind, bool bigEndian = false) {
    return TxFrameStackPad(layout, kind, frame.data(), bigEndian);
  };
  EXPECT_EQ(pad(kSolicitedFrame), 0);
  frame[65] = 0x02;  // 0x00000200 at index 64
  EXPECT_EQ(pad(kSolicitedFrame), 4);
  EXPECT_EQ(pad(kSolicitedFrame, true), 0);  // 0x00020000
  EXPECT_EQ(pad(kInterruptFrame), 0);        // its word lies at index 68
  frame[69] = 0x02;
  EXPECT_EQ(pad(kInterruptFrame), 4);
  layout.stackPadTest.size = 0;  // no test: no pad
  EXPECT_EQ(pad(kSolicitedFrame), 0);
}

class LayoutCheck : public testing::Test {
 protected:
  bool Check() {
    layout.registerCount = static_cast<int32_t>(slots.size());
    layout.slots = slots.data();
    return TxLayoutCheck(layout, &why);
  }
  std::vector<RegisterSlot> slots{{0, 0, 0, 28, 4}, {1, 84, 0x2000, 144, 0x2000}, {14, 80, 4, 140, 4}};
  RegisterLayout layout{0, 4, 84, 144, 0, 0, 0, nullptr};
  std::string why;
};

TEST_F(LayoutCheck, AcceptsSlotsInsideTheirFrames) { EXPECT_TRUE(Check()) << why; }

TEST_F(LayoutCheck, RejectsWhatWouldReadOutOfBounds) {
  slots[2].solicitedOffset = 81;
  EXPECT_FALSE(Check());
  EXPECT_NE(why.find("register 14"), std::string::npos) << why;
  slots[2].solicitedOffset = 80;
  layout.interruptFrameSize = 1025;
  EXPECT_FALSE(Check());
  layout.interruptFrameSize = 144;
  layout.solicitedFrameOffset = -4;  // register 14 now reads indices 76-79
  EXPECT_TRUE(Check()) << why;
  layout.interruptFrameOffset = 8;  // 140 + 8 + 4 > 144
  EXPECT_FALSE(Check());
  layout.interruptFrameOffset = 0;
  layout.interruptFlagSize = 9;
  EXPECT_FALSE(Check());
  layout.interruptFlagSize = 0;
  EXPECT_FALSE(Check());
  layout.interruptFlagSize = 4;
  layout.solicitedFrameSize = -1;
  EXPECT_FALSE(Check());
}

TEST_F(LayoutCheck, StackPadWordMustLieInBothFrames) {
  layout.stackPadTest = {80, 4, 0x200, 0x200};
  layout.stackPadBytes = 4;
  EXPECT_TRUE(Check()) << why;
  layout.stackPadTest.offset = 82;  // 82 + 4 > 84, the solicited frame's end
  EXPECT_FALSE(Check());
  EXPECT_NE(why.find("stack pad"), std::string::npos) << why;
  layout.stackPadTest.offset = -4;
  EXPECT_FALSE(Check());
  layout.stackPadTest.offset = 0;
  layout.stackPadTest.size = 3;
  EXPECT_FALSE(Check());
}

TEST_F(LayoutCheck, RejectsUnsortedSlots) {
  std::swap(slots[0], slots[2]);
  EXPECT_FALSE(Check());
}

}  // namespace
