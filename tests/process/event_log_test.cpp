// The event log's ring, its dump format, and the dump left by a fatal end.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shared/event_log.h"
#include "shared/event_log_hook.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class EventLogTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("vusk_event_log_test_" + std::to_string(getpid()) + "_" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  // Lines of the only dump file in the directory, time stamps removed.
  std::vector<std::string> DumpLines() {
    std::vector<std::string> lines;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      files++;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        // "YYYY-MM-DD HH:MM:SS.uuuuuu " is 27 characters.
        lines.push_back(line[0] == '#' ? line : line.substr(27));
      }
    }
    EXPECT_EQ(files, 1);
    return lines;
  }

  // Pushes out whatever earlier tests left in this thread's ring.
  static void Fill(int count) {
    for (int i = 0; i < count; i++) EventLogNumber("Filler", i);
  }

  fs::path directory_;
};

}  // namespace

TEST_F(EventLogTest, DumpHasOneLinePerEntryOldestFirst) {
  EventLogText("VUSK__Info", "Exit with 0 (help)");
  EventLogNumber("VUSK__Count", -42);
  EventLogText("VUSK__JSON__Read", "{ \"a\" : \"b\\\\\" }\r\n\x01");
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  std::vector<std::string> lines = DumpLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("# vusk event log: program ", 0), 0u) << lines[0];
  size_t n = lines.size();
  EXPECT_EQ(lines[n - 3], "VUSK__Info \"Exit with 0 (help)\"");
  EXPECT_EQ(lines[n - 2], "VUSK__Count -42");
  EXPECT_EQ(lines[n - 1], "VUSK__JSON__Read \"{ \\\"a\\\" : \\\"b\\\\\\\\\\\" }\\r\\n\\x01\"");
}

TEST_F(EventLogTest, TimeStampIsUtcCalendarTime) {
  EventLogText("VUSK__Info", "stamp");
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  for (const auto& entry : fs::directory_iterator(directory_)) {
    std::ifstream in(entry.path());
    std::string line, last;
    while (std::getline(in, line)) last = line;
    time_t now = time(nullptr);
    char expected[32];
    strftime(expected, sizeof expected, "%Y-%m-%d %H:", gmtime(&now));
    // Only the date and hour: the minute may have turned since.
    EXPECT_EQ(last.substr(0, 14), std::string(expected)) << last;
    EXPECT_EQ(last[19], '.');
  }
}

TEST_F(EventLogTest, LongTextsAreCutAndSayHowLongTheyWere) {
  std::string text(70000, 'x');
  EventLogText("VUSK__JSON__Write", text.c_str());
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  std::string last = DumpLines().back();
  EXPECT_EQ(last.rfind("VUSK__JSON__Write \"xxx", 0), 0u);
  EXPECT_NE(last.find("xxx\" (cut from 70000 bytes)"), std::string::npos);
  EXPECT_LT(last.size(), 1000u);
}

TEST_F(EventLogTest, ScopesIndentTheirEntries) {
  EventLogScopeBegin("VUSK_Service_MemoryRead");
  EventLogText("VUSK__Info", "inside");
  EventLogScopeEnd();
  EventLogScopeEnd();  // unbalanced end: depth stays at 0
  EventLogText("VUSK__Info", "outside");
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  std::vector<std::string> lines = DumpLines();
  size_t n = lines.size();
  ASSERT_GE(n, 5u);
  EXPECT_EQ(lines[n - 5], ">> \"VUSK_Service_MemoryRead\"");
  EXPECT_EQ(lines[n - 4], "  VUSK__Info \"inside\"");
  EXPECT_EQ(lines[n - 3], "<<");
  EXPECT_EQ(lines[n - 2], "<<");
  EXPECT_EQ(lines[n - 1], "VUSK__Info \"outside\"");
}

TEST_F(EventLogTest, FullRingKeepsTheNewestAndResizeBelowTheLeastIsIgnored) {
  EventLogResize(kEventLogMinBytes - 1);  // ignored: the default stays
  Fill(100000);
  EventLogNumber("Last", 7);
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  std::vector<std::string> lines = DumpLines();
  size_t defaultCount = lines.size() - 1;
  EXPECT_GT(defaultCount, 50u);
  EXPECT_EQ(lines.back(), "Last 7");
  EXPECT_EQ(lines[lines.size() - 2], "Filler 99999");
  fs::remove_all(directory_);
  fs::create_directories(directory_);

  EventLogResize(kEventLogMinBytes);  // shrinks, keeping the newest entries
  ASSERT_TRUE(EventLogDumpToDirectory(directory_.c_str()));
  lines = DumpLines();
  EXPECT_LT(lines.size() - 1, defaultCount);
  EXPECT_GT(lines.size() - 1, 0u);
  EXPECT_EQ(lines.back(), "Last 7");
  EventLogResize(kEventLogDefaultBytes);
}

TEST_F(EventLogTest, DumpIntoAMissingDirectoryFails) {
  EXPECT_FALSE(EventLogDumpToDirectory((directory_ / "absent").c_str()));
  EXPECT_FALSE(EventLogDumpToDirectory(""));
  EXPECT_FALSE(EventLogDumpToDirectory(nullptr));
}

TEST_F(EventLogTest, FatalSignalLeavesADumpInTheTemporaryDirectory) {
  std::string directory = directory_.string();
  EXPECT_DEATH(
      {
        setenv("TMPDIR", directory.c_str(), 1);
        EventLogInstallCrashDump("/some/where/probe");
        EventLogText("VUSK__Info", "before the crash");
        raise(SIGABRT);
      },
      "Event log written to .*probe_crash_");
  std::vector<std::string> lines = DumpLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("# vusk event log: program probe, process ", 0), 0u) << lines[0];
  EXPECT_EQ(lines.back(), "VUSK__Info \"before the crash\"");
}

TEST_F(EventLogTest, FatalHookLeavesADump) {
  std::string directory = directory_.string();
  EXPECT_EXIT(
      {
        setenv("TMPDIR", directory.c_str(), 1);
        EventLogInstallCrashDump("probe");
        EventLogText("VUSK__Info", "before the fatal end");
        EventLogFatalHook();
        _Exit(1);
      },
      testing::ExitedWithCode(1), "Event log written to ");
  EXPECT_EQ(DumpLines().back(), "VUSK__Info \"before the fatal end\"");
}
