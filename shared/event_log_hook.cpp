// event_log_hook: see event_log_hook.h.
#include "shared/event_log_hook.h"

namespace {
EventLogFatalFn g_fatal_fn = nullptr;
}

void EventLogSetFatalHook(EventLogFatalFn fn) { g_fatal_fn = fn; }

void EventLogFatalHook() {
  EventLogFatalFn fn = g_fatal_fn;
  g_fatal_fn = nullptr;  // never twice, even if the dump itself fails
  if (fn) fn();
}
