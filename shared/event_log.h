// event_log: the per-thread ring buffer of time-stamped events, and its dump.
//
// Entries are (category, text) or (category, number). The buffer is written
// to a dump file when the process fails (a fatal error or a fatal signal) and
// on request (the HistoryLogDump method). Recording never fails and never
// blocks: the oldest entries give way to new ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Default and least size of a thread's ring buffer in bytes; a resize request
// below the least size is ignored.
constexpr size_t kEventLogDefaultBytes = 65536;
constexpr size_t kEventLogMinBytes = 16656;

void EventLogText(const char* category, const char* text);
void EventLogNumber(const char* category, int64_t number);

// Event-history scopes of the host service calls: the text opens a scope,
// the matching end closes it (both become entries).
void EventLogScopeBegin(const char* text);
void EventLogScopeEnd();

// Asks for a new buffer size; sizes below kEventLogMinBytes are ignored.
void EventLogResize(size_t bytes);

// Writes the calling thread's buffer to a new dump file in directory; returns
// false when it cannot be written, with errno telling why (ENOENT for an
// empty directory name, ENAMETOOLONG for a path beyond the dump's room).
bool EventLogDumpToDirectory(const char* directory);

// Arranges for a dump on a fatal error or fatal signal (into the temporary
// directory), naming the program in the file name.
void EventLogInstallCrashDump(const char* programName);
