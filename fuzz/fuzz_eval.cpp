// fuzz_eval: the integer evaluator with the preprocessor as its client.
//
// The first line of the input is the expression; every later line of the
// form NAME=TEXT defines a macro first (so macros may hold expressions,
// refer to each other and to themselves). The expression is evaluated twice,
// normally and in skip mode: skip mode looks no name up and calls functions
// so that they keep quiet, so its only reports are the evaluator's own
// parse errors.
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "shared/libcxxutil/ut_int_eval.h"
#include "shared/libcxxutil/ut_preprocessor.h"

namespace {

constexpr const char kParseErrorPrefix[] = "parse error";

bool g_counting = false;
int g_foreign_reports = 0;  // reports in skip mode other than parse errors
std::string g_last_foreign;

void CountReport(void*, MsgSeverity, const char* text) {
  if (!g_counting || std::string(text).rfind(kParseErrorPrefix, 0) == 0) return;
  g_foreign_reports++;
  g_last_foreign = text;
}

void DefineMacros(simple_preprocessor* pp, const std::vector<std::string>& lines) {
  for (size_t i = 1; i < lines.size(); i++) {
    size_t equals = lines[i].find('=');
    if (equals == std::string::npos || equals == 0) continue;
    pp->define(lines[i].substr(0, equals).c_str(), lines[i].substr(equals + 1).c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SetUp();
  PortSetMessageSink(CountReport, nullptr);  // in place of SetUp's silence
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = fuzz::SplitLines(fuzz::AsText(data, size));
  simple_preprocessor pp(nullptr, nullptr);
  DefineMacros(&pp, lines);
  ut_simple_integer_evaluate(&pp, lines[0].c_str(), false);
  g_foreign_reports = 0;
  g_counting = true;
  ut_simple_integer_evaluate(&pp, lines[0].c_str(), true);
  g_counting = false;
  if (g_foreign_reports != 0) {
    fuzz::Fail("fuzz_eval", "skip mode reported something", g_last_foreign + "\nfor: " + lines[0]);
  }
  return 0;
}
