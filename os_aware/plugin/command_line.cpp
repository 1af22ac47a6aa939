// command_line: see command_line.h.
#include "os_aware/plugin/command_line.h"

#include <cstddef>

#include "os_aware/plugin/console.h"
#include "shared/libcxxutil/ut_text.h"

namespace {

enum class Option { Help, IgnoreError, File };

struct OptionName {
  const char* name;
  Option option;
};

constexpr OptionName kOptions[] = {
    {"-h", Option::Help},
    {"-help", Option::Help},
    {"--help", Option::Help},
    {"-ignore_error", Option::IgnoreError},
    {"-f", Option::File},
    {"-file", Option::File},
};

const OptionName* FindOption(const char* argument) {
  for (const OptionName& entry : kOptions) {
    size_t matched = ut_prefix_ignoring_case(argument, entry.name);
    if (matched && argument[matched] == '\0') return &entry;
  }
  return nullptr;
}

// Says what is wrong with argument (before the usage text).
void ReportStray(const char* argument) {
  if (!argument) argument = "";
  if (argument[0] == '-') {
    ConsoleError("unknown option '%s'\n", argument);
  } else {
    ConsoleError("unexpected argument '%s'\n", argument);
  }
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line = {CommandAction::Live, nullptr, false};
  if (argc < 2) return line;
  for (int i = 1; i < argc; i++) {
    const OptionName* found = argv[i] ? FindOption(argv[i]) : nullptr;
    if (!found) {
      ReportStray(argv[i]);
      return {CommandAction::SyntaxError, line.recordPath, line.ignoreError};
    }
    switch (found->option) {
      case Option::Help:
        return {CommandAction::Help, line.recordPath, line.ignoreError};
      case Option::IgnoreError:
        line.ignoreError = true;
        break;
      case Option::File:
        if (i + 1 >= argc) {
          ConsoleError("option '%s' needs a record file\n", argv[i]);
          return {CommandAction::SyntaxError, line.recordPath, line.ignoreError};
        }
        if (line.recordPath) {
          ConsoleError("Only one playback file is allowed.\n");
          return {CommandAction::SyntaxError, argv[i + 1], line.ignoreError};
        }
        line.recordPath = argv[++i];
        break;
    }
  }
  if (!line.recordPath) ConsoleError("option '-ignore_error' needs -file: there is nothing to play back\n");
  line.action = line.recordPath ? CommandAction::Playback : CommandAction::SyntaxError;
  return line;
}
