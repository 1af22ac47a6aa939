// port_io_win32: the Windows implementation of port_io.h.
//
// The standard streams go through the C runtime's descriptors 0, 1 and 2 in
// binary mode, so reads and writes set errno exactly as the POSIX layer does
// and the callers keep one set of retry rules. Windows has no fatal signals:
// an unhandled structured exception (access violation, stack overflow,
// illegal instruction, arithmetic fault) reaches the routine through an
// unhandled-exception filter, and abort() through SIGABRT, which the C
// runtime does raise. Either way the routine runs on a thread of its own,
// started at installation and waiting until then: after a stack overflow the
// faulting thread has too little stack left for the dump (the counterpart of
// the POSIX layer's alternate signal stack), and that thread then ends the
// process with the status the fault demands: the exception's code, or 3 for
// abort() as the C runtime gives. Paths are UTF-8 and are widened for the
// system; the routines used on the crash path convert into stack buffers,
// never the heap.
#include "shared/port_io.h"

#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// How long a failing thread waits for the dump before it ends the process
// anyway: a dump that hangs (a stalled disk) must not keep a dead plugin up.
constexpr DWORD kFatalDumpWaitMillis = 30 * 1000;

// The C runtime's reads and writes take an unsigned count; larger requests
// are cut to this, which the callers see as a partial transfer.
constexpr size_t kMaxTransferBytes = 1u << 30;

// Longest path, in UTF-16 units, the crash path can widen on its stack.
constexpr int kWidePathUnits = 1024;

constexpr int kStandardDescriptors[] = {0, 1, 2};

// The signal each fatal exception stands for, as the routine is told.
struct ExceptionSignal {
  DWORD code;
  int signalNumber;
};

constexpr ExceptionSignal kExceptionSignals[] = {
    {EXCEPTION_ACCESS_VIOLATION, SIGSEGV},
    {EXCEPTION_STACK_OVERFLOW, SIGSEGV},
    {EXCEPTION_IN_PAGE_ERROR, SIGSEGV},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, SIGSEGV},
    {EXCEPTION_DATATYPE_MISALIGNMENT, SIGSEGV},
    {EXCEPTION_ILLEGAL_INSTRUCTION, SIGILL},
    {EXCEPTION_PRIV_INSTRUCTION, SIGILL},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, SIGFPE},
    {EXCEPTION_INT_OVERFLOW, SIGFPE},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, SIGFPE},
    {EXCEPTION_FLT_INVALID_OPERATION, SIGFPE},
    {EXCEPTION_FLT_OVERFLOW, SIGFPE},
    {EXCEPTION_FLT_UNDERFLOW, SIGFPE},
    {EXCEPTION_FLT_INEXACT_RESULT, SIGFPE},
    {EXCEPTION_FLT_DENORMAL_OPERAND, SIGFPE},
    {EXCEPTION_FLT_STACK_CHECK, SIGFPE},
};

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

PortFatalSignalFn g_on_fatal = nullptr;

// Status of a process ended by abort().
constexpr UINT kAbortExitStatus = 3;

// The dump thread: the failing thread stores the signal and the status, sets
// the request and waits to be ended. A null request means the thread could
// not be started, and the routine then runs on the failing thread itself.
HANDLE g_dump_request = nullptr;
volatile LONG g_fatal_signal = 0;
volatile UINT g_fatal_status = 0;
volatile LONG g_fatal_taken = 0;

// Hands the routine out once: a second fault (inside the dump, on another
// thread, or an abort after an exception) must end the process, not dump
// again.
PortFatalSignalFn TakeFatalRoutine() {
  if (InterlockedExchange(&g_fatal_taken, 1) != 0) return nullptr;
  return g_on_fatal;
}

// Runs the routine once and ends the process. Ending it from here spares the
// failing thread the system's own unwinding, for which a thread that
// overflowed its stack has no room either.
[[noreturn]] void DumpAndEnd(int signalNumber, UINT status) {
  PortFatalSignalFn fn = TakeFatalRoutine();
  if (fn) fn(signalNumber);
  TerminateProcess(GetCurrentProcess(), status);
  ExitProcess(status);
}

DWORD WINAPI DumpThreadMain(void*) {
  WaitForSingleObject(g_dump_request, INFINITE);
  DumpAndEnd(static_cast<int>(g_fatal_signal), g_fatal_status);
}

