// console: see console.h.
#include "os_aware/plugin/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

__attribute__((format(printf, 2, 0))) void WriteTo(FILE* stream, const char* format, va_list args) {
  int saved = errno;  // callers report errno after writing the text
  vfprintf(stream, format, args);
  fflush(stream);
  errno = saved;
}

}  // namespace

void ConsoleError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteTo(stderr, format, args);
  va_end(args);
}

void ConsoleOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteTo(stdout, format, args);
  va_end(args);
}
