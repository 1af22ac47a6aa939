// fuzz_util: see fuzz_util.h. Files and directories through
// std::filesystem, so the targets stay free of system calls.
#include "fuzz/fuzz_util.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

namespace fuzz {

namespace fs = std::filesystem;

// Attempts at a fresh directory name before giving up.
constexpr int kScratchAttempts = 100;

// Where the scratch directory goes without TMPDIR: memory, when the system
// offers it. Every input writes and removes its files there, which costs a
// disk file system (inode allocation) several times the run itself.
constexpr const char* kMemoryTempDir = "/dev/shm";

fs::path ScratchBase() {
  const char* tmp = getenv("TMPDIR");
  if (tmp && *tmp) return tmp;
  std::error_code error;
  if (fs::is_directory(kMemoryTempDir, error)) return kMemoryTempDir;
  return "/tmp";
}

// The scratch directory's path for its removal at exit; plain storage, as
// the removal runs after the destruction of function-local statics.
constexpr size_t kScratchPathBytes = 4096;
char g_scratch_path[kScratchPathBytes];

void RemoveScratchDir() {
  std::error_code error;
  if (g_scratch_path[0]) fs::remove_all(g_scratch_path, error);
}

const std::string& ScratchDir() {
  static std::string dir = [] {
    fs::path base = ScratchBase();
    std::random_device random;
    for (int attempt = 0; attempt < kScratchAttempts; attempt++) {
      fs::path candidate = base / ("vusk_fuzz_" + std::to_string(random()));
      std::error_code error;
      // Canonical, so that the containment checks compare like with like.
      if (fs::create_directory(candidate, error)) {
        std::string made = fs::canonical(candidate).string();
        if (made.size() < kScratchPathBytes) {
          memcpy(g_scratch_path, made.c_str(), made.size() + 1);
          atexit(RemoveScratchDir);
        }
        return made;
      }
    }
    fprintf(stderr, "fuzz: cannot make a scratch directory under %s\n", base.c_str());
    abort();
  }();
  return dir;
}

namespace {

FILE* g_errors = stderr;  // see SetUp

}  // namespace

void SetUp() {
  PortSetMessageSink([](void*, MsgSeverity, const char*) {}, nullptr);
  int copy = dup(fileno(stderr));
  if (FILE* stream = copy >= 0 ? fdopen(copy, "w") : nullptr) g_errors = stream;
}

void Fail(const char* target, const char* what, const std::string& detail) {
  fprintf(g_errors, "%s: %s\n%s\n", target, what, detail.c_str());
  fflush(g_errors);
  abort();
}

void EmptyDir(const std::string& dir) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) fs::remove_all(entry.path(), error);
}

bool WriteFile(const std::string& path, const std::string& data) {
  FILE* stream = fopen(path.c_str(), "wb");
  if (!stream) {  // a directory on the way is missing: make it, once
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    stream = fopen(path.c_str(), "wb");
  }
  if (!stream) return false;
  bool ok = fwrite(data.data(), 1, data.size(), stream) == data.size();
  return fclose(stream) == 0 && ok;
}

}  // namespace fuzz
