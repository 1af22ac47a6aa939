// The built-in CPU table: which rows pick which layout, the layouts' sizes,
// and the register rows that pin each layout down.
#include <gtest/gtest.h>

#include <string>

#include "os_aware/threadx/tx_builtin_layouts.h"
#include "os_aware/threadx/tx_frame.h"

namespace {

using enum BuiltinLayoutId;

struct Expected {
  BuiltinLayoutId id;
  int64_t solicited;
  int64_t interrupt;
  int32_t registers;
};

constexpr Expected kExpected[] = {
    {A, 84, 144, 40}, {B, 236, 408, 105}, {C, 168, 272, 74}, {D, 60, 140, 38},
    {E, 60, 128, 35}, {F, 44, 68, 17},    {G, 56, 128, 34},  {H, 108, 260, 66},
    {I, 184, 560, 158}, {J, 32, 48, 12},  {K, 68, 168, 36},  {L, 72, 172, 37},
};

TEST(BuiltinLayouts, EveryLayoutHasItsSizesAndFitsTheFrameBuffer) {
  for (const Expected& expected : kExpected) {
    SCOPED_TRACE(static_cast<int>(expected.id));
    const RegisterLayout* layout = TxBuiltinLayout(expected.id);
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->interruptFlagOffset, 0);
    EXPECT_EQ(layout->interruptFlagSize, 4);
    EXPECT_EQ(layout->solicitedFrameOffset, 0);
    EXPECT_EQ(layout->interruptFrameOffset, 0);
    EXPECT_EQ(layout->solicitedFrameSize, expected.solicited);
    EXPECT_EQ(layout->interruptFrameSize, expected.interrupt);
    EXPECT_EQ(layout->registerCount, expected.registers);
    std::string why;
    EXPECT_TRUE(TxLayoutCheck(*layout, &why)) << why;
  }
  EXPECT_EQ(TxBuiltinLayout(BuiltinLayoutId::kCount), nullptr);
}

TEST(BuiltinLayouts, RowsMatchInOrderWithAnyMinorLast) {
  struct Case {
    int16_t major, minor;
    BuiltinLayoutId id;
  };
  const Case cases[] = {
      {16, 7, A},  {16, 78, A}, {16, 15, A}, {16, 20, A}, {16, 4, B},  {16, 16, B}, {16, 39, C},
      {16, 44, C}, {16, 0, B},  {16, 99, B}, {14, 3, D},  {14, 4, E},  {8, 3, E},   {24, 0, F},
      {10, 3, G},  {10, 1, H},  {10, 0, G},  {10, 2, G},  {33, 5, I},  {4, 1, J},   {39, 0, K},
      {39, 1, L},  {39, 3, L},  {39, 9, L},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "/" + std::to_string(c.minor));
    EXPECT_EQ(TxBuiltinLayoutFor(c.major, c.minor), TxBuiltinLayout(c.id));
  }
  EXPECT_EQ(TxBuiltinLayoutFor(99, 0), nullptr);
  EXPECT_EQ(TxBuiltinLayoutFor(0, -1), nullptr);

  int count = 0;
  const BuiltinLayoutRow* rows = TxBuiltinLayoutRows(&count);
  EXPECT_EQ(count, 44);
  EXPECT_EQ(rows[0].cpumajor, 16);
  EXPECT_EQ(rows[count - 1].cpuminor, kAnyMinor);
}

void ExpectSlot(const RegisterLayout& layout, int32_t regnum, int64_t solicitedOffset, int64_t solicitedSize,
                int64_t interruptOffset, int64_t interruptSize) {
  SCOPED_TRACE(regnum);
  const RegisterSlot* slot = TxLayoutFindSlot(layout, regnum);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->solicitedSize, solicitedSize);
  EXPECT_EQ(slot->interruptSize, interruptSize);
  if (solicitedSize != kSlotLive && solicitedSize != 0) {
    EXPECT_EQ(slot->solicitedOffset, solicitedOffset);
  }
  if (interruptSize != kSlotLive && interruptSize != 0) {
    EXPECT_EQ(slot->interruptOffset, interruptOffset);
  }
}

TEST(BuiltinLayouts, TellingRowsOfAAndK) {
  const RegisterLayout& a = *TxBuiltinLayout(A);
  ExpectSlot(a, 0, 0, 0, 28, 4);
  ExpectSlot(a, 1, 84, 0x2000, 144, 0x2000);
  ExpectSlot(a, 2, 0, 0x1000, 0, 0x1000);
  ExpectSlot(a, 13, 0, 0x1000, 0, 0x1000);
  ExpectSlot(a, 14, 12, 4, 72, 4);

  const RegisterLayout& k = *TxBuiltinLayout(K);
  ExpectSlot(k, 70, 4, 0x4004, 20, 0x4004);
  EXPECT_EQ(TxLayoutFindSlot(*TxBuiltinLayout(L), 70)->interruptSize, 4);
}

TEST(BuiltinLayouts, SlotSearchFindsEveryRegisterAndNothingElse) {
  for (const Expected& expected : kExpected) {
    const RegisterLayout& layout = *TxBuiltinLayout(expected.id);
    for (int32_t i = 0; i < layout.registerCount; i++)
      EXPECT_EQ(TxLayoutFindSlot(layout, layout.slots[i].regnum), &layout.slots[i]);
    EXPECT_EQ(TxLayoutFindSlot(layout, -1), nullptr);
    EXPECT_EQ(TxLayoutFindSlot(layout, layout.slots[layout.registerCount - 1].regnum + 1), nullptr);
  }
  // Gaps inside a layout: MIPS k0/k1 are not saved.
  EXPECT_EQ(TxLayoutFindSlot(*TxBuiltinLayout(G), 26), nullptr);
  EXPECT_EQ(TxLayoutFindSlot(*TxBuiltinLayout(G), 27), nullptr);
}

}  // namespace
