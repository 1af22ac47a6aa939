// The sample register-layout database parses to exactly the blocks the
// awareness logic walks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/libcxxutil/ut_file_parser.h"
#include "tests/config/config_test_util.h"

namespace {

using Texts = std::vector<std::string>;

Texts ChildNames(const attr_block* block) {
  Texts names;
  for (attr_block* child = block_first_child(block, false); child; child = block_next_sibling(child, false))
    names.emplace_back(child->name);
  return names;
}

std::vector<int32_t> IntList(const attr_int32_node* node) {
  std::vector<int32_t> out;
  for (; node; node = node->next) out.push_back(node->value);
  return out;
}

// (regnum, solicited regsize, offset, interrupt regsize, offset) per register.
std::vector<std::vector<int32_t>> Registers(attr_block* table) {
  std::vector<std::vector<int32_t>> out;
  for (attr_block* reg = block_first_child(table, false); reg; reg = block_next_sibling(reg, false)) {
    out.push_back({get_int32(reg, "regnum", -1), get_child_int32(reg, "solicited", "regsize", -1),
                   get_child_int32(reg, "solicited", "offset", -1), get_child_int32(reg, "interrupt", "regsize", -1),
                   get_child_int32(reg, "interrupt", "offset", -1)});
  }
  return out;
}

class SampleDatabaseTest : public testing::Test {
 protected:
  void SetUp() override {
    attr_database_init(&db, "threadx registers", nullptr, false);
    attr_database_set_int_lists(&db, true);
  }
  void TearDown() override { attr_database_destroy(&db); }
  attr_database db;
  CapturedMessages messages;
};

TEST_F(SampleDatabaseTest, ParsesToTheExpectedBlocks) {
  std::string path = std::string(VUSK_SOURCE_DIR) + "/tests/config/data/threadx_fm_sample.odb";
  ASSERT_TRUE(attr_database_load(&db, path.c_str()));
  EXPECT_TRUE(messages.all().empty());
  EXPECT_EQ(db.files.size(), 2u);
  EXPECT_EQ(ChildNames(db.root), (Texts{"threadx_vusk_cpu", "regs_cortex_m", "regs_cortex_m_fp", "regs_arm9"}));

  attr_block* cpus = block_find_child(db.root, "threadx_vusk_cpu");
  EXPECT_EQ(ChildNames(cpus), (Texts{"cortex_m4", "arm9", "arm_any"}));

  attr_block* m4 = block_find_child(cpus, "cortex_m4");
  EXPECT_EQ(get_int32(m4, "cpumajor", -1), 16);
  EXPECT_EQ(IntList(find_int32_list(m4, "cpuminor")), (std::vector<int32_t>{7, 8, 21, 22, 26}));
  EXPECT_STREQ(find_str(m4, "fp_flag", nullptr), "tx_thread_vfp_enable");
  EXPECT_EQ(find_int32(m4, "buildopt", 0), 0);
  EXPECT_STREQ(get_str(m4, "regtbl", nullptr), "regs_cortex_m");
  EXPECT_STREQ(find_str(m4, "regtbl_fp", nullptr), "regs_cortex_m_fp");
  EXPECT_EQ(get_child_int32(m4, "interrupt_flag", "offset", -1), 0);
  EXPECT_EQ(get_child_int32(m4, "interrupt_flag", "size", -1), 4);
  attr_block* format = block_find_child(m4, "register_save_format");
  EXPECT_EQ(ChildNames(format), (Texts{"solicited", "interrupt"}));
  EXPECT_EQ(get_child_int32(format, "solicited", "size", -1), 84);
  EXPECT_EQ(get_child_int32(format, "interrupt", "size", -1), 144);
  EXPECT_EQ(get_child_int32(block_find_child(m4, "register_save_format_fp"), "interrupt", "size", -1), 208);
  EXPECT_EQ(ChildNames(m4), (Texts{"interrupt_flag", "register_save_format", "interrupt_flag_fp",
                                   "register_save_format_fp"}));

  attr_block* arm9 = block_find_child(cpus, "arm9");
  EXPECT_EQ(get_int32(arm9, "cpumajor", -1), 14);
  EXPECT_EQ(find_int32(arm9, "cpuminor", -2), 3);
  EXPECT_EQ(find_int32_list(arm9, "cpuminor"), nullptr);
  EXPECT_EQ(find_int32(arm9, "buildopt", 0), 0x10);
  EXPECT_EQ(find_int32(arm9, "buildoptmask", 0), 0x30);
  EXPECT_EQ(find_str(arm9, "fp_flag", nullptr), nullptr);
  EXPECT_EQ(get_child_int32(block_find_child(arm9, "register_save_format"), "interrupt", "size", -1), 140);

  attr_block* any = block_find_child(cpus, "arm_any");
  EXPECT_EQ(find_int32(any, "cpuminor", 0), -1);

  EXPECT_EQ(Registers(block_find_child(db.root, "regs_cortex_m")),
            (std::vector<std::vector<int32_t>>{{0, 0, 0, 4, 28},
                                               {1, 0x2000, 84, 0x2000, 144},
                                               {2, 0x1000, 0, 0x1000, 0},
                                               {14, 4, 12, 4, 72}}));
  EXPECT_EQ(Registers(block_find_child(db.root, "regs_cortex_m_fp")),
            (std::vector<std::vector<int32_t>>{{0, 0, 0, 4, 92}, {80, 4, 20, 4, 84}}));
  EXPECT_EQ(Registers(block_find_child(db.root, "regs_arm9")),
            (std::vector<std::vector<int32_t>>{{16, 4, 4, 4, 4}, {0, 0, 0, 4, 8}, {15, 4, 56, 4, 136}}));
  EXPECT_TRUE(messages.all().empty());
}

// The awareness logic's three-directory load, with the user directory
// overriding and extending the site defaults.
TEST_F(SampleDatabaseTest, UserDirectoryExtendsEarlierFiles) {
  ScratchDir dir;
  std::string source = std::string(VUSK_SOURCE_DIR) + "/tests/config/data/";
  dir.Write("user/os_aware/threadx_fm.odb",
            "%include \"" + source + "threadx_fm_sample.odb\"\n"
            "threadx_vusk_cpu.arm9.cpuminor = { 3, 4 }\n"
            "regs_arm9.r1 { regnum = 1 solicited { regsize = 4 offset = 12 } interrupt { regsize = 4 offset = 12 } }\n");
  ASSERT_TRUE(attr_database_load_config(&db, "os_aware/threadx_fm.odb", (dir.path() + "/user").c_str()));
  attr_block* arm9 = block_find_child(block_find_child(db.root, "threadx_vusk_cpu"), "arm9");
  EXPECT_EQ(IntList(find_int32_list(arm9, "cpuminor")), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(ChildNames(block_find_child(db.root, "regs_arm9")), (Texts{"cpsr", "r0", "pc", "r1"}));
  EXPECT_TRUE(messages.all().empty());
}

}  // namespace
