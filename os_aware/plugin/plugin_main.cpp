// plugin_main: see plugin_main.h. With arguments the process plays back a
// record file and never reads standard input; without, it serves the host.
#include "os_aware/plugin/plugin_main.h"

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/command_line.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/exit_status.h"
#include "os_aware/plugin/host_exchange.h"
#include "os_aware/plugin/live_loop.h"
#include "os_aware/plugin/playback.h"
#include "shared/event_log.h"
#include "shared/port_io.h"

namespace {

constexpr const char* kDefaultProgramName = "vusk_threadx";

int RunPlayback(int argc, char** argv, const CommandLine& line, PluginSetupFn setup) {
  ignoreError = line.ignoreError;
  VUSK_Client_CmdInit(argc, argv, PlaybackExchange);
  VuskUseParsedExchange(PlaybackExchangeParsed);
  if (setup) setup(PlaybackExchange);
  return ExitWith(ExitReason::FromPlayback, PlaybackRun(line.recordPath));
}

int RunLive(int argc, char** argv, PluginSetupFn setup) {
  VUSK_Client_CmdInit(argc, argv, HostExchange);
  // The exchange parses every message of the host anyway: the client takes
  // the response's tree rather than parse its text again.
  VuskUseParsedExchange(HostExchangeParsed);
  if (setup) setup(HostExchange);
  int status = RunLiveLoop();
  HostExchangeRelease();
  return status;
}

}  // namespace

int PluginMain(int argc, char** argv, PluginSetupFn setup) {
  const char* program = (argc > 0 && argv[0]) ? argv[0] : kDefaultProgramName;
  PortSetBinaryStandardStreams();
  EventLogInstallCrashDump(program);
  // A host that closes its end must give a failed write (status 3), not a
  // silent death by signal.
  PortIgnoreBrokenPipe();
  CommandLine line = ParseCommandLine(argc, argv);
  switch (line.action) {
    case CommandAction::Help:
      ConsoleOut(kUsageFormat, program);
      return ExitWith(ExitReason::Help, 0);
    case CommandAction::SyntaxError:
      ConsoleError(kUsageFormat, program);
      return ExitWith(ExitReason::SyntaxError, kExitSyntaxError);
    case CommandAction::Playback:
      return RunPlayback(argc, argv, line, setup);
    case CommandAction::Live:
      break;
  }
  return RunLive(argc, argv, setup);
}
