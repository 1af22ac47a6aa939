// event_log: per-thread rings of time-stamped events and their dump files.
//
// Each thread records into a ring of fixed-size entries of its own (no lock
// on the recording path); the oldest entry gives way when the ring is full.
// Texts and categories are cut to kEventTextBytes and kEventCategoryBytes per
// entry; the entry remembers the length it was given.
//
// Dump format (plain text, one line per entry, oldest first):
//   # vusk event log: program NAME, process PID, thread N, COUNT entries
//   2026-12-08 00:32:17.123456 VUSK__Info "Exit with 0 (help)"
//   2026-12-08 00:32:17.123460 VUSK__Count 42
//   2026-12-08 00:32:17.123470 >> "scope text"
//   2026-12-08 00:32:17.123480   VUSK__JSON__Write "{ ... }" (cut from 70000 bytes)
//   2026-12-08 00:32:17.123490 <<
// Time stamps are UTC. Texts are quoted with \\, \", \n, \r, \t and \xHH
// escapes, so an entry never spans lines; numbers are bare. Entries inside a
// scope are indented by two blanks per level.
//
// The dump path is free of heap use and locks (stack buffers, plain writes),
// because it also runs from fatal-signal handlers and after heap exhaustion.
#include "shared/event_log.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "shared/event_log_hook.h"
#include "shared/port_alloc.h"
#include "shared/port_io.h"

namespace {

constexpr size_t kEventCategoryBytes = 32;  // terminator included
constexpr size_t kEventTextBytes = 448;     // terminator included
constexpr size_t kEventLogMaxBytes = 64u * 1024 * 1024;
constexpr int kEventLogMaxThreads = 64;
constexpr int kEventScopeMaxDepth = 255;
constexpr size_t kProgramNameBytes = 64;
constexpr size_t kDumpPathBytes = 1024;
constexpr int kDumpNameAttempts = 1000;
constexpr size_t kDumpLineBytes = 4096;

enum class EntryKind : uint8_t { Text, Number, ScopeBegin, ScopeEnd };

struct EventEntry {
  int64_t micros;
  int64_t value;  // Number: the number; texts: the length the caller gave
  EntryKind kind;
  uint8_t depth;
  char category[kEventCategoryBytes];
  char text[kEventTextBytes];
};

struct EventRing {
  EventEntry* slots;
  size_t capacity;
  size_t next;  // slot written next
  size_t used;
  int threadNumber;
  int depth;
};

std::atomic<EventRing*> g_rings[kEventLogMaxThreads];
std::atomic<int> g_thread_count{0};
std::atomic<size_t> g_ring_bytes{kEventLogDefaultBytes};
std::atomic<int> g_dump_sequence{0};
char g_program_name[kProgramNameBytes] = "vusk";
char g_crash_directory[kDumpPathBytes] = "";

size_t SlotsFor(size_t bytes) { return bytes / sizeof(EventEntry); }

// Owns the calling thread's ring; registers it for the crash dump.
struct RingHolder {
  EventRing ring = {};
  int registryIndex = -1;

