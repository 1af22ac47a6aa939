// console: the process's texts on its standard streams outside the protocol.
//
// The diagnostics of the plugin process are fixed texts, some of them without
// a final newline, so they are written exactly as formatted (no prefix, no
// added newline) and flushed at once: the host may read them interleaved with
// protocol traffic.
#pragma once

// Formats to standard error.
void ConsoleError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats to standard output. Only for texts that are not protocol messages:
// the help text, and the record player, which owns standard output.
void ConsoleOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
