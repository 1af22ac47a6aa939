// port_msg: see port_msg.h.
#include "shared/port_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shared/event_log_hook.h"

namespace {

PortMessageSink g_sink = nullptr;
void* g_sink_user = nullptr;

constexpr const char* kSeverityPrefix[] = {"", "warning: ", "error: ", "fatal: "};
static_assert(sizeof(kSeverityPrefix) / sizeof(kSeverityPrefix[0]) == static_cast<int>(MsgSeverity::Fatal) + 1,
              "one prefix per severity");

}  // namespace

std::string PortFormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

void PortSetMessageSink(PortMessageSink sink, void* user) {
  g_sink = sink;
  g_sink_user = user;
}

void PortMessage(MsgSeverity severity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = PortFormatV(format, args);
  va_end(args);
  if (g_sink) {
    g_sink(g_sink_user, severity, text.c_str());
  } else {
    const char* newline = (!text.empty() && text.back() == '\n') ? "" : "\n";
    fprintf(stderr, "%s%s%s", kSeverityPrefix[static_cast<int>(severity)], text.c_str(), newline);
    fflush(stderr);
  }
  if (severity == MsgSeverity::Fatal) {
    EventLogFatalHook();
    _Exit(1);
  }
}
