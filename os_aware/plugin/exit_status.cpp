// exit_status: see exit_status.h. Each text takes the status once; the texts
// are read by people looking at a dump, so their wording (and the trailing
// blank of the Exit command's text) stays as it is.
#include "os_aware/plugin/exit_status.h"

#include <cstdio>

#include "shared/event_log.h"

namespace {

constexpr const char* kExitCategory = "VUSK__Info";
constexpr size_t kExitTextBytes = 96;

// The text of a reason: head, the status (when it shows it), tail.
struct ExitTextRow {
  const char* head;
  bool showsStatus;
  const char* tail;
};

constexpr ExitTextRow kExitTexts[] = {
    {.head = "Exit with ", .showsStatus = true, .tail = " (help)"},
    {.head = "Exit with 1 (syntaxError ", .showsStatus = true, .tail = ")"},
    {.head = "Exit with ", .showsStatus = true, .tail = " (invalid request)"},
    {.head = "Exit with 2 (invalid response)", .showsStatus = false, .tail = ""},
    {.head = "Exit with 3 (failed to send response)", .showsStatus = false, .tail = ""},
    {.head = "Exit with ", .showsStatus = true, .tail = " (after Exit cmd) "},
    {.head = "Exit with ", .showsStatus = true, .tail = " (from playback)"},
};
static_assert(sizeof(kExitTexts) / sizeof(kExitTexts[0]) == static_cast<size_t>(ExitReason::kCount),
              "one text per exit reason");

}  // namespace

int ExitWith(ExitReason reason, int32_t status) {
  const ExitTextRow& row = kExitTexts[static_cast<int>(reason)];
  char text[kExitTextBytes];
  if (row.showsStatus) {
    snprintf(text, sizeof text, "%s%d%s", row.head, static_cast<int>(status), row.tail);
  } else {
    snprintf(text, sizeof text, "%s", row.head);
  }
  EventLogText(kExitCategory, text);
  return status;
}
