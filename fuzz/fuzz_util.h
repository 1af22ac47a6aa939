// fuzz_util: helpers shared by the fuzz targets.
//
// A fuzz input is raw bytes; the targets cut it into the pieces they need
// (lines, files) here, keep the program's diagnostics off the terminal, and
// give each process one scratch directory for the files they must write.
// Nothing here allocates through the program's heap rules on purpose: the
// helpers use the standard library, which port_alloc routes anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shared/port_msg.h"

namespace fuzz {

// Called first in every LLVMFuzzerInitialize. Swallows the program's
// diagnostics (millions of parse errors would only hide the findings), and
// keeps a stream to the real standard error for Fail: fuzz/run.sh has
// libFuzzer close the targets' own standard output and error
// (-close_fd_mask=3; the playback and the host exchange write there
// directly), while libFuzzer's and the sanitizers' reports go on.
void SetUp();

// Reports a property of the program that does not hold, on the stream kept
// by SetUp, and aborts (libFuzzer keeps the input).
[[noreturn]] void Fail(const char* target, const char* what, const std::string& detail);

// The input as a zero-terminated text (a zero byte inside ends it for the
// routines that take C strings, exactly as on the wire).
inline std::string AsText(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Splits text at newlines; the newlines are dropped and a last line without
// one still counts.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A directory of this process for the files a target writes, made once
// under $TMPDIR (else /dev/shm where it exists, else /tmp) and left to the
// caller to empty.
const std::string& ScratchDir();

// Removes every entry below dir (dir itself stays).
void EmptyDir(const std::string& dir);

// Writes data to path, making parent directories; false on failure.
bool WriteFile(const std::string& path, const std::string& data);

}  // namespace fuzz

namespace fuzz {

// Called once, after VUSK_Client_CmdInit: binds VuskInit through a wrapper
// that notes the context handle of every session an input opens, and
// HistoryLogDump with its dump directory moved into the scratch directory
// (the fuzzer must not write files where the input says).
void BindSessionMethods();

// Destroys every service context the present input opened, and the host
// settings and layout database the awareness keeps, and empties the scratch
// directory after a dump, so that the next input starts from the same state.
void ForgetSession();

}  // namespace fuzz
