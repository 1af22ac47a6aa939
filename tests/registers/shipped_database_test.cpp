// The register-layout database shipped with the plugin: it loads without a
// message, every Cortex-M architecture and AArch64 get their entries, each
// entry decodes the frames its ThreadX port saves (the tables of the
// Cortex-M ports and of the ARMv8-A SMP port), and the build places the file
// beside the executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "os_aware/threadx/tx_frame.h"
#include "os_aware/threadx/tx_layout_build.h"
#include "tests/config/config_test_util.h"

namespace {

constexpr char kShipped[] = "/config/os_aware/threadx_fm.odb";

constexpr int16_t kArmMajor = 14;
constexpr int16_t kArmV6M = 40;
constexpr int16_t kArmV7M = 41;
constexpr int16_t kArmV7EM = 42;
constexpr int16_t kArmV8MMain = 43;
constexpr int16_t kArmV8MBase = 44;

// The host's register numbers.
constexpr int32_t kSp = 13, kLr = 14, kPc = 15, kXpsr = 16, kS0 = 17, kFpscr = 49;
constexpr uint64_t kStackPtr = 0x20001f00;  // tx_thread_stack_ptr
constexpr uint32_t kExcReturnInteger = 0xfffffffd;
constexpr uint32_t kExcReturnExtended = 0xffffffed;
constexpr uint32_t kAlignedBit = 0x200;  // xPSR bit 9

class ShippedDatabase : public testing::Test {
 protected:
  void SetUp() override {
    attr_database_init(&db, "threadx registers", nullptr, false);
    attr_database_set_int_lists(&db, true);
    std::string path = std::string(VUSK_SOURCE_DIR) + kShipped;
    ASSERT_TRUE(attr_database_load(&db, path.c_str()));
  }
  void TearDown() override {
    TxLayoutChoiceRelease(&choice);
    attr_database_destroy(&db);
    EXPECT_TRUE(messages.all().empty());
  }
  void Select(int16_t minor) {
    TxLayoutChoiceRelease(&choice);
    TxBuildOptions options{true, false, 0};
    TxSelectLayout(db.root, kArmMajor, minor, &options, &choice);
  }
  // A frame of size bytes holding the given words (little-endian) at their
  // offsets from tx_thread_stack_ptr.
  static std::vector<uint8_t> Frame(int size, const std::map<int, uint32_t>& words) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (const auto& [offset, value] : words)
      for (int i = 0; i < 4; i++) bytes[static_cast<size_t>(offset + i)] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
  }
  // What a read of regnum gives for a thread that saved frame: the layout
  // its EXC_RETURN chooses, as the plugin reads it; ~0 for no value.
  uint64_t Read(const std::vector<uint8_t>& frame, int32_t regnum) {
    const RegisterLayout* layout = choice.intLayout;
    if (choice.fpFrameTest.size != 0 && TxFrameWordTestHolds(choice.fpFrameTest, frame.data(), false))
      layout = choice.fpLayout;
    EXPECT_EQ(TxFrameSize(*layout, kInterruptFrame), static_cast<int64_t>(frame.size()));
    EXPECT_TRUE(TxFrameFlagIsInterrupt(frame.data(), layout->interruptFlagSize));  // EXC_RETURN is never 0
    const RegisterSlot* slot = TxLayoutFindSlot(*layout, regnum);
    if (!slot) return ~1ull;  // would be read from the CPU
    FrameView view{frame.data(), 0, static_cast<int64_t>(frame.size()), kStackPtr, false, kArmMajor,
                   TxFrameStackPad(*layout, kInterruptFrame, frame.data(), false)};
    SlotRead read = TxFrameDecode(view, TxSlotPlace(*slot, kInterruptFrame), regnum);
    return read.kind == SlotReadKind::kValue ? read.value : ~0ull;
  }

  CapturedMessages messages;
  attr_database db;
  TxLayoutChoice choice{};
};

TEST_F(ShippedDatabase, EveryCortexMArchitectureHasItsEntry) {
  for (int16_t minor : {kArmV6M, kArmV7M, kArmV7EM, kArmV8MMain, kArmV8MBase}) {
    Select(minor);
    EXPECT_TRUE(choice.ownsIntLayout) << minor;
    // Only the architectures with an optional FPU tell frames by EXC_RETURN.
    bool fpu = minor == kArmV7M || minor == kArmV7EM || minor == kArmV8MMain;
    EXPECT_EQ(choice.fpLayout != nullptr, fpu) << minor;
    EXPECT_EQ(choice.fpFlag, nullptr);
    if (fpu) {
      EXPECT_EQ(choice.fpFrameTest.offset, 0);
      EXPECT_EQ(choice.fpFrameTest.size, 4);
      EXPECT_EQ(choice.fpFrameTest.mask, 0x10u);  // EXC_RETURN bit 4 clear: extended frame
      EXPECT_EQ(choice.fpFrameTest.value, 0u);
    }
  }
  Select(3);  // other minors of the family keep the built-in layouts
  EXPECT_FALSE(choice.databaseKnowsCpu);
  EXPECT_FALSE(choice.ownsIntLayout);
}

