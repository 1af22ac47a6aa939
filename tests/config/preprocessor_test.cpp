// The source reader and preprocessor on small files written by each test:
// conditionals, definitions, includes, macro expansion and the reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/libcxxutil/ut_source_reader.h"
#include "shared/port_fs.h"
#include "tests/config/config_test_util.h"

namespace {

using Texts = std::vector<std::string>;

class ReaderTest : public testing::Test {
 protected:
  // All tokens of the file, with "|" marking each line end.
  Texts Tokens(const std::string& path) {
    source_reader reader(&database_macros, nullptr, nullptr);
    EXPECT_TRUE(reader.open(path.c_str())) << path;
    Texts out;
    while (const char* token = reader.next_token()) {
      out.emplace_back(token);
      if (reader.at_eol()) out.emplace_back("|");
    }
    opened = reader.opened_files();
    reader_error = reader.error();
    return out;
  }
  Texts TokensOf(const std::string& text) { return Tokens(dir.Write("main.odb", text)); }
  std::string Main() const { return dir.path() + "/main.odb"; }

  ScratchDir dir;
  macro_table database_macros;
  CapturedMessages messages;
  Texts opened;
  bool reader_error = false;
};

TEST_F(ReaderTest, CutsTokensAndDropsComments) {
  EXPECT_EQ(TokensOf("a.b = 0x1F # note\n"
                     "x/y += \"q \\\" z\";\n"
                     "  \t\n"
                     "# whole line\n"
                     "k={1,-2} && || /=\n"),
            (Texts{"a", ".", "b", "=", "0x1F", "|", "x/y", "+=", "\"q \\\" z\"", ";", "|", "k", "=", "{", "1", ",",
                   "-", "2", "}", "&&", "||", "/=", "|"}));
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ReaderTest, JoinsContinuedLinesAndNamesTheFirstPhysicalLine) {
  dir.Write("main.odb", "a = 1\nb = \\\n  2 \\\n  3\r\nc = 4\n%if 1 +\\\n =\n%endif\nlast");
  source_reader reader(&database_macros, nullptr, nullptr);
  ASSERT_TRUE(reader.open(Main().c_str()));
  Texts lines;
  std::string line;
  while (const char* token = reader.next_token()) {
    line += std::string(token) + " ";
    if (reader.at_eol()) {
      lines.push_back(reader.position() + ": " + line);
      line.clear();
    }
  }
  std::string file = "\"" + Main() + "\"";
  EXPECT_EQ(lines, (Texts{file + ", line 1: a = 1 ", file + ", line 2: b = 2 3 ", file + ", line 5: c = 4 ",
                          file + ", line 9: last "}));
  EXPECT_EQ(messages.texts(), Texts{"parse error: near: \"=\""});
  EXPECT_EQ(reader.position(), file + ", At end of source");
}

TEST_F(ReaderTest, ConditionalBranches) {
  EXPECT_EQ(TokensOf("%ifdef A\none\n%elif 1\ntwo\n%else\nthree\n%else\nfour\n%endif\n"), (Texts{"two", "|"}));
  EXPECT_EQ(messages.texts(), Texts{"unexpected directive: else"});
  messages.clear();
  EXPECT_EQ(TokensOf("%define A\n%ifdef A\none\n%elif 1\ntwo\n%else\nthree\n%endif\n"
                     "%if 0\n%elseif 0\n%elsif 0\n%else\nfour\n%endif\n"),
            (Texts{"one", "|", "four", "|"}));
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ReaderTest, InactiveFramesEvaluateQuietlyAndIgnoreDefinitions) {
  EXPECT_EQ(TokensOf("%if 0\n"
                     "%if UNDEFINED_NAME\n%define X 1\n%endif\n"
                     "%define Y 2\n%warning hidden\n%include \"missing.odb\"\n"
                     "%elif UNDEFINED_TOO\n"
                     "%bogus\n"
                     "%endif\n"
                     "%ifdef X\nx\n%endif\n%ifdef Y\ny\n%endif\nend\n"),
            (Texts{"end", "|"}));
  EXPECT_EQ(messages.texts(), (Texts{"macro not defined(UNDEFINED_TOO) ...", "illegal directive: \"%bogus\""}));
}

TEST_F(ReaderTest, StrayDirectivesAndUnexpectedTokens) {
  TokensOf("%elif 1\n%else\n%endif\n%ifdef A B\n%endif\n%undef A B\n%if 1\n");
  EXPECT_EQ(messages.texts(), (Texts{"unexpected directive: elif", "unexpected directive: else",
                                     "unexpected directive: endif", "Unexpected token(s): B\n",
                                     "Unexpected token(s): B\n", "unclosed if or ifdef, opened on line:\n\t\"%if 1\"."}));
  for (const auto& message : messages.all()) EXPECT_EQ(message.first, MsgSeverity::Error);
}

TEST_F(ReaderTest, DefineAndEvalCutComments) {
  EXPECT_EQ(TokensOf("%define X 5 # five\n"
                     "%eval Y X*2\n"
                     "%define Q \"a # b\" # c\n"
                     "%define E\n"
                     "${X} ${Y} ${Q} [${E}]\n"
                     "%undef X\n"
                     "%ifdef X\nstill\n%endif\n"),
            (Texts{"5", "0xa", "\"a # b\"", "[", "]", "|"}));
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ReaderTest, MessageDirectivesKeepTheirSeverity) {
  TokensOf("%info hello there  \n%echo e\n%warning w\n%error bad\nafter\n");
  ASSERT_EQ(messages.all().size(), 4u);
  EXPECT_EQ(messages.all()[0], std::make_pair(MsgSeverity::Info, std::string("hello there")));
  EXPECT_EQ(messages.all()[1], std::make_pair(MsgSeverity::Info, std::string("e")));
  EXPECT_EQ(messages.all()[2], std::make_pair(MsgSeverity::Warning, std::string("w")));
  EXPECT_EQ(messages.all()[3], std::make_pair(MsgSeverity::Error, std::string("bad")));
}

TEST_F(ReaderTest, ConditionFunctions) {
  EXPECT_EQ(TokensOf("%define HOST linux\n%define NUM 0x10\n%define EMPTY\n%define win win64\n"
                     "%if streq(HOST, win64, linux) && !streq(HOST win)\na\n%endif\n"
                     "%if strpref(HOST, lin) && strsuffix(HOST, \"nux\") && !strprefix(HOST, win)\nb\n%endif\n"
                     "%if definedtoval(NUM, 16) && defined_to_val(NUM 020) && !definedtoval(NOPE, 0)\nc\n%endif\n"
                     "%if istrue(NUM) && !is_true(EMPTY) && notempty(NUM) && !notempty(EMPTY)\nd\n%endif\n"
                     "%if defined(EMPTY) && !defined(NOPE) && env(PATH) == 0 && eval_cmd(x) == 0\ne\n%endif\n"
                     "%if fileexists(\"${__DIR__}/main.odb\") && !file_exists(\"${__DIR__}/nope.odb\")\nf\n%endif\n"),
            (Texts{"a", "|", "b", "|", "c", "|", "d", "|", "e", "|", "f", "|"}));
  EXPECT_TRUE(messages.all().empty());
  TokensOf("%if defined A\n%endif\n");
  EXPECT_EQ(messages.texts(), Texts{"macro not defined(defined) ..."});
  messages.clear();
  TokensOf("%if defined(A, B) || streq(A) || nosuch(1) || streq(NOPE, x)\n%endif\n"
           "%if 1 || defined(A, B) || nosuch(1)\n%endif\n");
  EXPECT_EQ(messages.texts(), (Texts{"too many arguments defined", "too few arguments streq", "unknown function: nosuch",
                                     "macro not defined(NOPE) ..."}));
}

TEST_F(ReaderTest, IncludesResolveAgainstTheIncludingFile) {
  dir.Write("sub/inner.odb", "inner \"${__DIR__}\"\n");
  dir.Write("sub/x", "x\n");
  dir.Write("sub/part.odb", "%include \"inner.odb\"\n%include <x>\npart\n");
  EXPECT_EQ(TokensOf("%include \"sub/part.odb\"\nmain \"$__DIR__\"\n%include \"${__DIR__}/sub/x\"\n"),
            (Texts{"inner", "\"" + dir.path() + "/sub\"", "|", "x", "|", "part", "|", "main", "\"" + dir.path() + "\"",
                   "|", "x", "|"}));
  ASSERT_EQ(opened.size(), 5u);
  EXPECT_EQ(opened[1], dir.path() + "/sub/part.odb");
  EXPECT_EQ(opened[2], dir.path() + "/sub/inner.odb");
  EXPECT_EQ(opened[4], dir.path() + "/sub/x");  // absolute names stay as they are
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(ReaderTest, IncludeNamesAndMissingFiles) {
  dir.Write("y", "y\n");
  dir.Write("z", "z\n");
  EXPECT_EQ(TokensOf("%include \"\"\n%include\n%include \"y\"\n%include \"missing.odb\"\n%include \"q <z>\nend\n"),
            (Texts{"y", "|", "z", "|", "end", "|"}));
  std::string where = "\"" + Main() + "\", line 4: error: ";
  EXPECT_EQ(messages.texts(), (Texts{"illegal directive: \"%include \"\"\"", "illegal directive: \"%include\"",
                                     where + "could not open \"" + dir.path() + "/missing.odb\" "}));
  EXPECT_TRUE(reader_error);
  messages.clear();
  PortFsSetShowReasonForFileOpenError(true);
  TokensOf("%include \"missing.odb\"\n");
  PortFsSetShowReasonForFileOpenError(false);
  ASSERT_EQ(messages.all().size(), 1u);
  EXPECT_NE(messages.all()[0].second.find("missing.odb\" (errno 2, "), std::string::npos);
}

TEST_F(ReaderTest, IncludeManyReadsMatchingFilesInByteOrder) {
  dir.Write("parts/b.odb", "b\n");
  dir.Write("parts/a.odb", "a \"${__DIR__}\"\n");
  dir.Write("parts/B.odb", "B\n");
  dir.Write("parts/c.txt", "c\n");
  EXPECT_EQ(TokensOf("%include_many \"${__DIR__}/parts/*.odb\"\nafter \"${__DIR__}\"\n"),
            (Texts{"B", "|", "a", "\"" + dir.path() + "/parts\"", "|", "b", "|", "after", "\"" + dir.path() + "\"", "|"}));
  EXPECT_TRUE(messages.all().empty());
  TokensOf("%include_many \"x.odb\"\n%include_many \"nodir/*.odb\"\n");
  std::string where = "\"" + Main() + "\", line ";
  EXPECT_EQ(messages.texts(), (Texts{where + "1: error: Unsupported format for include_plisk",
                                     where + "2: error: could not open directory \"" + dir.path() + "/nodir\" "}));
}

TEST_F(ReaderTest, SelfIncludeStopsAtTheOpenFileLimit) {
  dir.Write("loop_a.odb", "%include \"loop_b.odb\"\na\n");
  dir.Write("loop_b.odb", "%include \"loop_a.odb\"\nb\n");
  Texts tokens = Tokens(dir.Write("main.odb", "%include \"loop_a.odb\"\nmain\n"));
  EXPECT_EQ(tokens.size(), 2u * kMaxOpenFiles);  // every open file yields its one line
  EXPECT_EQ(tokens.back(), "|");
  ASSERT_EQ(messages.all().size(), 1u);
  EXPECT_EQ(messages.all()[0].first, MsgSeverity::Error);
  EXPECT_NE(messages.all()[0].second.find("more than 32 files open"), std::string::npos);
  EXPECT_TRUE(reader_error);
}

// Found by fuzzing: a file that includes itself twice doubles its work at
// every level, so the depth bound alone let one load open 2^32 files.
TEST_F(ReaderTest, IncludeBombsStopAtTheLoadBudget) {
  Texts tokens = TokensOf("%include \"main.odb\"\n%include \"main.odb\"\nx\n");
  EXPECT_EQ(opened.size(), static_cast<size_t>(kMaxFilesPerLoad));
  EXPECT_TRUE(reader_error);
  ASSERT_FALSE(messages.all().empty());
  EXPECT_NE(messages.all().back().second.find("more than 1024 files opened by one load"), std::string::npos);

  // Without any cycle: each level includes the next one twice.
  constexpr int kLevels = 24;
  for (int level = 0; level < kLevels; level++) {
    std::string next = "level" + std::to_string(level + 1) + ".odb";
    dir.Write("level" + std::to_string(level) + ".odb",
              level + 1 < kLevels ? "%include \"" + next + "\"\n%include \"" + next + "\"\n" : "leaf\n");
  }
  messages.clear();
  Tokens(dir.path() + "/level0.odb");
  EXPECT_EQ(opened.size(), static_cast<size_t>(kMaxFilesPerLoad));
  EXPECT_TRUE(reader_error);
}

TEST_F(ReaderTest, MacroExpansionOutsideStrings) {
  database_macros.define("PRE", "from database");
  EXPECT_EQ(TokensOf("%define PAIR a = 1\n%define A ${A}\n%define B ${C}\n%define C x ${B}\n"
                     "${PAIR} ${PRE}\n${UNDEF} ${A} ${B} ${ unclosed\n"),
            (Texts{"a", "=", "1", "from", "database", "|", "UNDEF", "A", "x", "B", "$", "{", "unclosed", "|"}));
  std::string where = "\"" + Main() + "\", line 6: error: ";
  EXPECT_EQ(messages.texts(), (Texts{"macro not defined(UNDEF) ...", where + "macro recursion detected for: \"A\"",
                                     where + "macro recursion detected for: \"B\""}));
}

TEST_F(ReaderTest, MacroExpansionInsideStrings) {
  EXPECT_EQ(TokensOf("%define NAME world\n%define Q say \"hi\"\\now\n%define NEST NAME-2x 7ab\n%define SELF SELF\n"
                     "\"hello $NAME ${NAME} $NOPE $ ${NOPE} $Q $NEST $SELF\"\n"),
            (Texts{"\"hello world world $NOPE $ NOPE say \\\"hi\\\"\\\\now world-2x 7ab SELF\"", "|"}));
  std::string where = "\"" + Main() + "\", line 5: error: ";
  EXPECT_EQ(messages.texts(),
            (Texts{"macro not defined(NOPE) ...", where + "macro recursion detected for: \"SELF\""}));
}

TEST_F(ReaderTest, TokensGrowBeyondTheInitialBuffer) {
  std::string text = "%define W " + std::string(1000, 'w') + "\n";
  for (int i = 0; i < 5; i++) text += "%define W" + std::to_string(i + 1) + " W" + (i ? std::to_string(i) : "") + " W" + (i ? std::to_string(i) : "") + "\n";
  text += "\"$W5\"\n";
  Texts tokens = TokensOf(text);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].size(), 32u * 1000u + 31u + 2u);
  EXPECT_GT(tokens[0].size(), kTokenBufferMinCapacity);
}

