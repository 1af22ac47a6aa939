// The register-layout database shipped with the plugin: it loads without a
// message, its entry builds a layout that fits, and the build places it
// beside the executable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "os_aware/threadx/tx_frame.h"
#include "os_aware/threadx/tx_layout_build.h"
#include "tests/config/config_test_util.h"

namespace {

constexpr char kShipped[] = "/config/os_aware/threadx_fm.odb";

TEST(ShippedDatabase, CortexMEntryDecodesItsFrame) {
  CapturedMessages messages;
  attr_database db;
  attr_database_init(&db, "threadx registers", nullptr, false);
  attr_database_set_int_lists(&db, true);
  std::string path = std::string(VUSK_SOURCE_DIR) + kShipped;
  ASSERT_TRUE(attr_database_load(&db, path.c_str()));

  TxBuildOptions options{true, false, 0};
  TxLayoutChoice choice{};
  TxSelectLayout(db.root, 14, 41, &options, &choice);
  ASSERT_TRUE(choice.ownsIntLayout);
  const RegisterLayout& layout = *choice.intLayout;
  EXPECT_EQ(layout.registerCount, 17);
  EXPECT_EQ(layout.interruptFrameSize, 68);

  // A frame as PendSV leaves it: EXC_RETURN, r4-r11, then the stacked r0-r3,
  // r12, lr, pc, xPSR.
  uint8_t frame[68] = {};
  auto put = [&frame](int offset, uint32_t value) {
    for (int i = 0; i < 4; i++) frame[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(0, 0xfffffffd);
  for (int r = 4; r <= 11; r++) put(4 * (r - 3), 0x40 + r);
  put(36, 0x40);
  put(60, 0x08001234);
  put(64, 0x01000000);
  EXPECT_TRUE(TxFrameFlagIsInterrupt(frame, layout.interruptFlagSize));
  FrameView view{frame, 0, 68, 0x20000f00, false, 14};
  auto read = [&](int32_t regnum) {
    const RegisterSlot* slot = TxLayoutFindSlot(layout, regnum);
    return slot ? TxFrameDecode(view, TxSlotPlace(*slot, kInterruptFrame), regnum).value : ~0ull;
  };
  EXPECT_EQ(read(0), 0x40u);
  EXPECT_EQ(read(7), 0x47u);
  EXPECT_EQ(read(13), 0x20000f00u + 68);
  EXPECT_EQ(read(15), 0x08001234u);
  EXPECT_EQ(read(16), 0x01000000u);

  TxLayoutChoiceRelease(&choice);
  TxSelectLayout(db.root, 14, 3, &options, &choice);  // other ARM cores keep the built-in layouts
  EXPECT_FALSE(choice.databaseKnowsCpu);
  EXPECT_FALSE(choice.ownsIntLayout);
  TxLayoutChoiceRelease(&choice);
  attr_database_destroy(&db);
  EXPECT_TRUE(messages.all().empty());
}

TEST(ShippedDatabase, BuildPlacesItBesideTheExecutable) {
  EXPECT_TRUE(std::filesystem::exists(std::string(VUSK_BINARY_DIR) + kShipped));
}

}  // namespace