TEST_F(ShippedDatabase, IntegerFrameOfArmV7MAndV8M) {
  // EXC_RETURN, r4-r11, then the stacked r0-r3, r12, lr, pc, xPSR.
  std::map<int, uint32_t> words{{0, kExcReturnInteger}, {36, 0xa0}, {40, 0xa1}, {44, 0xa2}, {48, 0xa3},
                                {52, 0xac},  {56, 0x4949},  {60, 0x151a}, {64, 0x61000000}};
  for (int r = 4; r <= 11; r++) words[4 * (r - 3)] = 0x40 + static_cast<uint32_t>(r);
  for (int16_t minor : {kArmV7M, kArmV7EM, kArmV8MMain}) {
    Select(minor);
    std::vector<uint8_t> frame = Frame(68, words);
    for (int r = 0; r <= 3; r++) EXPECT_EQ(Read(frame, r), 0xa0u + static_cast<uint32_t>(r));
    for (int r = 4; r <= 11; r++) EXPECT_EQ(Read(frame, r), 0x40u + static_cast<uint32_t>(r));
    EXPECT_EQ(Read(frame, 12), 0xacu);
    EXPECT_EQ(Read(frame, kLr), 0x4949u);
    EXPECT_EQ(Read(frame, kPc), 0x151au);
    EXPECT_EQ(Read(frame, kXpsr), 0x61000000u);
    EXPECT_EQ(Read(frame, kSp), kStackPtr + 68);
    // No floating-point context of its own: no value, not the CPU's.
    for (int32_t reg = kS0; reg <= kFpscr; reg++) EXPECT_EQ(Read(frame, reg), ~0ull) << reg;
    words[64] |= kAlignedBit;  // the hardware aligned the stack: 4 bytes above
    EXPECT_EQ(Read(Frame(68, words), kSp), kStackPtr + 72);
    words[64] &= ~kAlignedBit;
  }
}

TEST_F(ShippedDatabase, ExtendedFrameOfArmV7EMAndV8M) {
  // EXC_RETURN, s16-s31, r4-r11, r0-r3, r12, lr, pc, xPSR, s0-s15, FPSCR,
  // a reserved word.
  std::map<int, uint32_t> words{{0, kExcReturnExtended}, {100, 0xa0}, {112, 0xa3}, {116, 0xac},
                                {120, 0x4949},           {124, 0x151a}, {128, 0x61000000},
                                {196, 0x10},             {200, 0xefefefef}};
  for (int s = 16; s <= 31; s++) words[4 + 4 * (s - 16)] = 0x43000000u + static_cast<uint32_t>(s);
  for (int r = 4; r <= 11; r++) words[68 + 4 * (r - 4)] = 0x40 + static_cast<uint32_t>(r);
  for (int s = 0; s <= 15; s++) words[132 + 4 * s] = 0x42000000u + static_cast<uint32_t>(s);
  for (int16_t minor : {kArmV7EM, kArmV8MMain}) {
    Select(minor);
    std::vector<uint8_t> frame = Frame(204, words);
    EXPECT_EQ(Read(frame, 0), 0xa0u);
    EXPECT_EQ(Read(frame, 3), 0xa3u);
    for (int r = 4; r <= 11; r++) EXPECT_EQ(Read(frame, r), 0x40u + static_cast<uint32_t>(r));
    EXPECT_EQ(Read(frame, 12), 0xacu);
    EXPECT_EQ(Read(frame, kLr), 0x4949u);
    EXPECT_EQ(Read(frame, kPc), 0x151au);
    EXPECT_EQ(Read(frame, kXpsr), 0x61000000u);
    for (int s = 0; s <= 15; s++) EXPECT_EQ(Read(frame, kS0 + s), 0x42000000u + static_cast<uint32_t>(s));
    for (int s = 16; s <= 31; s++) EXPECT_EQ(Read(frame, kS0 + s), 0x43000000u + static_cast<uint32_t>(s));
    EXPECT_EQ(Read(frame, kFpscr), 0x10u);
    EXPECT_EQ(Read(frame, kSp), kStackPtr + 204);
    words[128] |= kAlignedBit;
    EXPECT_EQ(Read(Frame(204, words), kSp), kStackPtr + 208);
    words[128] &= ~kAlignedBit;
  }
}

