// The register-layout database shipped with the plugin: it loads without a
// message, every Cortex-M architecture gets its entry, each entry decodes
// the frames its ThreadX port saves (the tables of the Cortex-M ports), and
// the build places the file beside the executable.
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

TEST(ShippedDatabaseFile, BuildPlacesItBesideTheExecutable) {
  EXPECT_TRUE(std::filesystem::exists(std::string(VUSK_BINARY_DIR) + kShipped));
}

}  // namespace
