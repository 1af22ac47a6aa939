// live_loop: the live main loop: read a request, dispatch it, write the
// response, until the Exit method, the end of the host's output or a transport
// fault. Each way out is recorded with its status (exit_status.h).
#include "os_aware/plugin/live_loop.h"

#include <cerrno>

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/exit_status.h"
#include "os_aware/plugin/framing.h"

int RunLiveLoop() {
  MessageBuffer buffer;
  for (;;) {
    if (exitRequested) return ExitWith(ExitReason::AfterExitCommand, processExitCode);
    if (!ReadMessage(buffer.text)) {
      int error = errno;
      if (buffer.text[0]) {
        ConsoleError("VUSK plugin: Failed to get valid request: %s (err %d)\n", buffer.text, error);
      }
      return ExitWith(ExitReason::InvalidRequest, error);
    }
    const char* response = VUSK_Client_CmdParser(buffer.text);
    if (!IsCompleteObject(response)) {
      ConsoleError("VUSK plugin: Got invalid response: %s (err %d)\n", response ? response : "null", errno);
      return ExitWith(ExitReason::InvalidResponse, kExitInvalidResponse);
    }
    if (!JsonWriteText(response)) {
      ConsoleError("VUSK plugin: Failed to send response: %s (err %d)", response, errno);
      return ExitWith(ExitReason::SendFailed, kExitSendFailed);
    }
  }
}
