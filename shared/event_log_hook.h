// event_log_hook: the one call the lowest layers make into the event log.
//
// The allocator and the message service sit below the event log, yet a fatal
// end must still leave the log's dump behind. The event log installs its dump
// routine here; until it does, the hook does nothing.
#pragma once

using EventLogFatalFn = void (*)();

// Installs the routine run by EventLogFatalHook (null removes it).
void EventLogSetFatalHook(EventLogFatalFn fn);

// Runs the installed routine, if any. Called on the way to a fatal end; the
// routine must not allocate from the heap.
void EventLogFatalHook();
