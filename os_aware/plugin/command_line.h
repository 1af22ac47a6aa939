// command_line: the options of the process.
//
// Options are matched whole and without regard to ASCII letter case. They are
// examined in order and examination stops at the first help request or error.
#pragma once

enum class CommandAction { Live, Help, SyntaxError, Playback };

struct CommandLine {
  CommandAction action;
  const char* recordPath;  // borrowed from argv; set for Playback
  bool ignoreError;
};

// Examines argv[1..argc-1]. On a syntax error it says what was wrong on
// standard error ("unknown option '-x'", "unexpected argument 'x'", a -file
// without its path, "Only one playback file is allowed."); the caller then
// writes the usage. -ignore_error without a record file is a syntax error:
// there would be nothing to play back. "--help" is taken for "-help".
CommandLine ParseCommandLine(int argc, char** argv);

// The usage text for program, as shown for help and after a syntax error.
constexpr const char* kUsageFormat = "%s [-help | [-ignore_error] -file <JsonRecordPlaybackFile>]\n";
