// exit_status: see exit_status.h. Each text takes the status once; the texts
// are read by people looking at a dump, so their wording (and the trailing
// blank of the Exit command's text) stays as it is.
#include "os_aware/plugin/exit_status.h"

#include <cstdio>

#include "shared/event_log.h"

namespace {

constexpr const char* kExitCategory = "VUSK__Info";
constexpr size_t kExitTextBytes = 96;

constexpr const char* kExitTexts[] = {
    "Exit with %d (help)",
    "Exit with 1 (syntaxError %d)",
    "Exit with %d (invalid request)",
    "Exit with 2 (invalid response)",
    "Exit with 3 (failed to send response)",
    "Exit with %d (after Exit cmd) ",
    "Exit with %d (from playback)",
};
static_assert(sizeof(kExitTexts) / sizeof(kExitTexts[0]) == static_cast<size_t>(ExitReason::kCount),
              "one text per exit reason");

}  // namespace

const char* ExitText(ExitReason reason) { return kExitTexts[static_cast<int>(reason)]; }

int ExitWith(ExitReason reason, int32_t status) {
  char text[kExitTextBytes];
  snprintf(text, sizeof text, ExitText(reason), static_cast<int>(status));
  EventLogText(kExitCategory, text);
  return status;
}