TEST_F(ShippedDatabase, ArmV6MSavesR8ToR11BeforeR4ToR7) {
  Select(kArmV6M);
  std::map<int, uint32_t> words{{0, kExcReturnInteger}, {36, 0xa0}, {60, 0x151a}, {64, 0x01000000}};
  for (int r = 8; r <= 11; r++) words[4 + 4 * (r - 8)] = 0x40 + static_cast<uint32_t>(r);
  for (int r = 4; r <= 7; r++) words[20 + 4 * (r - 4)] = 0x40 + static_cast<uint32_t>(r);
  std::vector<uint8_t> frame = Frame(68, words);
  for (int r = 4; r <= 11; r++) EXPECT_EQ(Read(frame, r), 0x40u + static_cast<uint32_t>(r)) << r;
  EXPECT_EQ(Read(frame, 0), 0xa0u);
  EXPECT_EQ(Read(frame, kPc), 0x151au);
  EXPECT_EQ(Read(frame, kSp), kStackPtr + 68);
  words[64] |= kAlignedBit;
  EXPECT_EQ(Read(Frame(68, words), kSp), kStackPtr + 72);
}

TEST_F(ShippedDatabase, ArmV8MBaselineShowsNoGuessedValues) {
  Select(kArmV8MBase);
  std::vector<uint8_t> frame = Frame(68, {{0, kExcReturnInteger}, {60, 0x151a}});
  for (int32_t reg = 0; reg <= kXpsr; reg++) EXPECT_EQ(Read(frame, reg), ~0ull) << reg;
}

// ---- AArch64 -------------------------------------------------------------------

constexpr int16_t kAarch64Major = 50;
// The host's numbers: xN is 2N (low half) and 2N + 1, then sp, pc, cpsr.
constexpr int32_t kA64Sp = 62, kA64Pc = 64, kA64Cpsr = 66;
constexpr uint64_t kA64StackPtr = 0x4001f000;
constexpr uint64_t kA64Elr = 0x40011120;
constexpr uint64_t kNoValue = ~0ull;

int32_t X(int n) { return 2 * n; }
uint64_t XValue(int n) { return 0x1111000000000000ull + static_cast<uint64_t>(n); }

class ShippedAarch64 : public ShippedDatabase {
 protected:
  void SetUp() override {
    ShippedDatabase::SetUp();
    TxBuildOptions options{true, false, 0};
    TxSelectLayout(db.root, kAarch64Major, 0, &options, &choice);
    ASSERT_NE(choice.intLayout, nullptr);
    ASSERT_NE(choice.fpLayout, nullptr);
  }
  // 8-byte words at their offsets from tx_thread_stack_ptr.
  static std::vector<uint8_t> Frame64(int size, const std::map<int, uint64_t>& words) {
    std::map<int, uint32_t> halves;
    for (const auto& [offset, value] : words) {
      halves[offset] = static_cast<uint32_t>(value);
      halves[offset + 4] = static_cast<uint32_t>(value >> 32);
    }
    return Frame(size, halves);
  }
  // The kind the frame's own word tells, as the plugin reads it.
  static int KindOf(const RegisterLayout& layout, const std::vector<uint8_t>& frame) {
    const uint8_t* flag = frame.data() + layout.interruptFlagOffset;
    return TxFrameFlagIsInterrupt(flag, layout.interruptFlagSize) ? kInterruptFrame : kSolicitedFrame;
  }
  uint64_t Half(const RegisterLayout& layout, const std::vector<uint8_t>& frame, int32_t regnum) {
    int kind = KindOf(layout, frame);
    EXPECT_EQ(TxFrameSize(layout, kind), static_cast<int64_t>(frame.size()));
    const RegisterSlot* slot = TxLayoutFindSlot(layout, regnum);
    EXPECT_NE(slot, nullptr) << "register " << regnum << " would be another thread's";
    if (!slot) return kNoValue;
    FrameView view{frame.data(), 0, static_cast<int64_t>(frame.size()), kA64StackPtr, false, kAarch64Major, 0};
    SlotRead read = TxFrameDecode(view, TxSlotPlace(*slot, kind), regnum);
    return read.kind == SlotReadKind::kValue ? read.value : kNoValue;
  }
  // A 64-bit register from its two numbers; kNoValue when either has none.
  uint64_t Wide(const RegisterLayout& layout, const std::vector<uint8_t>& frame, int32_t regnum) {
    uint64_t low = Half(layout, frame, regnum), high = Half(layout, frame, regnum + 1);
    if (low == kNoValue || high == kNoValue) return kNoValue;
    return high << 32 | low;
  }
};