TEST_F(ReaderTest, RawModeKeepsHashAndPercent) {
  dir.Write("main.odb", "a b\n%define X 1\n# not a comment\n%ifdef X\n");
  source_reader reader(&database_macros, nullptr, nullptr);
  ASSERT_TRUE(reader.open(Main().c_str()));
  EXPECT_STREQ(reader.next_token(), "a");
  EXPECT_FALSE(reader.enter_raw_mode());
  reader.skip_to_eol();
  EXPECT_TRUE(reader.enter_raw_mode());
  EXPECT_FALSE(reader.enter_raw_mode());
  Texts tokens;
  while (const char* token = reader.next_token()) tokens.emplace_back(token);
  EXPECT_TRUE(reader.leave_raw_mode());
  EXPECT_FALSE(reader.leave_raw_mode());
  EXPECT_EQ(tokens, (Texts{"%", "define", "X", "1", "#", "not", "a", "comment", "%", "ifdef", "X"}));
  std::string where = "\"" + Main() + "\", line 1: error: ";
  std::string end = "\"" + Main() + "\", At end of source: error: ";
  EXPECT_EQ(messages.texts(), (Texts{where + "Must be at eol to switch to raw mode", where + "Already in raw mode",
                                     end + "Not in raw mode"}));
}

TEST_F(ReaderTest, DirectoryMacroRewrite) {
  simple_preprocessor pp(&database_macros, nullptr);
  pp.define("__DIR__", "/here");
  pp.define("SUB", "${__DIR__}/sub");
  pp.define("LOOP", "${LOOP}/x");
  EXPECT_EQ(pp.rewrite_directory_macros("${__DIR__}/a"), "/here/a");
  EXPECT_EQ(pp.rewrite_directory_macros("${SUB}/b ${SUB}"), "/here/sub/b /here/sub");
  EXPECT_EQ(pp.rewrite_directory_macros("${__PLISK_DIR__}/a"), "PLISK_DIR_WAS_USED_THIS_IS_BAD_DO_NOT_USE_THIS/a");
  EXPECT_EQ(pp.rewrite_directory_macros("${__PLISK_DEFAULTS_DIR__}/a"),
            "MACRO_PLISK_DEFAULTS_DIR_WAS_USED_THIS_IS_BAD_DO_NOT_USE_THIS/a");
  EXPECT_EQ(pp.rewrite_directory_macros("${__TOOLS_DIR__}/a"), PortFsToolsDir() + "/a");
  EXPECT_EQ(pp.rewrite_directory_macros("${UNDEFINED}/a"), "${UNDEFINED}/a");
  EXPECT_TRUE(messages.all().empty());
  EXPECT_EQ(pp.rewrite_directory_macros("${LOOP}"), "${LOOP}/x");
  EXPECT_EQ(messages.texts(), Texts{"macro recursion detected for: \"LOOP\""});
}

}  // namespace