  RingHolder() {
    ring.capacity = SlotsFor(g_ring_bytes.load());
    ring.slots = static_cast<EventEntry*>(PortAllocZero(ring.capacity, sizeof(EventEntry)));
    ring.threadNumber = g_thread_count.fetch_add(1);
    for (int i = 0; i < kEventLogMaxThreads; i++) {
      EventRing* expected = nullptr;
      if (g_rings[i].compare_exchange_strong(expected, &ring)) {
        registryIndex = i;
        break;
      }
    }
  }
  ~RingHolder() {
    if (registryIndex >= 0) g_rings[registryIndex].store(nullptr);
    PortFree(ring.slots);
  }
};

EventRing& ThreadRing() {
  thread_local RingHolder holder;
  return holder.ring;
}

void CopyCut(char* out, size_t capacity, const char* text) {
  if (!text) text = "(null)";
  size_t length = strnlen(text, capacity - 1);
  memcpy(out, text, length);
  out[length] = '\0';
}

// Dump names are the same on every system: "vusk_threadx.exe" names its
// dumps "vusk_threadx_..." as well.
void CutExecutableSuffix(char* name) {
  static const char kSuffix[] = ".exe";
  size_t length = strlen(name);
  size_t suffix = sizeof kSuffix - 1;
  if (length <= suffix) return;
  for (size_t i = 0; i < suffix; i++) {
    char c = name[length - suffix + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSuffix[i]) return;
  }
  name[length - suffix] = '\0';
}

void Record(EntryKind kind, const char* category, const char* text, int64_t value) {
  EventRing& ring = ThreadRing();
  EventEntry& entry = ring.slots[ring.next];
  entry.micros = PortClockMicros();
  entry.kind = kind;
  entry.depth = static_cast<uint8_t>(ring.depth);
  entry.value = value;
  CopyCut(entry.category, sizeof entry.category, category);
  CopyCut(entry.text, sizeof entry.text, text);
  ring.next = (ring.next + 1) % ring.capacity;
  if (ring.used < ring.capacity) ring.used++;
}

// ---- Heap-free formatting for the dump ---------------------------------

// Collects one dump file's text in a stack buffer and writes it in blocks.
struct DumpWriter {
  int handle;
  bool ok;
  size_t length;
  char buffer[kDumpLineBytes];
};

void Flush(DumpWriter* out) {
  if (out->length && !PortFileWrite(out->handle, out->buffer, out->length)) out->ok = false;
  out->length = 0;
}

void PutChar(DumpWriter* out, char c) {
  if (out->length == sizeof out->buffer) Flush(out);
  out->buffer[out->length++] = c;
}

void PutText(DumpWriter* out, const char* text) {
  while (*text) PutChar(out, *text++);
}

void PutUnsigned(DumpWriter* out, uint64_t value, int minDigits) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value || count < minDigits);
  while (count) PutChar(out, digits[--count]);
}

void PutSigned(DumpWriter* out, int64_t value) {
  if (value < 0) {
    PutChar(out, '-');
    PutUnsigned(out, 0 - static_cast<uint64_t>(value), 1);
  } else {
    PutUnsigned(out, static_cast<uint64_t>(value), 1);
  }
}

void PutQuoted(DumpWriter* out, const char* text) {
  static const char kHex[] = "0123456789abcdef";
  PutChar(out, '"');
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
    switch (*p) {
      case '\\': PutText(out, "\\\\"); break;
      case '"': PutText(out, "\\\""); break;
      case '\n': PutText(out, "\\n"); break;
      case '\r': PutText(out, "\\r"); break;
      case '\t': PutText(out, "\\t"); break;
      default:
        if (*p >= 0x20 && *p < 0x7F) {
          PutChar(out, static_cast<char>(*p));
        } else {
          PutText(out, "\\x");
          PutChar(out, kHex[*p >> 4]);
          PutChar(out, kHex[*p & 15]);
        }
    }
  }
  PutChar(out, '"');
}

// "YYYY-MM-DD HH:MM:SS.uuuuuu" in UTC, by arithmetic (no C library calls,
// which need not be signal-safe).
void PutTimeStamp(DumpWriter* out, int64_t micros) {
  int64_t seconds = micros / 1000000;
  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  // Civil date from a day count (proleptic Gregorian calendar).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t dayOfEra = z - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  PutUnsigned(out, static_cast<uint64_t>(year), 4);
  PutChar(out, '-');
  PutUnsigned(out, static_cast<uint64_t>(month), 2);
  PutChar(out, '-');
  PutUnsigned(out, static_cast<uint64_t>(day), 2);
  PutChar(out, ' ');
  PutUnsigned(out, static_cast<uint64_t>(secondOfDay / 3600), 2);
  PutChar(out, ':');
  PutUnsigned(out, static_cast<uint64_t>(secondOfDay / 60 % 60), 2);
  PutChar(out, ':');
  PutUnsigned(out, static_cast<uint64_t>(secondOfDay % 60), 2);
  PutChar(out, '.');
  PutUnsigned(out, static_cast<uint64_t>(micros % 1000000), 6);
}