void StartDumpThread() {
  if (g_dump_request) return;
  g_dump_request = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_dump_request) return;
  HANDLE thread = CreateThread(nullptr, 0, DumpThreadMain, nullptr, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  CloseHandle(g_dump_request);
  g_dump_request = nullptr;
}

// Uses as little of the failing thread's stack as it can. Returns only when
// the dump thread did not end the process in time.
void DumpAndEndElsewhere(int signalNumber, UINT status) {
  if (!g_dump_request) DumpAndEnd(signalNumber, status);
  g_fatal_signal = signalNumber;
  g_fatal_status = status;
  SetEvent(g_dump_request);
  Sleep(kFatalDumpWaitMillis);
}

int SignalForException(DWORD code) {
  for (const ExceptionSignal& entry : kExceptionSignals) {
    if (entry.code == code) return entry.signalNumber;
  }
  return SIGSEGV;
}

// The process ends with the exception's code as its status, without the
// system's error dialog (nobody would answer it).
LONG WINAPI FatalExceptionFilter(EXCEPTION_POINTERS* info) {
  DWORD code = info->ExceptionRecord->ExceptionCode;
  DumpAndEndElsewhere(SignalForException(code), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

void AbortHandler(int signalNumber) {
  DumpAndEndElsewhere(signalNumber, kAbortExitStatus);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

size_t TransferSize(size_t size) { return size > kMaxTransferBytes ? kMaxTransferBytes : size; }

// Widens a UTF-8 path into out (kWidePathUnits units); false when it is not
// UTF-8 or does not fit.
bool WidenPath(const char* path, wchar_t* out) {
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, kWidePathUnits);
  return units > 0;
}

// Narrows a zero-terminated UTF-16 text into out (capacity bytes); false when
// it does not fit.
bool NarrowText(const wchar_t* text, char* out, size_t capacity) {
  int limit = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, limit, nullptr, nullptr) > 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsBrokenPipe(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

int64_t PortReadStdin(void* buffer, size_t size) {
  return _read(0, buffer, static_cast<unsigned>(TransferSize(size)));
}

// The C runtime reports a write to a pipe whose reader has gone as EINVAL;
// callers expect EPIPE, as on every other system.
int64_t PortWriteStdout(const void* data, size_t size) {
  int written = _write(1, data, static_cast<unsigned>(TransferSize(size)));
  if (written < 0 && IsBrokenPipe(GetLastError())) errno = EPIPE;
  return written;
}

void PortWriteStderr(const char* text, size_t size) {
  int saved = errno;
  while (size > 0) {
    int written = _write(2, text, static_cast<unsigned>(TransferSize(size)));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    text += written;
    size -= static_cast<size_t>(written);
  }
  errno = saved;
}

// A write to a closed pipe already fails with EPIPE here; there is no signal.
void PortIgnoreBrokenPipe() {}

void PortSetBinaryStandardStreams() {
  for (int descriptor : kStandardDescriptors) _setmode(descriptor, _O_BINARY);
}

void PortInstallFatalSignalHandlers(PortFatalSignalFn onFatal) {
  g_on_fatal = onFatal;
  StartDumpThread();
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(FatalExceptionFilter);
  signal(SIGABRT, AbortHandler);
}

int PortFileCreate(const char* path) {
  wchar_t wide[kWidePathUnits];
  if (!WidenPath(path, wide)) return -1;
  return _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool PortFileWrite(int handle, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    int written = _write(handle, bytes, static_cast<unsigned>(TransferSize(size)));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool PortFileClose(int handle) { return _close(handle) == 0; }

// The system's choice (TMP, TEMP, the profile, the Windows directory) without
// its trailing separator; a bare drive root keeps it.
bool PortTempDirectory(char* out, size_t capacity) {
  wchar_t wide[MAX_PATH + 1];
  DWORD units = GetTempPathW(MAX_PATH + 1, wide);
  if (units == 0 || units > MAX_PATH) return false;
  if (!NarrowText(wide, out, capacity)) return false;
  size_t length = strlen(out);
  while (length > 1 && IsSeparator(out[length - 1]) && out[length - 2] != ':') length--;
  out[length] = '\0';
  return true;
}

int64_t PortProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

int64_t PortClockMicros() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - kFileTimeUnixEpoch) / 10;
}
