// vusk_crash_probe: fails on purpose, the way its one argument names, after
// an event-log entry, so that the checks can find the crash dump and the exit
// status that the platform layer leaves behind:
//   segv    write through a null pointer (an access violation)
//   stack   unbounded recursion (a stack overflow)
//   abort   abort()
//   oom     an allocation the heap cannot give
// Without a known argument it ends with status 64.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shared/event_log.h"
#include "shared/port_alloc.h"
#include "shared/port_io.h"

namespace {

constexpr int kUnknownFailure = 64;

// The address is not known to the compiler, so the store is really made.
volatile uintptr_t g_null_address = 0;

void WriteThroughNull() { *reinterpret_cast<volatile int*>(g_null_address) = 1; }

// Each frame keeps a buffer alive across the call, so the recursion cannot
// be turned into a loop; the flag, never cleared, hides from the compiler
// that it has no end.
volatile bool g_keep_going = true;

int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (!g_keep_going) return frame[0];
  return Recurse(depth + 1) + frame[0];
}

void OverflowStack() { Recurse(0); }

void AllocateTooMuch() { PortFree(PortAlloc(SIZE_MAX / 2)); }

struct Failure {
  const char* name;
  void (*run)();
};

constexpr Failure kFailures[] = {
    {"segv", WriteThroughNull},
    {"stack", OverflowStack},
    {"abort", abort},
    {"oom", AllocateTooMuch},
};

}  // namespace

int main(int argc, char** argv) {
  PortSetBinaryStandardStreams();
  EventLogInstallCrashDump("vusk_crash_probe");
  EventLogText("VUSK__Info", "about to fail");
  for (const Failure& failure : kFailures) {
    if (argc > 1 && strcmp(argv[1], failure.name) == 0) failure.run();
  }
  return kUnknownFailure;
}
