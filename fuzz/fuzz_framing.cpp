// fuzz_framing: the framing test and record playback on fuzzer-made texts.
//
// IsCompleteObject runs on the whole input and on every line; then the input
// is written as a record file and played back (with -ignore_error when the
// input's length is odd, so both driver rules are reached). Playback's own
// reports go to standard output, which this target sends to /dev/null.
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/framing.h"
#include "os_aware/plugin/playback.h"

namespace {

// Framing must agree with itself: a complete text stays complete with blanks
// after it (text after the first object is allowed), and the message the
// reader cuts from a text is complete by itself.
void CheckFraming(const std::string& text) {
  bool complete = IsCompleteObject(text.c_str());
  if (complete && !IsCompleteObject((text + " \t x").c_str()))
    fuzz::Fail("fuzz_framing", "trailing text made a complete object incomplete", text);
  size_t first = FirstObjectLength(text.c_str());
  if (first > 0 && !IsCompleteObject(text.substr(0, first).c_str()))
    fuzz::Fail("fuzz_framing", "the first object cut from the text is not complete", text);
  if (complete && !text.empty() && text[0] == '{' && first == 0)
    fuzz::Fail("fuzz_framing", "a complete text has no first object", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SetUp();
  if (!freopen("/dev/null", "w", stdout)) return 0;
  static char program[] = "vusk_threadx";
  static char* argv[] = {program, nullptr};
  VUSK_Client_CmdInit(1, argv, PlaybackExchange);
  fuzz::BindSessionMethods();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz::AsText(data, size);
  CheckFraming(text);
  std::vector<std::string> lines = fuzz::SplitLines(text);
  for (const std::string& line : lines) CheckFraming(line);

  std::string record = fuzz::ScratchDir() + "/record.rec";
  if (!fuzz::WriteFile(record, text)) return 0;
  ignoreError = (size % 2) == 1;
  PlaybackRun(record.c_str());
  fuzz::ForgetSession();  // the record is written anew by the next input
  exitRequested = false;
  return 0;
}
