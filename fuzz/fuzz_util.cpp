// fuzz_util: see fuzz_util.h. Files and directories through
// std::filesystem, so the targets stay free of system calls.
#include "fuzz/fuzz_util.h"

#include <filesystem>
#include <random>

namespace fuzz {

namespace fs = std::filesystem;

// Attempts at a fresh directory name before giving up.
constexpr int kScratchAttempts = 100;

const std::string& ScratchDir() {
  static std::string dir = [] {
    const char* tmp = getenv("TMPDIR");
    fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::path("/tmp");
    std::random_device random;
    for (int attempt = 0; attempt < kScratchAttempts; attempt++) {
      fs::path candidate = base / ("vusk_fuzz_" + std::to_string(random()));
      std::error_code error;
      // Canonical, so that the containment checks compare like with like.
      if (fs::create_directory(candidate, error)) return fs::canonical(candidate).string();
    }
    fprintf(stderr, "fuzz: cannot make a scratch directory under %s\n", base.c_str());
    abort();
  }();
  return dir;
}

void EmptyDir(const std::string& dir) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) fs::remove_all(entry.path(), error);
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  FILE* stream = fopen(path.c_str(), "wb");
  if (!stream) return false;
  bool ok = fwrite(data.data(), 1, data.size(), stream) == data.size();
  return fclose(stream) == 0 && ok;
}

}  // namespace fuzz
