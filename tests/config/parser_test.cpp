// The attribute-file parser: statements, values, lists, look-ups, errors
// with their positions, and loading over several directories.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/libcxxutil/ut_file_parser.h"
#include "shared/libcxxutil/ut_text.h"
#include "shared/port_alloc.h"
#include "shared/port_fs.h"
#include "tests/config/config_test_util.h"

namespace {

using Texts = std::vector<std::string>;

std::vector<int32_t> IntList(const attr_int32_node* node) {
  std::vector<int32_t> out;
  for (; node; node = node->next) out.push_back(node->value);
  return out;
}

Texts StrList(const attr_str_node* node) {
  Texts out;
  for (; node; node = node->next) out.emplace_back(node->value);
  return out;
}

class ParserTest : public testing::Test {
 protected:
  void SetUp() override { attr_database_init(&db, "threadx registers", nullptr, false); }
  void TearDown() override { attr_database_destroy(&db); }

  bool Load(const std::string& text, const std::string& name = "main.odb") {
    path = dir.Write(name, text);
    return attr_database_load(&db, path.c_str());
  }
  attr_block* Block(const char* dotted) {
    attr_block* block = db.root;
    std::string rest = dotted;
    while (block && !rest.empty()) {
      size_t dot = rest.find('.');
      block = block_find_child(block, rest.substr(0, dot).c_str());
      rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
    }
    return block;
  }
  std::string Where(int line) const { return "\"" + path + "\", line " + std::to_string(line) + ": parse error: "; }

