// port_io_posix: the POSIX implementation of port_io.h.
//
// The fatal-signal handlers run on an alternate stack of their own, so that a
// stack overflow can still leave its dump behind.
#include "shared/port_io.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// Room for the handler's own frames, including the event-log formatter.
constexpr size_t kAltStackBytes = 64 * 1024;
alignas(16) char g_alt_stack[kAltStackBytes];

PortFatalSignalFn g_on_fatal = nullptr;

void FatalSignalHandler(int signalNumber) {
  // The action was reset to the default on entry (SA_RESETHAND), so a fault
  // inside the dump ends the process instead of looping.
  if (g_on_fatal) g_on_fatal(signalNumber);
  raise(signalNumber);
}

}  // namespace

int64_t PortReadStdin(void* buffer, size_t size) { return read(STDIN_FILENO, buffer, size); }

int64_t PortWriteStdout(const void* data, size_t size) { return write(STDOUT_FILENO, data, size); }

void PortWriteStderr(const char* text, size_t size) {
  int saved = errno;
  while (size > 0) {
    ssize_t written = write(STDERR_FILENO, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    text += written;
    size -= static_cast<size_t>(written);
  }
  errno = saved;
}

void PortIgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void PortSetBinaryStandardStreams() {}

void PortInstallFatalSignalHandlers(PortFatalSignalFn onFatal) {
  g_on_fatal = onFatal;
  stack_t alt = {};
  alt.ss_sp = g_alt_stack;
  alt.ss_size = kAltStackBytes;
  sigaltstack(&alt, nullptr);
  for (int signalNumber : kFatalSignals) {
    struct sigaction action = {};
    action.sa_handler = FatalSignalHandler;
    action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

int PortFileCreate(const char* path) { return open(path, O_WRONLY | O_CREAT | O_EXCL, 0644); }

bool PortFileWrite(int handle, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = write(handle, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool PortFileClose(int handle) { return close(handle) == 0; }

bool PortTempDirectory(char* out, size_t capacity) {
  const char* directory = getenv("TMPDIR");
  if (!directory || !*directory) directory = "/tmp";
  size_t length = strlen(directory);
  while (length > 1 && directory[length - 1] == '/') length--;
  if (length + 1 > capacity) return false;
  memcpy(out, directory, length);
  out[length] = '\0';
  return true;
}

int64_t PortProcessId() { return static_cast<int64_t>(getpid()); }

int64_t PortClockMicros() {
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
