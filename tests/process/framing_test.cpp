// The framing test, the command line and the exit texts, in process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "os_aware/plugin/command_line.h"
#include "os_aware/plugin/exit_status.h"
#include "os_aware/plugin/framing.h"
#include "shared/event_log.h"

TEST(IsCompleteObject, BalancedObjectsAfterBlanksTabsAndNewlines) {
  EXPECT_TRUE(IsCompleteObject("{}"));
  EXPECT_TRUE(IsCompleteObject(" \t\n{ \"a\" : { \"b\" : 1 } }"));
  EXPECT_TRUE(IsCompleteObject("{} x"));          // text after the object is allowed
  EXPECT_TRUE(IsCompleteObject("{} {}"));
  EXPECT_FALSE(IsCompleteObject("{} {"));         // a further brace must close too
  EXPECT_FALSE(IsCompleteObject("{} }"));         // one closing brace too many
  EXPECT_FALSE(IsCompleteObject("\r\n{}"));       // a carriage return is not skipped
  EXPECT_FALSE(IsCompleteObject("[{}]"));
  EXPECT_FALSE(IsCompleteObject(""));
  EXPECT_FALSE(IsCompleteObject(nullptr));
  EXPECT_FALSE(IsCompleteObject("{ \"meth"));    // a piece ending in a member name
  EXPECT_FALSE(IsCompleteObject("{ \"a\" : { }"));
}

TEST(IsCompleteObject, BracesAndEscapesInsideStrings) {
  EXPECT_TRUE(IsCompleteObject("{ \"a\" : \"}\" }"));
  EXPECT_TRUE(IsCompleteObject("{ \"a\" : \"{{\" }"));
  EXPECT_TRUE(IsCompleteObject("{ \"a\" : \"x\\\"}\" }"));   // brace after an escaped quote
  EXPECT_FALSE(IsCompleteObject("{ \"a\" : \"x\\\"}\""));    // ... is still in the string
  EXPECT_TRUE(IsCompleteObject("{ \"a\" : \"\\\\\" }"));     // escaped backslash ends nothing
  EXPECT_FALSE(IsCompleteObject("{ \"a\" : \"\\"));          // backslash at the very end
  EXPECT_FALSE(IsCompleteObject("{ \"a }"));                 // unterminated string
}

TEST(FirstObjectLength, EndsAtTheBraceThatClosesTheFirstObject) {
  EXPECT_EQ(FirstObjectLength("{}"), 2u);
  EXPECT_EQ(FirstObjectLength("{}{\"id\":2}"), 2u);           // the next message stays
  EXPECT_EQ(FirstObjectLength("{ \"a\" : { } } x"), 13u);
  EXPECT_EQ(FirstObjectLength("{ \"a\" : \"}\\\"}\" }{"), 16u);  // braces and escapes in strings
  EXPECT_EQ(FirstObjectLength("{ \"a\" : { }"), 0u);           // not all in yet
  EXPECT_EQ(FirstObjectLength("{ \"a\" : \"}"), 0u);
  EXPECT_EQ(FirstObjectLength(" {}"), 0u);                     // blanks are the reader's to drop
  EXPECT_EQ(FirstObjectLength("}{}"), 0u);
  EXPECT_EQ(FirstObjectLength(""), 0u);
  EXPECT_EQ(FirstObjectLength(nullptr), 0u);
}

namespace {

struct Args {
  std::vector<std::string> texts;
  std::vector<char*> pointers;
  explicit Args(std::vector<std::string> given) : texts(std::move(given)) {
    for (std::string& text : texts) pointers.push_back(text.data());
  }
  int argc() { return static_cast<int>(pointers.size()); }
  char** argv() { return pointers.data(); }
};

CommandLine Parse(std::vector<std::string> given) {
  given.insert(given.begin(), "vusk_threadx");
  Args args(std::move(given));
  CommandLine line = ParseCommandLine(args.argc(), args.argv());
  line.recordPath = nullptr;  // points into args, gone after return
  return line;
}

}  // namespace

TEST(CommandLine, OptionsMatchWholeAndIgnoreCase) {
  EXPECT_EQ(Parse({}).action, CommandAction::Live);
  EXPECT_EQ(Parse({"-HELP"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"-H"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"-hel"}).action, CommandAction::SyntaxError);
  EXPECT_EQ(Parse({"-helpx"}).action, CommandAction::SyntaxError);
  EXPECT_EQ(Parse({"-File", "rec.txt"}).action, CommandAction::Playback);
  EXPECT_EQ(Parse({"-f", "rec.txt"}).action, CommandAction::Playback);
  CommandLine line = Parse({"-IGNORE_ERROR", "-file", "rec.txt"});
  EXPECT_EQ(line.action, CommandAction::Playback);
  EXPECT_TRUE(line.ignoreError);
}

TEST(CommandLine, ExaminationStopsAtTheFirstHelpOrError) {
  EXPECT_EQ(Parse({"-file", "a", "-h"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"-x", "-h"}).action, CommandAction::SyntaxError);
  EXPECT_EQ(Parse({"-file"}).action, CommandAction::SyntaxError);
  EXPECT_EQ(Parse({"-file", "-h"}).action, CommandAction::Playback);  // "-h" is the path
  testing::internal::CaptureStderr();
  EXPECT_EQ(Parse({"-file", "a", "-file", "b", "-h"}).action, CommandAction::SyntaxError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Only one playback file is allowed.\n");
}

TEST(CommandLine, IgnoreErrorWithoutAFileIsASyntaxError) {
  EXPECT_EQ(Parse({"-ignore_error"}).action, CommandAction::SyntaxError);
}

namespace {

// The last line of a dump of this thread's event log, without its time stamp.
std::string LastLoggedLine() {
  std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("vusk_exit_text_" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  EXPECT_TRUE(EventLogDumpToDirectory(directory.c_str()));
  std::string line, last;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::ifstream in(entry.path());
    while (std::getline(in, line)) last = line;
  }
  std::filesystem::remove_all(directory);
  return last.size() > 27 ? last.substr(27) : last;
}

}  // namespace

TEST(ExitWith, RecordsTheReasonUnderInfoAndReturnsTheStatus) {
  struct Case {
    ExitReason reason;
    int status;
    const char* line;
  };
  const Case cases[] = {
      {ExitReason::Help, 0, "VUSK__Info \"Exit with 0 (help)\""},
      {ExitReason::SyntaxError, 1, "VUSK__Info \"Exit with 1 (syntaxError 1)\""},
      {ExitReason::InvalidRequest, 5, "VUSK__Info \"Exit with 5 (invalid request)\""},
      {ExitReason::InvalidResponse, 2, "VUSK__Info \"Exit with 2 (invalid response)\""},
      {ExitReason::SendFailed, 3, "VUSK__Info \"Exit with 3 (failed to send response)\""},
      {ExitReason::AfterExitCommand, 0, "VUSK__Info \"Exit with 0 (after Exit cmd) \""},
      {ExitReason::FromPlayback, 4, "VUSK__Info \"Exit with 4 (from playback)\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExitWith(c.reason, c.status), c.status);
    EXPECT_EQ(LastLoggedLine(), c.line);
  }
}
