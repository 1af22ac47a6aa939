// The register-layout database as target init meets it: loaded once from the
// user configuration directory the host names, CPU entries matched by major
// and minor (single value, list, -1 and 255 for any minor).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/libcxxutil/ut_file_parser.h"
#include "tests/config/config_test_util.h"
#include "tests/threadx/tx_fake_host.h"

namespace fs = std::filesystem;

namespace {

class LayoutDatabase : public testing::Test {
 protected:
  void SetUp() override {
    TxLayoutDatabaseReset();
    BridgeResetHostSettings();
    dir = fs::temp_directory_path() / ("tx_layout_db_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir / "os_aware");
    std::ofstream(dir / "os_aware" / "threadx_fm.odb") << R"(
threadx_vusk_cpu {
    cortex_m { cpumajor = 16  cpuminor = { 7, 8, 21 }  regtbl = "regs_m" }
    arm9     { cpumajor = 14  cpuminor = 3             regtbl = "regs_arm9" }
    mips_any { cpumajor = 10  cpuminor = 255           regtbl = "regs_mips" }
    risc     { cpumajor = 33  cpuminor = { -1, 2 }     regtbl = "regs_risc" }
    sh       { cpumajor = 24                           regtbl = "regs_sh" }
}
)";
    fake.Text("__user_cfg_dir", dir.string() + "\r\n");
  }

  void TearDown() override {
    TxLayoutDatabaseReset();
    BridgeResetHostSettings();
    fs::remove_all(dir);
  }

  const char* Table(int32_t major, int32_t minor) {
    attr_block* entry = TxLayoutNextCpuEntry(&fake.bc, nullptr, major, minor);
    return entry ? find_str(entry, "regtbl", "?") : nullptr;
  }

  fs::path dir;
  FakeHost fake;
};

TEST_F(LayoutDatabase, EntriesMatchByMajorAndMinor) {
  EXPECT_STREQ(Table(16, 8), "regs_m");
  EXPECT_EQ(Table(16, 9), nullptr);
  EXPECT_STREQ(Table(14, 3), "regs_arm9");
  EXPECT_EQ(Table(14, 4), nullptr);
  EXPECT_STREQ(Table(10, 123), "regs_mips") << "255 matches every minor";
  EXPECT_STREQ(Table(33, 9), "regs_risc") << "-1 in a list matches every minor";
  EXPECT_STREQ(Table(24, 0), "regs_sh") << "no cpuminor matches every minor";
  EXPECT_EQ(Table(51, 0), nullptr) << "a CPU no file names";
  EXPECT_EQ(fake.sent.size(), 1u) << "the directory is asked once, the file loaded once";
}

TEST_F(LayoutDatabase, ProbeRemembersThatTheCpuIsKnown) {
  EXPECT_FALSE(TxLayoutDatabaseProbe(&fake.bc, 8, 0));
  EXPECT_FALSE(TxLayoutDatabaseKnowsCpu());
  EXPECT_TRUE(TxLayoutDatabaseProbe(&fake.bc, 16, 21));
  EXPECT_TRUE(TxLayoutDatabaseKnowsCpu());
}

TEST_F(LayoutDatabase, ABrokenEntryIsReportedOncePerLoad) {
  CapturedMessages messages;
  ThreadxTargetState target{};
  target.cpumajor = 14;  // arm9: its entry has no frames
  target.cpuminor = 3;
  target.buildOptionsSettled = true;
  for (int read = 0; read < 18; read++) TxLayoutSelectForTarget(&fake.bc, &target);  // one per register read
  EXPECT_EQ(target.intLayout, nullptr);
  EXPECT_EQ(messages.texts().size(), 1u);
  TxLayoutDatabaseReset();
  TxLayoutSelectForTarget(&fake.bc, &target);
  EXPECT_EQ(messages.texts().size(), 2u) << "a new load reports its problems again";
}

TEST_F(LayoutDatabase, NoDirectoryFromTheHostLeavesAnEmptyDatabase) {
  fake.rules.clear();
  fake.Fail("__user_cfg_dir");
  EXPECT_FALSE(TxLayoutDatabaseProbe(&fake.bc, 16, 8));
  EXPECT_FALSE(TxLayoutDatabaseProbe(&fake.bc, 16, 8));
  EXPECT_EQ(fake.sent.size(), 1u) << "loaded once per process, even without the user directory";
}

}  // namespace
