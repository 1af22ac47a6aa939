// exit_status: the ways the process ends, each with its event-log text under
// "VUSK__Info".
#pragma once

#include <cstdint>

enum class ExitReason {
  Help,             // status 0
  SyntaxError,      // status 1
  InvalidRequest,   // status: the error number of the failed read (0 at end of input)
  InvalidResponse,  // status 2
  SendFailed,       // status 3
  AfterExitCommand, // status: processExitCode
  FromPlayback,     // status: the playback's result
  kCount
};

constexpr int kExitSyntaxError = 1;
constexpr int kExitInvalidResponse = 2;
constexpr int kExitSendFailed = 3;

// Records why the process ends and returns status, for "return ExitWith(...)".
int ExitWith(ExitReason reason, int32_t status);

