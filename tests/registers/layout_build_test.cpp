// Layouts built from small database files: CPU matching, build options,
// falling back to the built-in table, and entries that must be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "os_aware/threadx/tx_builtin_layouts.h"
#include "os_aware/threadx/tx_frame.h"
#include "os_aware/threadx/tx_layout_build.h"
#include "tests/config/config_test_util.h"

namespace {

// An entry for CPU 16 with the given extra lines, its frames and a register
// block "regs" of three registers written out of order.
std::string Entry(const std::string& name, const std::string& extra, const std::string& regtbl = "regs") {
  return "    " + name + " {\n        cpumajor = 16\n" + extra +
         (regtbl.empty() ? "" : "        regtbl = \"" + regtbl + "\"\n") +
         "        interrupt_flag { offset = 0 size = 4 }\n"
         "        register_save_format {\n"
         "            solicited { size = 40 offset = 0 }\n"
         "            interrupt { size = 72 offset = 0 }\n"
         "        }\n    }\n";
}

const char kRegs[] =
    "regs {\n"
    "    pc { regnum = 15 solicited { regsize = 4 offset = 36 } interrupt { regsize = 4 offset = 64 } }\n"
    "    r0 { regnum = 0  solicited { regsize = 0 offset = 0 }  interrupt { regsize = 4 offset = 8 } }\n"
    "    sp { regnum = 13 solicited { regsize = 0x2000 offset = 40 } interrupt { regsize = 0x2000 offset = 72 } }\n"
    "}\n";

class LayoutBuild : public testing::Test {
 protected:
  void SetUp() override {
    TxLayoutForgetReports();  // every test loads a database of its own
    attr_database_init(&db, "threadx registers", nullptr, false);
    attr_database_set_int_lists(&db, true);
  }
  void TearDown() override {
    TxLayoutChoiceRelease(&choice);
    attr_database_destroy(&db);
  }
  void Load(const std::string& entries, const std::string& tables = kRegs) {
    std::string path = scratch.Write("threadx_fm.odb", "threadx_vusk_cpu {\n" + entries + "}\n" + tables);
    ASSERT_TRUE(attr_database_load(&db, path.c_str()));
  }
  // Selects for (16, minor) with settled options; answers the chosen layout.
  const RegisterLayout* Select(int16_t minor, TxBuildOptions options = {true, false, 0}, int16_t major = 16) {
    TxLayoutChoiceRelease(&choice);
    TxSelectLayout(db.root, major, minor, &options, &choice);
    return choice.intLayout;
  }
  bool Built() const { return choice.intLayout && choice.ownsIntLayout; }

