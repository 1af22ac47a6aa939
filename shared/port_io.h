// port_io: the one place where the process meets the operating system for its
// standard streams, its signals, its temporary directory, its id and its clock.
//
// Every routine is a thin wrapper: it makes one system call and leaves the
// error number (errno) as the call left it, so the caller sees EINTR and owns
// the retry rules. The routines marked "signal-safe" may be called from a
// fatal-signal handler: they take no locks and touch no heap.
// This file is portable; each platform has its own port_io_<platform>.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// One read from standard input into buffer (at most size bytes). Returns the
// byte count, 0 at end of input, or -1 with errno set.
int64_t PortReadStdin(void* buffer, size_t size);

// One write of size bytes to standard output. Returns the byte count written
// or -1 with errno set; a partial write is not continued.
int64_t PortWriteStdout(const void* data, size_t size);

// Writes the whole text to standard error, ignoring failures (signal-safe).
void PortWriteStderr(const char* text, size_t size);

// A write to a closed pipe must fail with an error instead of ending the
// process, so that the caller can report it.
void PortIgnoreBrokenPipe();

// The wire is bytes: standard input, output and error pass every byte as it
// is, with no line-end translation (a no-op where streams never translate).
// Called once at start, before anything is read or written.
void PortSetBinaryStandardStreams();

// Routine run on a fatal signal (segmentation fault, bus error, arithmetic
// fault, illegal instruction, abort). It must be signal-safe. After it returns
// the signal is raised again with its default action, so the process still
// ends as the signal demands. On Windows an unhandled exception stands for
// the signal (the routine is told the matching signal number) and the process
// ends with the exception's code.
using PortFatalSignalFn = void (*)(int signalNumber);
void PortInstallFatalSignalHandlers(PortFatalSignalFn onFatal);

// Creates a new file for writing; fails when it exists. Returns a handle, or
// -1 (signal-safe).
int PortFileCreate(const char* path);
// Writes the whole block; false on any failure (signal-safe).
bool PortFileWrite(int handle, const void* data, size_t size);
// Closes a handle from PortFileCreate; false when the data may be lost
// (signal-safe).
bool PortFileClose(int handle);

// Copies the directory for temporary files into out (capacity bytes, zero
// terminated); false when it does not fit.
bool PortTempDirectory(char* out, size_t capacity);

// The separator placed between a directory and a file name.
#if defined(_WIN32)
constexpr char kPortPathSeparator = '\\';
#else
constexpr char kPortPathSeparator = '/';
#endif

// The process id (signal-safe).
int64_t PortProcessId();

// Wall-clock time in microseconds since 1970-01-01 UTC (signal-safe).
int64_t PortClockMicros();