  ScratchDir dir;
  attr_database db;
  std::string path;
  CapturedMessages messages;
};

TEST_F(ParserTest, PathsAndBracesBuildTheSameBlocks) {
  ASSERT_TRUE(Load("a.b.c = 5\n"
                   "x { y { z = 6 } }\n"
                   "a.b { d = 1 }\n"
                   "x {\n  y.w = 7; v = 8\n}\n"
                   "\"q n\" { k = 1 }\n"));
  attr_block* b = Block("a.b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(find_int32(b, "c", -1), 5);
  EXPECT_EQ(find_int32(b, "d", -1), 1);
  EXPECT_EQ(find_int32(Block("x.y"), "z", -1), 6);
  EXPECT_EQ(find_int32(Block("x.y"), "w", -1), 7);
  EXPECT_EQ(find_int32(Block("x.y"), "v", -1), 8);  // a dotted path holds for the rest of its line
  EXPECT_EQ(find_int32(Block("q n"), "k", -1), 1);
  // Children in creation order; one block per name.
  Texts names;
  for (attr_block* child = block_first_child(db.root, false); child; child = block_next_sibling(child, false))
    names.emplace_back(child->name);
  EXPECT_EQ(names, (Texts{"a", "x", "q n"}));
  EXPECT_EQ(block_find_child(db.root, ""), nullptr);
  EXPECT_EQ(block_find_child(db.root, nullptr), nullptr);
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ParserTest, ScalarValues) {
  ASSERT_TRUE(Load("big = 0x100000000\nall = 0xFFFFFFFF\nneg = -5\nsuffix = 12abc\noct = 017\n"
                   "none = None\nf = False\nt = TRUE\nyes = yessir\non = On\noff = OFF\n"
                   "negbig = - 0x100000000\nk = 4K\n"));
  attr_block* root = db.root;
  ASSERT_NE(block_find_entry(root, "big"), nullptr);
  EXPECT_EQ(block_find_entry(root, "big")->kind, ATTR_INT64);
  EXPECT_EQ(find_int64(root, "big", 0, false), 0x100000000LL);
  EXPECT_EQ(block_find_entry(root, "all")->kind, ATTR_INT32);
  EXPECT_EQ(find_int32(root, "all", 0), -1);
  EXPECT_EQ(find_int64(root, "all", 0, true), 0xFFFFFFFFLL);
  EXPECT_EQ(find_int64(root, "all", 0, false), -1);
  EXPECT_EQ(find_int32(root, "neg", 0), -5);
  EXPECT_EQ(find_int32(root, "suffix", 0), 12);
  EXPECT_EQ(find_int32(root, "oct", 0), 15);
  EXPECT_EQ(find_int32(root, "none", -1), 0);
  EXPECT_EQ(find_int32(root, "f", -1), 0);
  EXPECT_EQ(find_int32(root, "t", -1), 1);
  EXPECT_EQ(find_int32(root, "yes", -1), 1);
  EXPECT_EQ(find_int32(root, "on", -1), 1);
  EXPECT_EQ(find_int32(root, "off", -1), 0);
  EXPECT_EQ(find_int64(root, "negbig", 0, false), -0x100000000LL);
  EXPECT_EQ(find_int32(root, "k", -1), 4);  // size suffixes are off
}

TEST_F(ParserTest, SizeSuffixesAndRawValues) {
  attr_database_set_size_suffixes(&db, true);
  ASSERT_TRUE(Load("k = 4k\nm = 2M\nbig = 4096M\n"));
  EXPECT_EQ(find_int32(db.root, "k", 0), 4096);
  EXPECT_EQ(find_int32(db.root, "m", 0), 2097152);
  EXPECT_EQ(find_int64(db.root, "big", 0, false), 4294967296LL);
  attr_database_set_raw_values(&db, true);
  ASSERT_TRUE(Load("r = 12abc\nr += x/y\nq = \"quoted\"\n", "raw.odb"));
  EXPECT_STREQ(find_str(db.root, "r", nullptr), "12abcx/y");
  EXPECT_STREQ(find_str(db.root, "q", nullptr), "quoted");
}

TEST_F(ParserTest, AddingAndAppending) {
  attr_database_set_int_lists(&db, true);
  ASSERT_TRUE(Load("x = 1\nx += 2\n"
                   "s = \"ab\"\ns += \"cd\"\nn = 3\nn += \"text\"\nfresh += \"new\"\n"
                   "l = { 1, 2 }\nl += { 3 }\nl2 = { 9 }\nl2 = { 8 }\n"
                   "m = { -1, 2 }\n"
                   "sl = { \"a\", \"b\" }\nsl += { \"c\" }\nsl += { 4 }\n"
                   "multi = { 1\n , 2\n }\n"));
  attr_block* root = db.root;
  int xs = 0;
  for (int i = 0; i < root->attr_count; i++) xs += std::string(root->attrs[i].name) == "x";
  EXPECT_EQ(xs, 2);
  EXPECT_EQ(find_int32(root, "x", 0), 1);
  EXPECT_STREQ(find_str(root, "s", nullptr), "abcd");
  EXPECT_STREQ(find_str(root, "n", nullptr), "text");
  EXPECT_STREQ(find_str(root, "fresh", nullptr), "new");
  EXPECT_EQ(IntList(find_int32_list(root, "l")), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(IntList(find_int32_list(root, "l2")), (std::vector<int32_t>{8}));
  EXPECT_EQ(IntList(find_int32_list(root, "m")), (std::vector<int32_t>{-1, 2}));
  EXPECT_EQ(find_str_list(root, "sl"), nullptr);  // replaced by an int32 list of another kind
  EXPECT_EQ(IntList(find_int32_list(root, "sl")), (std::vector<int32_t>{4}));
  EXPECT_EQ(IntList(find_int32_list(root, "multi")), (std::vector<int32_t>{1, 2}));
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ParserTest, StringsAndEscapes) {
  ASSERT_TRUE(Load("s = \"a\\tb\\x41\\101\\\\\\\"\\q\"\nl = { \"x y\", \"z\" }\nunclosed = \"abc\n"));
  EXPECT_STREQ(find_str(db.root, "s", nullptr), "a\tbAA\\\"q");
  EXPECT_EQ(StrList(find_str_list(db.root, "l")), (Texts{"x y", "z"}));
  EXPECT_STREQ(find_str(db.root, "unclosed", nullptr), "abc");
}

TEST_F(ParserTest, ParseErrorsNameTheirPosition) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  } cases[] = {
      {"= 5\n", 1, "empty attribute name"},
      {"x =\n", 1, "empty attribute value"},
      {"\n\nx\n", 3, "unexpected end of line"},
      {"x = -\n", 1, "unexpected end of line"},
      {"x = {\n", 1, "unexpected end of line"},
      {"x = { \"a\",\n\"b\" }\n", 1, "unexpected end of line"},
      {"x = { 1 }\n", 1, "expected a string"},
      {"x = falsehood\n", 1, ""},
      {"x = (\n", 1, ""},
      {"}\n", 1, "unexpected '}'"},
      {"x * 1\n", 1, "unknown operator sequence \"*\" "},
      {"x -= 1\n", 1, "unknown operator sequence \"-=\" "},
  };
  for (const Case& c : cases) {
    messages.clear();
    EXPECT_FALSE(Load(c.text)) << c.text;
    EXPECT_EQ(messages.texts(), Texts{Where(c.line) + c.message}) << c.text;
  }
}

TEST_F(ParserTest, IntListErrors) {
  attr_database_set_int_lists(&db, true);
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"l = { 1, -2 }\n", "expected an integer"},
      {"l = { x }\n", "expected an integer or string"},
      {"l = { 1, \"a\" }\n", "expected an integer"},
      {"l = { 1 2 }\n", "expected '}'"},
  };
  for (const Case& c : cases) {
    messages.clear();
    EXPECT_FALSE(Load(c.text)) << c.text;
    EXPECT_EQ(messages.texts(), Texts{Where(1) + c.message}) << c.text;
  }
  messages.clear();
  EXPECT_FALSE(Load("l = { 1,\n"));
  EXPECT_EQ(messages.texts(), Texts{Where(1) + "unexpected end of line"});
  messages.clear();
  EXPECT_FALSE(Load("l = { 1\n"));
  EXPECT_EQ(IntList(find_int32_list(db.root, "l")), std::vector<int32_t>{1});  // read before the error
  EXPECT_EQ(messages.texts(), Texts{"\"" + path + "\", At end of source: parse error: expected '}'"});
}