void PutEntry(DumpWriter* out, const EventEntry& entry) {
  PutTimeStamp(out, entry.micros);
  PutChar(out, ' ');
  for (int level = 0; level < entry.depth; level++) PutText(out, "  ");
  switch (entry.kind) {
    case EntryKind::Number:
      PutText(out, entry.category);
      PutChar(out, ' ');
      PutSigned(out, entry.value);
      break;
    case EntryKind::ScopeEnd:
      PutText(out, "<<");
      break;
    case EntryKind::ScopeBegin:
    case EntryKind::Text:
      PutText(out, entry.kind == EntryKind::ScopeBegin ? ">>" : entry.category);
      PutChar(out, ' ');
      PutQuoted(out, entry.text);
      if (static_cast<size_t>(entry.value) >= kEventTextBytes) {
        PutText(out, " (cut from ");
        PutSigned(out, entry.value);
        PutText(out, " bytes)");
      }
      break;
  }
  PutChar(out, '\n');
}

void PutRing(DumpWriter* out, const EventRing& ring) {
  PutText(out, "# vusk event log: program ");
  PutText(out, g_program_name);
  PutText(out, ", process ");
  PutSigned(out, PortProcessId());
  PutText(out, ", thread ");
  PutSigned(out, ring.threadNumber);
  PutText(out, ", ");
  PutUnsigned(out, ring.used, 1);
  PutText(out, " entries\n");
  size_t first = (ring.next + ring.capacity - ring.used) % ring.capacity;
  for (size_t i = 0; i < ring.used; i++) PutEntry(out, ring.slots[(first + i) % ring.capacity]);
}

// Appends text to path at *length; false when it does not fit.
bool AppendPath(char* path, size_t* length, const char* text) {
  size_t add = strlen(text);
  if (*length + add + 1 > kDumpPathBytes) return false;
  memcpy(path + *length, text, add + 1);
  *length += add;
  return true;
}

bool AppendNumber(char* path, size_t* length, uint64_t value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  char text[24];
  for (int i = 0; i < count; i++) text[i] = digits[count - 1 - i];
  text[count] = '\0';
  return AppendPath(path, length, text);
}

// Creates "<dir>/<program>_<kind>_<pid>_<n>.log" with the first n not taken.
// Only a taken name is worth another try; errno tells why it failed.
int CreateDumpFile(const char* directory, const char* kind, char* path) {
  for (int attempt = 0; attempt < kDumpNameAttempts; attempt++) {
    size_t length = 0;
    path[0] = '\0';
    const char separator[2] = {kPortPathSeparator, '\0'};
    bool fits = AppendPath(path, &length, directory) && AppendPath(path, &length, separator) &&
                AppendPath(path, &length, g_program_name) && AppendPath(path, &length, "_") &&
                AppendPath(path, &length, kind) && AppendPath(path, &length, "_") &&
                AppendNumber(path, &length, static_cast<uint64_t>(PortProcessId())) &&
                AppendPath(path, &length, "_") &&
                AppendNumber(path, &length, static_cast<uint64_t>(g_dump_sequence.fetch_add(1))) &&
                AppendPath(path, &length, ".log");
    if (!fits) {
      errno = ENAMETOOLONG;
      return -1;
    }
    errno = 0;
    int handle = PortFileCreate(path);
    if (handle >= 0 || errno != EEXIST) return handle;
  }
  return -1;
}