  ScratchDir scratch;
  CapturedMessages messages;
  attr_database db;
  TxLayoutChoice choice{};
};

TEST_F(LayoutBuild, SlotsComeSortedWithTheirFrames) {
  Load(Entry("cpu", ""));
  const RegisterLayout* layout = Select(3);
  ASSERT_TRUE(Built());
  EXPECT_TRUE(choice.databaseKnowsCpu);
  EXPECT_EQ(layout->interruptFlagOffset, 0);
  EXPECT_EQ(layout->interruptFlagSize, 4);
  EXPECT_EQ(layout->solicitedFrameSize, 40);
  EXPECT_EQ(layout->interruptFrameSize, 72);
  ASSERT_EQ(layout->registerCount, 3);
  EXPECT_EQ(layout->slots[0].regnum, 0);
  EXPECT_EQ(layout->slots[0].interruptOffset, 8);
  EXPECT_EQ(layout->slots[1].regnum, 13);
  EXPECT_EQ(layout->slots[1].solicitedSize, 0x2000);
  EXPECT_EQ(layout->slots[2].regnum, 15);
  EXPECT_EQ(layout->slots[2].solicitedOffset, 36);
  EXPECT_EQ(choice.fpLayout, nullptr);
  // Without the newer blocks: no frame word test, no stack pad.
  EXPECT_EQ(choice.fpFrameTest.size, 0);
  EXPECT_EQ(layout->stackPadTest.size, 0);
  EXPECT_EQ(layout->stackPadBytes, 0);
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(LayoutBuild, MinorNumbersListsAndWildcards) {
  Load(Entry("listed", "        cpuminor = { 5, 7 }\n", "") + Entry("single", "        cpuminor = 9\n", "") +
       Entry("wild", "        cpuminor = { 3, 0xFFFFFFFF }\n") + Entry("wild_first", "        cpuminor = { -1, 3 }\n"));
  attr_block* cpus = block_find_child(db.root, "threadx_vusk_cpu");
  attr_block* listed = block_find_child(cpus, "listed");
  attr_block* single = block_find_child(cpus, "single");
  // A later list element cannot carry a minus sign: -1 goes first, or is
  // written as its 32-bit pattern.
  attr_block* wild = block_find_child(cpus, "wild");
  attr_block* wildFirst = block_find_child(cpus, "wild_first");
  EXPECT_TRUE(TxEntryMatchesCpu(listed, 16, 7));
  EXPECT_FALSE(TxEntryMatchesCpu(listed, 16, 6));
  EXPECT_FALSE(TxEntryMatchesCpu(listed, 14, 7));
  EXPECT_TRUE(TxEntryMatchesCpu(single, 16, 9));
  EXPECT_FALSE(TxEntryMatchesCpu(single, 16, 8));
  for (int16_t minor : {0, 3, 200}) {
    EXPECT_TRUE(TxEntryMatchesCpu(wild, 16, minor));
    EXPECT_TRUE(TxEntryMatchesCpu(wildFirst, 16, minor));
  }

  Load(Entry("any255", "        cpuminor = 255\n") + Entry("absent", ""));
  EXPECT_TRUE(TxEntryMatchesCpu(block_find_child(cpus, "any255"), 16, 42));
  EXPECT_TRUE(TxEntryMatchesCpu(block_find_child(cpus, "absent"), 16, 42));
}

TEST_F(LayoutBuild, BuildOptionsSkipEntriesOnlyWhenTheKernelHasThem) {
  // Without a register table the second entry answers with the built-in
  // table, which tells the two entries apart.
  Load(Entry("opt", "        buildopt = 0x10\n        buildoptmask = 0x30\n") + Entry("other", "", ""));
  Select(7, {true, true, 0x10});
  EXPECT_TRUE(Built());
  Select(7, {true, true, 0x1f});
  EXPECT_TRUE(Built());
  Select(7, {true, true, 0x20});
  EXPECT_FALSE(Built());
  EXPECT_EQ(choice.intLayout, TxBuiltinLayout(BuiltinLayoutId::A));
  Select(7, {true, false, 0x20});  // no _tx_build_options: nothing is skipped
  EXPECT_TRUE(Built());
}

TEST_F(LayoutBuild, WithoutSettledOptionsOnlyTheMatchIsTold) {
  Load(Entry("cpu", ""));
  TxSelectLayout(db.root, 16, 7, nullptr, &choice);
  EXPECT_TRUE(choice.databaseKnowsCpu);
  EXPECT_EQ(choice.intLayout, nullptr);
  Select(7, {false, true, 0});
  EXPECT_TRUE(choice.databaseKnowsCpu);
  EXPECT_EQ(choice.intLayout, nullptr);
  TxSelectLayout(db.root, 10, 1, nullptr, &choice);  // not in the database
  EXPECT_FALSE(choice.databaseKnowsCpu);
  EXPECT_EQ(choice.intLayout, TxBuiltinLayout(BuiltinLayoutId::H));
}

TEST_F(LayoutBuild, MissingRegisterTableFallsBackToTheBuiltInTable) {
  Load(Entry("cpu", "", ""));
  EXPECT_EQ(Select(39), TxBuiltinLayout(BuiltinLayoutId::C));
  EXPECT_FALSE(choice.ownsIntLayout);
  EXPECT_TRUE(choice.databaseKnowsCpu);
  ASSERT_EQ(messages.texts().size(), 1u);
  EXPECT_NE(messages.texts()[0].find("is missing required str attribute \"regtbl\""), std::string::npos);
  EXPECT_EQ(Select(0, {true, false, 0}, 77), nullptr);  // unknown everywhere
}

TEST_F(LayoutBuild, FloatingPointLayoutNeedsFlagAndTable) {
  std::string fpBlocks =
      "        fp_flag = \"tx_thread_fp_enable\"\n"
      "        regtbl_fp = \"regs_fp\"\n"
      "        interrupt_flag_fp { offset = 4 size = 4 }\n"
      "        register_save_format_fp { solicited { size = 104 offset = 0 } interrupt { size = 200 offset = 0 } }\n";
  std::string fpTable =
      "regs_fp { s0 { regnum = 64 solicited { regsize = 4 offset = 100 } interrupt { regsize = 4 offset = 196 } } }\n";
  Load(Entry("cpu", fpBlocks), std::string(kRegs) + fpTable);
  Select(1);
  ASSERT_TRUE(Built());
  ASSERT_NE(choice.fpLayout, nullptr);
  EXPECT_TRUE(choice.ownsFpLayout);
  EXPECT_STREQ(choice.fpFlag, "tx_thread_fp_enable");
  EXPECT_EQ(choice.fpLayout->interruptFlagOffset, 4);
  EXPECT_EQ(choice.fpLayout->interruptFrameSize, 200);
  EXPECT_EQ(choice.fpLayout->slots[0].regnum, 64);
}

// Blocks of an entry whose frame word tells floating-point frames apart, as
// on Cortex-M: EXC_RETURN bit 4 clear, with the stacked status word's bit 9
// telling an alignment pad in either frame.
const char kFpFrameBlocks[] =
    "        stack_pad { offset = 32 size = 4 mask = 0x200 value = 0x200 bytes = 4 }\n"
    "        fp_frame_flag { offset = 0 size = 4 mask = 0x10 value = 0 }\n"
    "        regtbl_fp = \"regs_fp\"\n"
    "        interrupt_flag_fp { offset = 0 size = 4 }\n"
    "        register_save_format_fp { solicited { size = 104 offset = 0 } interrupt { size = 200 offset = 0 } }\n"
    "        stack_pad_fp { offset = 96 size = 4 mask = 0x200 value = 0x200 bytes = 4 }\n";
const char kFpTable[] =
    "regs_fp { s0 { regnum = 64 solicited { regsize = 4 offset = 100 } interrupt { regsize = 4 offset = 196 } } }\n";

TEST_F(LayoutBuild, FrameWordChoosesTheFloatingPointLayout) {
  Load(Entry("cpu", kFpFrameBlocks), std::string(kRegs) + kFpTable);
  const RegisterLayout* layout = Select(1);
  ASSERT_TRUE(Built()) << (messages.texts().empty() ? "" : messages.texts()[0]);
  ASSERT_NE(choice.fpLayout, nullptr);
  EXPECT_EQ(choice.fpFlag, nullptr);
  EXPECT_EQ(choice.fpFrameTest.offset, 0);
  EXPECT_EQ(choice.fpFrameTest.size, 4);
  EXPECT_EQ(choice.fpFrameTest.mask, 0x10u);
  EXPECT_EQ(choice.fpFrameTest.value, 0u);
  EXPECT_EQ(layout->stackPadTest.offset, 32);
  EXPECT_EQ(layout->stackPadTest.mask, 0x200u);
  EXPECT_EQ(layout->stackPadBytes, 4);
  EXPECT_EQ(choice.fpLayout->stackPadTest.offset, 96);
  EXPECT_EQ(choice.fpLayout->interruptFrameSize, 200);
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(LayoutBuild, WideMasksKeepTheirHighBits) {
  // A 32-bit mask written in hex keeps its high bit; an 8-byte word tests 64.
  for (const char* test : {"size = 4 mask = 0xFFFFFFF0 value = 0xFFFFFFE0",
                           "size = 8 mask = 0x1FFFFFFF0 value = 0x100000000"}) {
    std::string blocks = kFpFrameBlocks;
    std::string from = "size = 4 mask = 0x10 value = 0";
    blocks.replace(blocks.find(from), from.size(), test);
    attr_database_destroy(&db);
    SetUp();
    Load(Entry("cpu", blocks), std::string(kRegs) + kFpTable);
    Select(1);
    ASSERT_NE(choice.fpLayout, nullptr) << test;
    bool wide = choice.fpFrameTest.size == 8;
    EXPECT_EQ(choice.fpFrameTest.mask, wide ? 0x1fffffff0ull : 0xfffffff0ull);
    EXPECT_EQ(choice.fpFrameTest.value, wide ? 0x100000000ull : 0xffffffe0ull);
  }
}

TEST_F(LayoutBuild, GrowsPastManyRegisters) {
  std::string table = "regs {\n";
  for (int i = 199; i >= 0; i--)
    table += "  r" + std::to_string(i) + " { regnum = " + std::to_string(i) +
             " solicited { regsize = 1 offset = " + std::to_string(i % 40) + " } interrupt { regsize = 0x1000 offset = 0 } }\n";
  Load(Entry("cpu", ""), table + "}\n");
  const RegisterLayout* layout = Select(0);
  ASSERT_TRUE(Built());
  ASSERT_EQ(layout->registerCount, 200);
  for (int32_t i = 0; i < 200; i++) EXPECT_EQ(layout->slots[i].regnum, i);
}

class RejectedEntry : public LayoutBuild, public testing::WithParamInterface<const char*> {};

// Each variant spoils the entry of LayoutBuild's Entry(); none may be used.
TEST_P(RejectedEntry, AnswersNoLayoutAndSaysWhy) {
  std::string entry = Entry("cpu", "");
  std::string tables = kRegs;
  std::string variant = GetParam();
  auto replace = [](std::string* text, const std::string& from, const std::string& to) {
    size_t at = text->find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text->replace(at, from.size(), to);
  };
  if (variant == "offset past frame") replace(&tables, "offset = 64", "offset = 70");
  if (variant == "frame too large") replace(&entry, "size = 72", "size = 1028");
  if (variant == "no interrupt_flag") replace(&entry, "interrupt_flag { offset = 0 size = 4 }", "");
  if (variant == "no register_save_format") replace(&entry, "register_save_format {", "other_format {");
  if (variant == "missing offset") replace(&tables, "regsize = 4 offset = 8", "regsize = 4");
  if (variant == "no such table") replace(&tables, "regs {", "other_regs {");
  if (variant == "flag too large") replace(&entry, "offset = 0 size = 4", "offset = 0 size = 16");
  Load(entry, tables);
  EXPECT_EQ(Select(3), nullptr);
  EXPECT_TRUE(choice.databaseKnowsCpu);
  EXPECT_FALSE(messages.all().empty());
  bool told = false;
  for (const std::string& text : messages.texts()) told |= text.find("register layout not used") != std::string::npos;
  EXPECT_TRUE(told);
}

TEST_F(LayoutBuild, ARejectedEntryIsReportedOnceUntilTheNextLoad) {
  std::string entry = Entry("cpu", "");
  entry.replace(entry.find("interrupt_flag {"), 16, "other_flag {");
  Load(entry);
  for (int read = 0; read < 18; read++) EXPECT_EQ(Select(3), nullptr);  // one selection per register
  ASSERT_EQ(messages.texts().size(), 1u);
  EXPECT_NE(messages.texts()[0].find("threadx_vusk_cpu.cpu\": register layout not used: no interrupt_flag block"),
            std::string::npos);
  TxLayoutForgetReports();
  Select(3);
  EXPECT_EQ(messages.texts().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Faults, RejectedEntry,
                         testing::Values("offset past frame", "frame too large", "no interrupt_flag",
                                         "no register_save_format", "missing offset", "no such table",
                                         "flag too large"));

// One way to spoil an entry: the text replaced, its replacement, and what
// that breaks (which names the test).
struct Spoil {
  const char* from;
  const char* to;
  const char* what;
};

void PrintTo(const Spoil& spoil, std::ostream* out) { *out << '"' << spoil.what << '"'; }

class RejectedFpEntry : public LayoutBuild, public testing::WithParamInterface<Spoil> {};

// Each variant spoils the frame word test or a stack pad of an entry that
// tells floating-point frames by their word: the entry gives no layout at
// all (its floating-point frames would read wrong), and says why.
TEST_P(RejectedFpEntry, AnswersNoLayoutAndSaysWhy) {
  const Spoil& spoil = GetParam();
  std::string blocks = kFpFrameBlocks;
  size_t at = blocks.find(spoil.from);
  ASSERT_NE(at, std::string::npos) << spoil.from;
  blocks.replace(at, strlen(spoil.from), spoil.to);
  Load(Entry("cpu", blocks), std::string(kRegs) + kFpTable);
  EXPECT_EQ(Select(3), nullptr);
  EXPECT_EQ(choice.fpLayout, nullptr);
  EXPECT_TRUE(choice.databaseKnowsCpu);
  bool told = false;
  for (const std::string& text : messages.texts()) told |= text.find("register layout not used") != std::string::npos;
  EXPECT_TRUE(told) << (messages.texts().empty() ? "no message" : messages.texts()[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RejectedFpEntry,
    testing::Values(Spoil{"regtbl_fp = \"regs_fp\"", "", "nothing to choose"},
                    Spoil{"size = 4 mask = 0x10", "size = 3 mask = 0x10", "no such word"},
                    Spoil{"mask = 0x10 value = 0", "mask = 0x10 value = 0x30", "never holds"},
                    Spoil{"size = 4 mask = 0x10", "size = 1 mask = 0x110", "wider than the word"},
                    Spoil{"mask = 0x10 value = 0 }", "mask = 0x10 }", "value missing"},
                    Spoil{"offset = 96", "offset = 102", "pad word past the frame"},
                    Spoil{"value = 0x200 bytes = 4 }\n        fp_frame", "value = 0x200 bytes = 0 }\n        fp_frame",
                          "no pad"}));

}  // namespace
