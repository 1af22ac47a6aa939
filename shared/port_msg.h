// port_msg: diagnostics with a severity, written to standard error.
//
// Standard output carries protocol messages only, so every diagnostic of the
// program goes through here. Tests replace the sink to capture messages.
#pragma once

#include <cstdarg>
#include <string>

enum class MsgSeverity { Info = 0, Warning = 1, Error = 2, Fatal = 3 };

// Formats and emits a message. Info is written as it stands; warning, error
// and fatal carry the prefixes "warning: ", "error: " and "fatal: ". A message
// that does not end in a newline gets one. Fatal ends the process (status 1)
// after the event log's dump.
void PortMessage(MsgSeverity severity, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A sink receives every message (severity and formatted text, without prefix
// or added newline) instead of standard error. Null restores standard error.
using PortMessageSink = void (*)(void* user, MsgSeverity severity, const char* text);
void PortSetMessageSink(PortMessageSink sink, void* user);

// The text a printf-style format and its arguments make (empty when
// formatting fails). args is used up, as by vsnprintf.
std::string PortFormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