TEST_F(ParserTest, UnclosedBlockKeepsWhatWasRead) {
  EXPECT_FALSE(Load("a {\n  x = 1\n  b { y = 2 }\n"));
  EXPECT_EQ(messages.texts(), Texts{"\"" + path + "\", At end of source: parse error: expected '}'"});
  EXPECT_EQ(find_int32(Block("a"), "x", 0), 1);
  EXPECT_EQ(find_int32(Block("a.b"), "y", 0), 2);
  EXPECT_TRUE(db.parse_error);
  // The next load starts at the top again.
  messages.clear();
  EXPECT_TRUE(Load("z = 3\n", "next.odb"));
  EXPECT_EQ(find_int32(db.root, "z", 0), 3);
}

TEST_F(ParserTest, ParsingStopsAtTheFirstError) {
  EXPECT_FALSE(Load("a = 1\nb = \nc = 3\n"));
  EXPECT_EQ(find_int32(db.root, "a", 0), 1);
  EXPECT_EQ(block_find_entry(db.root, "c"), nullptr);
}

TEST_F(ParserTest, RequiredLookupsWarnWithTheBlockPath) {
  ASSERT_TRUE(Load("cpu { regs { text = \"t\"\n n = 4\n } }\n"));
  attr_block* regs = Block("cpu.regs");
  EXPECT_EQ(get_int32(regs, "n", -1), 4);
  EXPECT_STREQ(get_str(regs, "text", nullptr), "t");
  EXPECT_FALSE(regs->required_missing);
  EXPECT_TRUE(messages.all().empty());
  EXPECT_EQ(get_int32(regs, "text", -1), -1);
  EXPECT_STREQ(get_str(regs, "absent", "dflt"), "dflt");
  EXPECT_EQ(get_int64(regs, "text", 7, false), 7);
  EXPECT_EQ(get_int64(regs, "n", 7, false), 4);  // int32 answers where int64 is asked
  EXPECT_TRUE(regs->required_missing);
  std::string where = "\"" + path + ":cpu.regs\": is missing required ";
  EXPECT_EQ(messages.texts(), (Texts{where + "int32 attribute \"text\"", where + "str attribute \"absent\"",
                                     where + "int64 attribute \"text\""}));
  for (const auto& message : messages.all()) EXPECT_EQ(message.first, MsgSeverity::Warning);
  // get_child_int32: silent for an absent child.
  messages.clear();
  EXPECT_EQ(get_child_int32(Block("cpu"), "regs", "n", -1), 4);
  EXPECT_EQ(get_child_int32(Block("cpu"), "nochild", "n", -1), -1);
  EXPECT_TRUE(messages.all().empty());
  // With two files in the database the path has no file name.
  ASSERT_TRUE(Load("other = 1\n", "second.odb"));
  get_int32(regs, "absent", 0);
  EXPECT_EQ(messages.texts(), Texts{"\"cpu.regs\": is missing required int32 attribute \"absent\""});
}