TEST_F(ShippedAarch64, TheThreadsFpFlagChoosesTheFrames) {
  EXPECT_TRUE(choice.ownsIntLayout);
  EXPECT_STREQ(choice.fpFlag, "tx_thread_fp_enable");
  EXPECT_EQ(choice.fpFrameTest.size, 0) << "the frame itself does not tell";
  for (const RegisterLayout* layout : {choice.intLayout, choice.fpLayout}) {
    EXPECT_EQ(layout->interruptFlagOffset, 8);
    for (int32_t reg = 0; reg <= kA64Cpsr; reg++) EXPECT_NE(TxLayoutFindSlot(*layout, reg), nullptr) << reg;
  }
  EXPECT_EQ(TxFrameSize(*choice.intLayout, kSolicitedFrame), 112);
  EXPECT_EQ(TxFrameSize(*choice.intLayout, kInterruptFrame), 272);
  EXPECT_EQ(TxFrameSize(*choice.fpLayout, kSolicitedFrame), 256);
  EXPECT_EQ(TxFrameSize(*choice.fpLayout, kInterruptFrame), 800);
}

// _tx_thread_system_return: DAIF, 0, then x27 x28 x25 x26 ... x19 x20 x29
// x30 after the floating-point part (FPSR, FPCR, q14 q15 ... q8 q9).
TEST_F(ShippedAarch64, SolicitedFramesKeepTheCalleeSavedRegisters) {
  const int order[] = {27, 28, 25, 26, 23, 24, 21, 22, 19, 20, 29, 30};
  for (bool fp : {false, true}) {
    const RegisterLayout& layout = fp ? *choice.fpLayout : *choice.intLayout;
    int first = fp ? 160 : 16, size = fp ? 256 : 112;
    std::map<int, uint64_t> words{{0, 0x3c0}, {8, 0}};
    if (fp) words[16] = 0x10;  // FPSR, beside the integer registers
    for (int i = 0; i < 12; i++) words[first + 8 * i] = XValue(order[i]);
    std::vector<uint8_t> frame = Frame64(size, words);
    for (int n = 19; n <= 30; n++) EXPECT_EQ(Wide(layout, frame, X(n)), XValue(n)) << "x" << n << " fp " << fp;
    for (int n = 0; n <= 18; n++) EXPECT_EQ(Wide(layout, frame, X(n)), kNoValue) << "x" << n << " is not kept";
    EXPECT_EQ(Wide(layout, frame, kA64Pc), XValue(30)) << "the thread resumes by RET to x30";
    EXPECT_EQ(Wide(layout, frame, kA64Sp), kA64StackPtr + static_cast<uint64_t>(size));
    EXPECT_EQ(Half(layout, frame, kA64Cpsr), kNoValue) << "DAIF alone is no cpsr";
  }
}

// Context save: SPSR, ELR, x28 x29 x26 x27 ... x20 x21, x18 x19 ... x0 x1,
// x29 x30, with FPSR, FPCR and q30 q31 ... q0 q1 after the ELR for FP threads.
TEST_F(ShippedAarch64, InterruptFramesKeepEveryRegister) {
  const int high[] = {28, 29, 26, 27, 24, 25, 22, 23, 20, 21};
  const int low[] = {18, 19, 16, 17, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1};
  for (bool fp : {false, true}) {
    const RegisterLayout& layout = fp ? *choice.fpLayout : *choice.intLayout;
    int first = fp ? 544 : 16, size = fp ? 800 : 272;
    std::map<int, uint64_t> words{{0, 0x60000005}, {8, kA64Elr}};
    for (int i = 0; i < 10; i++) words[first + 8 * i] = XValue(high[i]);
    for (int i = 0; i < 20; i++) words[first + 80 + 8 * i] = XValue(low[i]);
    words[first + 8] = 0xdead;  // x29 saved first, then overwritten by the pair restored last
    words[first + 240] = XValue(29);
    words[first + 248] = XValue(30);
    std::vector<uint8_t> frame = Frame64(size, words);
    for (int n = 0; n <= 30; n++) EXPECT_EQ(Wide(layout, frame, X(n)), XValue(n)) << "x" << n << " fp " << fp;
    EXPECT_EQ(Wide(layout, frame, kA64Pc), kA64Elr);
    EXPECT_EQ(Half(layout, frame, kA64Cpsr), 0x60000005u);
    EXPECT_EQ(Wide(layout, frame, kA64Sp), kA64StackPtr + static_cast<uint64_t>(size));
  }
}

TEST(ShippedDatabaseFile, BuildPlacesItBesideTheExecutable) {
  EXPECT_TRUE(std::filesystem::exists(std::string(VUSK_BINARY_DIR) + kShipped));
}

}  // namespace
