// The integer evaluator against a small client of fixed macros and one
// recording function.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_int_eval.h"
#include "tests/config/config_test_util.h"

namespace {

class FakeClient : public ut_simple_integer_evaluator_client_interface {
 public:
  std::map<std::string, std::string> macros;
  std::vector<std::string> looked_up;
  std::vector<std::vector<std::string>> calls;
  std::vector<bool> call_skips;

  const char* lookup_name(const char* name, bool) override {
    looked_up.emplace_back(name);
    auto found = macros.find(name);
    return found == macros.end() ? nullptr : found->second.c_str();
  }
  int64_t call_function(const char* name, int argc, const char* const* argv, bool eval_skip) override {
    std::vector<std::string> call{name};
    for (int i = 0; i < argc; i++) call.emplace_back(argv[i]);
    calls.push_back(call);
    call_skips.push_back(eval_skip);
    return 42;
  }
};

class EvalTest : public testing::Test {
 protected:
  int64_t Eval(const char* text, bool skip = false) { return ut_simple_integer_evaluate(&client, text, skip); }
  FakeClient client;
  CapturedMessages messages;
};

TEST_F(EvalTest, PrecedenceAndRightGrouping) {
  EXPECT_EQ(Eval("1 + 2 * 3"), 7);
  EXPECT_EQ(Eval("8 - 2 - 1"), 7);
  EXPECT_EQ(Eval("2 << 3 << 1"), 128);
  EXPECT_EQ(Eval("(8 - 2) - 1"), 5);
  EXPECT_EQ(Eval("1 | 6 & 3"), 3);
  EXPECT_EQ(Eval("5 ^ 1 == 1"), 4);  // 5 ^ (1 == 1)
  EXPECT_EQ(Eval("1, 2, 3"), 3);
  EXPECT_EQ(Eval("-2 * 3"), -6);
  EXPECT_EQ(Eval("!0 + !5"), 1);
  EXPECT_EQ(Eval("- -3"), 3);
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(EvalTest, NumbersAndSuffixes) {
  EXPECT_EQ(Eval("4K"), 4096);
  EXPECT_EQ(Eval("2M"), 2097152);
  EXPECT_EQ(Eval("1G"), 1073741824);
  EXPECT_EQ(Eval("0x1F"), 31);
  EXPECT_EQ(Eval("017"), 15);
  EXPECT_EQ(Eval("0xFFFFFFFFFFFFFFFF + 2"), 1);  // wraps
}

TEST_F(EvalTest, ComparisonsAreUnsignedAndShiftsLogical) {
  EXPECT_EQ(Eval("-1 < 0"), 0);
  EXPECT_EQ(Eval("-1 > 5"), 1);
  EXPECT_EQ(Eval("3 <= 3"), 1);
  EXPECT_EQ(Eval("3 >= 4"), 0);
  EXPECT_EQ(Eval("3 != 4"), 1);
  EXPECT_EQ(Eval("-1 >> 60"), 15);
  EXPECT_EQ(Eval("1 << 65"), 2);
}

TEST_F(EvalTest, ShortCircuitSkipsLookupsAndReports) {
  EXPECT_EQ(Eval("1 || X"), 1);
  EXPECT_EQ(Eval("0 && X"), 0);
  EXPECT_EQ(Eval("0 ? X : 9"), 9);
  EXPECT_EQ(Eval("1 ? 8 : X"), 8);
  EXPECT_TRUE(client.looked_up.empty());
  EXPECT_EQ(Eval("5 && 7"), 1);
  EXPECT_EQ(Eval("0 || 0"), 0);
  EXPECT_EQ(Eval("1 ? 2 : 0 ? 3 : 4"), 2);
  EXPECT_EQ(Eval("0 ? 2 : 0 ? 3 : 4"), 4);
  // Functions are still called in skip mode, told not to report.
  EXPECT_EQ(Eval("1 || f(a)"), 1);
  ASSERT_EQ(client.call_skips.size(), 1u);
  EXPECT_TRUE(client.call_skips[0]);
}

TEST_F(EvalTest, MacrosAsNumbersOrExpressions) {
  client.macros = {{"N", "0x10"}, {"S", "4K"}, {"E", "N + 1"}, {"EMPTY", ""}, {"A", "A + 1"}};
  EXPECT_EQ(Eval("N * 2"), 32);
  EXPECT_EQ(Eval("S"), 4096);
  EXPECT_EQ(Eval("E * 2"), 34);  // E is evaluated as a whole before the "*"
  EXPECT_EQ(Eval("EMPTY + UNDEFINED"), 0);
  EXPECT_TRUE(messages.all().empty());
  Eval("A");
  ASSERT_EQ(messages.texts(), std::vector<std::string>{"parse error: infinite recursion"});
  EXPECT_EQ(messages.all()[0].first, MsgSeverity::Error);
}

TEST_F(EvalTest, FunctionCallArguments) {
  EXPECT_EQ(Eval("f(NAME \"a b\" 0x10, -)"), 0);  // "-" is not an argument token
  messages.clear();
  client.calls.clear();
  EXPECT_EQ(Eval("f(NAME \"a\\tb\" 0x10, 0xFFFFFFFFFFFFFFFF) + 1"), 43);
  ASSERT_EQ(client.calls.size(), 1u);
  EXPECT_EQ(client.calls[0], (std::vector<std::string>{"f", "NAME", "a\tb", "16", "-1"}));
  EXPECT_TRUE(client.looked_up.empty());  // names are passed, not looked up
  EXPECT_EQ(Eval("g()"), 42);
  EXPECT_EQ(client.calls.back(), std::vector<std::string>{"g"});
  EXPECT_EQ(Eval("h(1 2 3 4 5 6 7 8 9 10 11 12)"), 42);
  EXPECT_TRUE(messages.all().empty());
  EXPECT_EQ(Eval("h(1 2 3 4 5 6 7 8 9 10 11 12 13)"), 0);
  EXPECT_EQ(messages.texts(), std::vector<std::string>{"parse error: too many arguments"});
}

TEST_F(EvalTest, DefinedWithoutParenthesesIsAMacro) {
  client.macros = {{"defined", "1"}};
  messages.clear();
  EXPECT_EQ(Eval("defined A"), 1);  // the rest is left over and ignored
  EXPECT_TRUE(client.calls.empty());
  EXPECT_EQ(Eval("defined(A)"), 42);
  EXPECT_EQ(client.calls.size(), 1u);
}

TEST_F(EvalTest, ErrorsNameTheOffendingText) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"1 = 2", "parse error: near: \"= 2\""},
      {"(1 + 2", "parse error: near: \"\""},
      {"1 ? 2", "parse error: near: \"\""},
      {"4 / 2", "parse error: near: \"/ 2\""},
      {"~1", "parse error: near: \"~1\""},
      {"1 + \"s\"", "parse error: near: \"\"s\"\""},
  };
  for (const Case& c : cases) {
    messages.clear();
    Eval(c.text);
    EXPECT_EQ(messages.texts(), std::vector<std::string>{c.message}) << c.text;
  }
  messages.clear();
  EXPECT_EQ(Eval("1 )"), 1);
  EXPECT_EQ(Eval("3 junk"), 3);
  EXPECT_TRUE(messages.all().empty());
}

TEST_F(EvalTest, DeepNestingIsRefusedNotOverflowed) {
  std::string deep(100000, '(');
  deep += "1";
  EXPECT_EQ(Eval(deep.c_str()), 0);
  ASSERT_EQ(messages.all().size(), 1u);
  EXPECT_EQ(messages.all()[0].second.rfind("parse error: nested too deeply", 0), 0u);
  messages.clear();
  std::string chain = "1";
  for (int i = 0; i < 100000; i++) chain += "+1";
  Eval(chain.c_str());
  EXPECT_EQ(messages.all().size(), 1u);
  messages.clear();
  std::string nots(100000, '!');
  nots += "0";
  Eval(nots.c_str());
  EXPECT_EQ(messages.all().size(), 1u);
  messages.clear();
  std::string modest(100, '(');
  modest += "7" + std::string(100, ')');
  EXPECT_EQ(Eval(modest.c_str()), 7);
  EXPECT_TRUE(messages.all().empty());
}

}  // namespace
