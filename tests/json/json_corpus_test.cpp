// The public JSON conformance corpus, read with this integer-only dialect:
// no file may crash, hang or leak, every accepted-by-JSON file whose numbers
// are integers parses, and the ones we reject on purpose are listed with why.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "os_aware/simple_json/json_parse.h"
#include "os_aware/simple_json/simple_json.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(VUSK_CORPUS_DIR) / "JSONTestSuite" / "test_parsing";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// y_ files (valid JSON) this dialect refuses by design.
// Numbers are 64-bit integers only: a fraction or an exponent ends the
// number, and the container then meets an unexpected '.', 'e' or 'E'.
const std::set<std::string> kRejectedOnPurpose = {
    "y_number.json",                         // exponent: 123e65
    "y_number_0e+1.json",                    // exponent with sign
    "y_number_0e1.json",                     // exponent
    "y_number_double_close_to_zero.json",    // fraction
    "y_number_int_with_exp.json",            // exponent: 20e1
    "y_number_real_capital_e.json",          // exponent: 1E22
    "y_number_real_capital_e_neg_exp.json",  // exponent: 1E-2
    "y_number_real_capital_e_pos_exp.json",  // exponent: 1E+2
    "y_number_real_exponent.json",           // exponent
    "y_number_real_fraction_exponent.json",  // fraction and exponent
    "y_number_real_neg_exp.json",            // exponent: 1e-2
    "y_number_real_pos_exponent.json",       // exponent: 1e+2
    "y_number_simple_real.json",             // fraction
    "y_object_extreme_numbers.json",         // fractions with exponents
};

}  // namespace

TEST(JsonCorpus, EveryFileParsesOrFailsCleanly) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "corpus not found at " << kCorpus;
  int files = 0;
  std::set<std::string> rejected;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCorpus)) {
    std::string name = entry.path().filename().string();
    std::string text = ReadFile(entry.path());
    std::string error;
    JsonValue* value = JsonParse(text.c_str(), &error);
    EXPECT_EQ(value == nullptr, !error.empty()) << name;
    if (value) {
      std::string out;
      JsonWriteValue(&out, value);  // every tree it makes can be written
      JsonFree(value);
    } else if (name.rfind("y_", 0) == 0) {
      rejected.insert(name);
    }
    files++;
  }
  EXPECT_GT(files, 0);
  for (const std::string& name : rejected) {
    EXPECT_TRUE(kRejectedOnPurpose.count(name)) << name << " rejected unexpectedly";
  }
  for (const std::string& name : kRejectedOnPurpose) {
    EXPECT_TRUE(rejected.count(name)) << name << " listed as rejected but accepted";
  }
}

TEST(JsonCorpus, HostileNestingFailsWithOneError) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "corpus not found at " << kCorpus;
  for (const char* name : {"n_structure_100000_opening_arrays.json", "n_structure_open_array_object.json"}) {
    std::string text = ReadFile(kCorpus / name);
    ASSERT_FALSE(text.empty()) << name;
    std::string error;
    EXPECT_EQ(JsonParse(text.c_str(), &error), nullptr) << name;
    EXPECT_EQ(error, "Error: nesting deeper than 512 levels") << name;
  }
  // 500 levels are within the bound.
  std::string error;
  JsonValue* value = JsonParse(ReadFile(kCorpus / "i_structure_500_nested_arrays.json").c_str(), &error);
  EXPECT_NE(value, nullptr) << error;
  JsonFree(value);
}