TEST_F(ParserTest, BooleansAndChanges) {
  ASSERT_TRUE(Load("a = yes\nb = 0\nc = \" On\"\nd = \"nope\"\ne = \"1\"\n"));
  EXPECT_TRUE(find_bool(db.root, "a", false));
  EXPECT_FALSE(find_bool(db.root, "b", true));
  EXPECT_TRUE(find_bool(db.root, "c", false));
  EXPECT_FALSE(find_bool(db.root, "d", true));
  EXPECT_TRUE(find_bool(db.root, "e", false));
  EXPECT_TRUE(find_bool(db.root, "zz", true));
  EXPECT_TRUE(block_remove(db.root, "a"));
  EXPECT_FALSE(block_remove(db.root, "a"));
  EXPECT_EQ(db.root->attr_count, 4);
  EXPECT_STREQ(db.root->attrs[0].name, "b");
  block_set_int64(db.root, "b", 1LL << 40);
  EXPECT_EQ(find_int64(db.root, "b", 0, false), 1LL << 40);
  EXPECT_EQ(find_int32(db.root, "b", -1), -1);
}

TEST_F(ParserTest, MacrosReachTheParser) {
  attr_database_set_int_lists(&db, true);
  ASSERT_TRUE(Load("%define N 4\n%define LIST 1, 2\nhost = \"${__PLISK_HOST__}\"\nn = ${N}\nl = { ${LIST}, 3 }\n"
                   "%ifdef __PLISK_WIN32_DEV_HOST__\nwin = 1\n%endif\n"));
  EXPECT_STREQ(find_str(db.root, "host", nullptr), PortFsHostType());
  EXPECT_EQ(find_int32(db.root, "n", 0), 4);
  EXPECT_EQ(IntList(find_int32_list(db.root, "l")), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(block_find_entry(db.root, "win"), nullptr);
  // Local macros die with the load unless keep_macros copies them.
  ASSERT_TRUE(Load("%ifdef N\nkept = 1\n%endif\n", "b.odb"));
  EXPECT_EQ(block_find_entry(db.root, "kept"), nullptr);
  attr_database_set_keep_macros(&db, true);
  ASSERT_TRUE(Load("%define K 1\n", "c.odb"));
  ASSERT_TRUE(Load("%ifdef K\nkept = 1\n%endif\n", "d.odb"));
  EXPECT_EQ(find_int32(db.root, "kept", 0), 1);
}

TEST_F(ParserTest, MissingFilesAndFileList) {
  EXPECT_FALSE(attr_database_load(&db, (dir.path() + "/absent.odb").c_str()));
  EXPECT_TRUE(db.file_open_failed);
  EXPECT_TRUE(messages.all().empty());
  dir.Write("inc.odb", "i = 1\n");
  ASSERT_TRUE(Load("%include \"inc.odb\"\nm = 2\n"));
  EXPECT_EQ(db.files, (Texts{path, dir.path() + "/inc.odb"}));
  EXPECT_FALSE(Load("%include \"gone.odb\"\nm = 3\n", "bad.odb"));
  EXPECT_EQ(find_int32(db.root, "m", 0), 3);  // reading went on after the report
}

TEST_F(ParserTest, AllowIncludeHookCanRefuse) {
  attr_database_destroy(&db);
  auto* hooks = static_cast<file_parser_callbacks*>(PortAllocZero(1, sizeof(file_parser_callbacks)));
  static std::vector<std::string> asked;
  asked.clear();
  hooks->allow_include = [](void*, const char* including, const char* include_path, int depth) {
    asked.push_back(std::string(including) + "|" + include_path + "|" + std::to_string(depth));
    return std::string(include_path).find("refused") == std::string::npos;
  };
  attr_database_init(&db, "hooked", hooks, true);
  dir.Write("refused.odb", "r = 1\n");
  EXPECT_TRUE(attr_database_load(&db, dir.Write("refused_top.odb", "t = 1\n").c_str()));
  EXPECT_EQ(block_find_entry(db.root, "t"), nullptr);
  ASSERT_TRUE(Load("%include \"refused.odb\"\nm = 1\n"));
  EXPECT_EQ(block_find_entry(db.root, "r"), nullptr);
  EXPECT_EQ(find_int32(db.root, "m", 0), 1);
  EXPECT_EQ(asked.back(), path + "|" + dir.path() + "/refused.odb|1");
}

TEST_F(ParserTest, LoadConfigPassesOverMissingDirectoriesSilently) {
  // The build tree ships the real database beside the test programs; this
  // name is one that no configuration directory holds.
  const char* kRelative = "os_aware/parser_test_fm.odb";
  EXPECT_TRUE(attr_database_load_config(&db, kRelative, (dir.path() + "/nouser").c_str()));
  EXPECT_TRUE(attr_database_load_config(&db, kRelative, nullptr));
  EXPECT_EQ(db.root->first_child, nullptr);
  EXPECT_EQ(db.root->attr_count, 0);
  EXPECT_FALSE(db.file_open_failed);
  EXPECT_TRUE(messages.all().empty());
  dir.Write(std::string("user/") + kRelative, "cpu { major = 3 }\n");
  EXPECT_TRUE(attr_database_load_config(&db, kRelative, (dir.path() + "/user").c_str()));
  EXPECT_EQ(find_int32(Block("cpu"), "major", 0), 3);
  dir.Write(std::string("user2/") + kRelative, "cpu { major = }\n");
  EXPECT_FALSE(attr_database_load_config(&db, kRelative, (dir.path() + "/user2").c_str()));
}

// Names matched without regard to case (record tags, command-line options,
// boolean words) share one rule: ASCII letters only, and an empty prefix
// never matches.
TEST(TextHelpers, CaseBlindPrefixes) {
  EXPECT_EQ(ut_prefix_ignoring_case("PLISK: {}", "plisk"), 5u);
  EXPECT_EQ(ut_prefix_ignoring_case("-Ignore_Error", "-ignore_error"), 13u);
  EXPECT_EQ(ut_prefix_ignoring_case("-helpme", "-help"), 5u) << "the caller decides whether more may follow";
  EXPECT_EQ(ut_prefix_ignoring_case("Plis", "plisk"), 0u);
  EXPECT_EQ(ut_prefix_ignoring_case("anything", ""), 0u);
  EXPECT_EQ(ut_prefix_ignoring_case("\xC4x", "\xE4x"), 0u) << "no folding beyond ASCII";
  EXPECT_EQ(ut_prefix_ignoring_case("[x", "{x"), 0u) << "'[' is not '{' lowered";
}

}  // namespace
