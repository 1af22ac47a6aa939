// fuzz_json_parse: JsonParse on any text, and the writer on whatever parses.
//
// Beyond "no crash, no leak, no undefined behaviour" the target checks the
// round trip the protocol relies on: the compact text is printable ASCII,
// the compact text of a parsed tree parses
// again, to a tree that is written the same way (written texts are fixed
// points), and a failed parse always explains itself.
#include <string>

#include "fuzz/fuzz_util.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) { fuzz::Fail("fuzz_json_parse", what, detail); }

void CheckRoundTrip(const JsonValue* value) {
  std::string written;
  JsonWriteValue(&written, value);
  for (unsigned char c : written) {
    if (c < 0x20 || c > 0x7E) Fail("the writer let a control or high byte through", written);
  }
  std::string error;
  JsonValue* again = JsonParse(written.c_str(), &error);
  if (!again) Fail("the writer's text does not parse", written + "\n" + error);
  std::string rewritten;
  JsonWriteValue(&rewritten, again);
  JsonFree(again);
  if (rewritten != written) Fail("written text is not a fixed point", written + "\n" + rewritten);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz::AsText(data, size);
  std::string error;
  JsonValue* value = JsonParse(text.c_str(), &error);
  if (value) {
    if (!error.empty()) Fail("a parse that succeeded left an error text", error);
    CheckRoundTrip(value);
    JsonFree(value);
  } else if (error.empty()) {
    Fail("a failed parse gave no error text", text);
  }
  return 0;
}
