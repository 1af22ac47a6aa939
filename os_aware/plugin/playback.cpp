// playback: see playback.h.
//
// The record file is open for the whole run and shared by the driver and
// PlaybackExchange; each activation reads into a RecordLine of its own.
// Nested host requests in the record are served recursively, bounded like the
// live exchange by kHostExchangeMaxDepth.
#include "os_aware/plugin/playback.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/plugin/console.h"
#include "os_aware/plugin/framing.h"
#include "os_aware/plugin/host_exchange.h"
#include "os_aware/simple_json/json_parse.h"
#include "shared/libcxxutil/ut_text.h"
#include "shared/port_alloc.h"
#include "shared/port_fs.h"
#include "shared/scoped_depth.h"

bool ignoreError = false;
int playbackLine = 0;
int playbackError = 0;

namespace {

FILE* g_record = nullptr;
const char* g_record_path = "";  // borrowed from the command line
char* g_last_response = nullptr;  // owned; see PlaybackExchange
int g_playback_depth = 0;

constexpr size_t kRecordLineInitialBytes = 256;

bool IsPrefixChar(char c) { return (c >= '0' && c <= '9') || c == ':' || c == '.' || c == ' ' || c == '\t'; }
bool IsRecordBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
enum class LineRead { Line, TooLong, EndOfFile, Failed };

// Reads one physical line (without its newline) into line. A read error is
// told apart from the end of the file, with errno telling why.
LineRead ReadPhysicalLine(RecordLine* line) {
  size_t length = 0;
  bool any = false;
  bool tooLong = false;
  int c;
  while ((c = fgetc(g_record)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (length + 1 >= kRecordLineMaxBytes) {
      tooLong = true;  // keep reading to the end of the line
      continue;
    }
    if (length + 1 >= line->capacity) {
      size_t grown = line->capacity ? line->capacity * 2 : kRecordLineInitialBytes;
      if (grown > kRecordLineMaxBytes) grown = kRecordLineMaxBytes;
      line->text = static_cast<char*>(PortRealloc(line->text, grown));
      line->capacity = grown;
    }
    line->text[length++] = static_cast<char>(c);
  }
  if (ferror(g_record)) return LineRead::Failed;
  if (!any) return LineRead::EndOfFile;
  if (tooLong) return LineRead::TooLong;
  if (!line->text) {
    line->text = static_cast<char*>(PortAlloc(kRecordLineInitialBytes));
    line->capacity = kRecordLineInitialBytes;
  }
  line->text[length] = '\0';
  return LineRead::Line;
}

const char* SyntaxError() {
  ConsoleOut("Invalid syntax at line %d\n", playbackLine);
  playbackError = kPlaybackSyntaxError;
  return nullptr;
}

const char* ExpectError(const char* side, int lineNumber) {
  ConsoleOut("Expect a message from %s at line %d\n", side, lineNumber);
  playbackError = kPlaybackSyntaxError;
  return nullptr;
}

// The record cannot be read (the system's reason on standard error): a
// failure at the first read is the "cannot open" case.
const char* ReadFailed(int error) {
  if (playbackLine == 0) {
    ConsoleOut("Cannot open file to read: %s\n", g_record_path);
  } else {
    ConsoleOut("Cannot read file %s after line %d\n", g_record_path, playbackLine);
  }
  ConsoleError("error: cannot read \"%s\": %s\n", g_record_path, strerror(error));
  playbackError = kPlaybackCannotOpen;
  return nullptr;
}

// Characters shown of each text before and from its first difference.
constexpr size_t kMismatchContextBefore = 20;
constexpr size_t kMismatchContextAfter = 40;

// Offset (from 0) of the first character where the texts differ.
size_t FirstDifference(const char* recorded, const char* produced) {
  size_t offset = 0;
  while (recorded[offset] && recorded[offset] == produced[offset]) offset++;
  return offset;
}

// One text around offset, "..." marking what is left out.
void ShowAround(const char* label, const char* text, size_t offset) {
  size_t length = strlen(text);
  size_t from = offset > kMismatchContextBefore ? offset - kMismatchContextBefore : 0;
  size_t to = offset + kMismatchContextAfter < length ? offset + kMismatchContextAfter : length;
  ConsoleError("  %s: %s%.*s%s\n", label, from > 0 ? "..." : "", static_cast<int>(to - from), text + from,
               to < length ? "..." : "");
}

// The standard-output report is the fixed one; standard error adds the
// recorded line and where the two part, so that a long line need not be
// compared by hand.
void ReportMismatch(const char* what, const char* recorded, const char* produced) {
  ConsoleOut("Got different %s to %s on line %d:\n%s\n", what, kHostTag, playbackLine,
             produced ? produced : "<NULL>");
  ConsoleError("Recorded on line %d:\n%s\n", playbackLine, recorded);
  if (produced) {
    size_t offset = FirstDifference(recorded, produced);
    ConsoleError("First difference at column %" PRIu64 " (recorded %" PRIu64 " characters, produced %" PRIu64 "):\n",
                 static_cast<uint64_t>(offset + 1), static_cast<uint64_t>(strlen(recorded)),
                 static_cast<uint64_t>(strlen(produced)));
    ShowAround("recorded", recorded, offset);
    ShowAround("produced", produced, offset);
  } else {
    ConsoleError("The plugin produced no message\n");
  }
  playbackError = kPlaybackMismatch;
}

bool Differ(const char* recorded, const char* produced) { return !produced || strcmp(recorded, produced) != 0; }

// Reads the plugin's next recorded message and compares it with produced.
// False when no line could be read (already reported).
bool CheckPluginLine(RecordLine* line, const char* produced) {
  const char* recorded = ReadRecordLine(line, kPluginTag, true);
  if (!recorded) return false;
  if (Differ(recorded, produced)) ReportMismatch("request", recorded, produced);
  return true;
}

}  // namespace

RecordLine::~RecordLine() { PortFree(text); }

const char* ReadRecordLine(RecordLine* line, const char* side, bool reportMissing) {
  LineRead read = g_record ? ReadPhysicalLine(line) : LineRead::EndOfFile;
  if (read == LineRead::Failed) return ReadFailed(errno);
  if (read == LineRead::EndOfFile) {
    if (reportMissing) ExpectError(side, playbackLine + 1);
    return nullptr;
  }
  playbackLine++;
  if (read == LineRead::TooLong) return SyntaxError();
  char* p = line->text;
  while (IsPrefixChar(*p)) p++;
  size_t tagLength = ut_prefix_ignoring_case(p, side);
  if (!tagLength) return ExpectError(side, playbackLine);
  p += tagLength;
  while (IsRecordBlank(*p)) p++;
  if (*p != ':') return SyntaxError();
  p++;
  while (IsRecordBlank(*p)) p++;
  size_t length = strlen(p);
  while (length > 0 && IsRecordBlank(p[length - 1])) length--;
  p[length] = '\0';
  return p;
}

int PlaybackRun(const char* path) {
  int error = 0;
  g_record = PortFsOpen(path, "rb", &error);  // a directory is refused here
  g_record_path = path ? path : "(null)";
  playbackLine = 0;
  playbackError = 0;
  if (!g_record) {
    ConsoleOut("Cannot open file to read: %s\n", g_record_path);
    ConsoleError("error: cannot open \"%s\": %s\n", g_record_path, strerror(error));
    return kPlaybackCannotOpen;
  }
  RecordLine line;
  while (ignoreError || playbackError == 0) {
    const char* request = ReadRecordLine(&line, kHostTag, false);
    if (!request) break;
    const char* response = VUSK_Client_CmdParser(request);
    const char* recorded = ReadRecordLine(&line, kPluginTag, true);
    if (!recorded) break;  // reported as missing; there is nothing to compare
    if (Differ(recorded, response)) {
      ReportMismatch("result", recorded, response);
      break;
    }
  }
  if (playbackError == 0) ConsoleOut("Successfully played back all %d lines from %s.\n", playbackLine, path);
  fclose(g_record);
  g_record = nullptr;
  PortFree(g_last_response);
  g_last_response = nullptr;
  return playbackError;
}

namespace {

// Checks the plugin's request against the record, then reads the host's
// lines until its response, serving the host's requests recorded before it.
// Each line is parsed once: on success *tree is the response's tree (owned by
// the caller; null when it does not parse, *error then the parser's text) and
// the result its text in line. Null when a line is missing or differs.
const char* NextResponse(RecordLine* line, const char* request, JsonValue** tree, std::string* error) {
  if (!request || !g_record) return nullptr;
  if (g_playback_depth >= kHostExchangeMaxDepth) {
    ConsoleOut("Host requests nested deeper than %d at line %d\n", kHostExchangeMaxDepth, playbackLine);
    playbackError = kPlaybackSyntaxError;
    return nullptr;
  }
  ScopedDepth depth(&g_playback_depth);
  if (!CheckPluginLine(line, request)) return nullptr;
  for (;;) {
    const char* message = ReadRecordLine(line, kHostTag, true);
    if (!message) return nullptr;
    std::string parseError;
    JsonValue* parsed = JsonParse(message, &parseError);
    if (!IsRequestMessage(parsed)) {
      *tree = parsed;
      if (!parsed) *error = parseError;
      return message;
    }
    // A host request made while the plugin waits: answer it, check the answer.
    if (!CheckPluginLine(line, VuskDispatchParsed(parsed))) return nullptr;
  }
}

}  // namespace

const char* PlaybackExchange(const char* request) {
  RecordLine line;
  JsonValue* tree = nullptr;
  std::string error;
  const char* message = NextResponse(&line, request, &tree, &error);
  JsonFree(tree);
  if (!message) return nullptr;
  PortFree(g_last_response);
  g_last_response = PortStrdup(message);
  return g_last_response;
}

JsonValue* PlaybackExchangeParsed(const char* request, std::string* error) {
  RecordLine line;
  JsonValue* tree = nullptr;
  std::string ignored;
  NextResponse(&line, request, &tree, error ? error : &ignored);
  return tree;
}
