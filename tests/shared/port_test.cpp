// The portability layer's promises: a fatal report on exhaustion, and
// diagnostics that reach a sink with their severity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/port_alloc.h"
#include "shared/port_msg.h"

TEST(PortAlloc, ExhaustionWritesTheFatalReportAndEnds) {
  EXPECT_EXIT(PortAlloc(static_cast<size_t>(1) << 62), testing::ExitedWithCode(1),
              "fatal: Out of memory \\(0x4000000000000000 bytes requested\\)\n$");
}

TEST(PortAlloc, CopiesTexts) {
  char* copy = PortStrndup("abcdef", 3);
  EXPECT_STREQ(copy, "abc");
  PortFree(copy);
  EXPECT_EQ(PortStrdup(nullptr), nullptr);
}

namespace {
struct Captured {
  std::vector<std::pair<MsgSeverity, std::string>> messages;
};
void Capture(void* user, MsgSeverity severity, const char* text) {
  static_cast<Captured*>(user)->messages.emplace_back(severity, text);
}
}  // namespace

TEST(PortMessage, SinkReceivesSeverityAndText) {
  Captured captured;
  PortSetMessageSink(Capture, &captured);
  PortMessage(MsgSeverity::Warning, "%s: is missing %d", "blk", 3);
  PortSetMessageSink(nullptr, nullptr);
  ASSERT_EQ(captured.messages.size(), 1u);
  EXPECT_EQ(captured.messages[0].first, MsgSeverity::Warning);
  EXPECT_EQ(captured.messages[0].second, "blk: is missing 3");
}

TEST(PortMessage, StandardErrorCarriesThePrefix) {
  testing::internal::CaptureStderr();
  PortMessage(MsgSeverity::Error, "bad %s", "thing");
  PortMessage(MsgSeverity::Info, "plain\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: bad thing\nplain\n");
}
