// playback: replays a recorded exchange with the host from a record file.
//
// Record file: one message per line, "[prefix] TAG : text". The optional
// prefix holds only digits, colons, points, blanks and tabs (a time stamp);
// TAG is "PLISK" for a message from the host and "PLUGIN" for one from the
// plugin, in any letter case. The player feeds the host's messages to the
// dispatcher and checks that every message the plugin makes is, byte for
// byte, the recorded one. Its reports go to standard output; standard error
// adds the details (the system's reason when the file cannot be read, the
// recorded line and the first differing column of a mismatch).
#pragma once

#include <cstddef>
#include <string>

#include "os_aware/simple_json/simple_json.h"

// Set by -ignore_error: go on after errors that leave a next line to read.
extern bool ignoreError;
// Number of the last line read (1 for the first).
extern int playbackLine;
// 0 while all is well; 2 after a read error; 3 after a syntax error or
// missing line; 4 after a mismatch.
extern int playbackError;

constexpr int kPlaybackSyntaxError = 3;
constexpr int kPlaybackMismatch = 4;
constexpr int kPlaybackCannotOpen = 2;

// Longest record line accepted; a longer one is a syntax error.
constexpr size_t kRecordLineMaxBytes = 64u * 1024 * 1024;

constexpr const char* kHostTag = "PLISK";
constexpr const char* kPluginTag = "PLUGIN";

// A line read from the record file; the reader owns its text, valid until the
// next read into the same RecordLine.
struct RecordLine {
  char* text = nullptr;
  size_t capacity = 0;
  RecordLine() = default;
  ~RecordLine();
  RecordLine(const RecordLine&) = delete;
  RecordLine& operator=(const RecordLine&) = delete;
};

// Reads the next line into line and returns its message text when it carries
// the side's tag and a colon; else reports (to standard output), sets
// playbackError and returns null. At the end of the file the missing line is
// reported only when reportMissing is set.
const char* ReadRecordLine(RecordLine* line, const char* side, bool reportMissing);

// Plays back the file at path; returns 0, 2 (it cannot be opened or read: a
// directory, a read error), 3 or 4. An empty file plays back with 0 lines.
int PlaybackRun(const char* path);

// Stands in for HostExchange during playback: checks the plugin's request
// against the record and returns the recorded response (owned here, valid
// until the next call), or null.
const char* PlaybackExchange(const char* request);

// PlaybackExchange with the response parsed (a JrExchangeFn): its tree, owned
// by the caller, or null, with *error (when given) the parser's text when the
// recorded response does not parse. Each recorded line is parsed once.
JsonValue* PlaybackExchangeParsed(const char* request, std::string* error);