// Writes the given rings (null entries skipped) into a new dump file.
bool WriteDump(const char* directory, const char* kind, EventRing* const* rings, int count,
               char* path) {
  if (!directory || !*directory) {
    errno = ENOENT;
    return false;
  }
  DumpWriter out;
  out.handle = CreateDumpFile(directory, kind, path);
  if (out.handle < 0) return false;
  out.ok = true;
  out.length = 0;
  for (int i = 0; i < count; i++) {
    if (rings[i]) PutRing(&out, *rings[i]);
  }
  Flush(&out);
  int writeError = errno;
  bool closed = PortFileClose(out.handle);
  if (!out.ok) errno = writeError;  // the first failure is the one to tell
  return out.ok && closed;
}

// The crash path: every registered ring into the temporary directory, and a
// line on standard error naming the file.
void DumpOnFatal() {
  EventRing* rings[kEventLogMaxThreads];
  for (int i = 0; i < kEventLogMaxThreads; i++) rings[i] = g_rings[i].load();
  char path[kDumpPathBytes];
  if (!WriteDump(g_crash_directory, "crash", rings, kEventLogMaxThreads, path)) return;
  static const char kNote[] = "Event log written to ";
  PortWriteStderr(kNote, sizeof kNote - 1);
  PortWriteStderr(path, strlen(path));
  PortWriteStderr("\n", 1);
}

void DumpOnFatalSignal(int) { DumpOnFatal(); }

}  // namespace

void EventLogText(const char* category, const char* text) {
  Record(EntryKind::Text, category, text, text ? static_cast<int64_t>(strlen(text)) : 0);
}

void EventLogNumber(const char* category, int64_t number) {
  Record(EntryKind::Number, category, "", number);
}

void EventLogScopeBegin(const char* text) {
  Record(EntryKind::ScopeBegin, "", text, text ? static_cast<int64_t>(strlen(text)) : 0);
  EventRing& ring = ThreadRing();
  if (ring.depth < kEventScopeMaxDepth) ring.depth++;
}

void EventLogScopeEnd() {
  EventRing& ring = ThreadRing();
  if (ring.depth > 0) ring.depth--;
  Record(EntryKind::ScopeEnd, "", "", 0);
}

void EventLogResize(size_t bytes) {
  if (bytes < kEventLogMinBytes) return;
  if (bytes > kEventLogMaxBytes) bytes = kEventLogMaxBytes;
  g_ring_bytes.store(bytes);
  EventRing& ring = ThreadRing();
  size_t capacity = SlotsFor(bytes);
  if (capacity == ring.capacity) return;
  // Keep the newest entries that fit, oldest first at slot 0.
  EventEntry* slots = static_cast<EventEntry*>(PortAllocZero(capacity, sizeof(EventEntry)));
  size_t keep = ring.used < capacity ? ring.used : capacity;
  size_t first = (ring.next + ring.capacity - keep) % ring.capacity;
  for (size_t i = 0; i < keep; i++) slots[i] = ring.slots[(first + i) % ring.capacity];
  EventEntry* old = ring.slots;
  ring.slots = slots;
  ring.capacity = capacity;
  ring.used = keep;
  ring.next = keep % capacity;
  PortFree(old);
}

bool EventLogDumpToDirectory(const char* directory) {
  EventRing* rings[1] = {&ThreadRing()};
  char path[kDumpPathBytes];
  return WriteDump(directory, "events", rings, 1, path);
}

void EventLogInstallCrashDump(const char* programName) {
  if (programName && *programName) {
    const char* base = programName;
    for (const char* p = programName; *p; p++) {
      if (*p == '/' || *p == '\\') base = p + 1;
    }
    if (*base) CopyCut(g_program_name, sizeof g_program_name, base);
    CutExecutableSuffix(g_program_name);
  }
  if (!PortTempDirectory(g_crash_directory, sizeof g_crash_directory)) g_crash_directory[0] = '\0';
  ThreadRing();  // the ring exists before anything can fail
  EventLogSetFatalHook(DumpOnFatal);
  PortInstallFatalSignalHandlers(DumpOnFatalSignal);
}
