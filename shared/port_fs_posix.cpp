// port_fs_posix: the POSIX side of port_fs (Linux and other Unix systems).
//
// The only file of the configuration loader that calls the operating system.
// A Windows build adds port_fs_win32.cpp with the same functions.
#include "shared/port_fs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "shared/port_alloc.h"

namespace {

constexpr char kSeparator = '/';
constexpr size_t kPathCapacity = 4096;

}  // namespace

std::string PortFsReadInstallDir() {
  char* buffer = static_cast<char*>(PortAlloc(kPathCapacity));
  ssize_t length = readlink("/proc/self/exe", buffer, kPathCapacity - 1);
  std::string dir = ".";
  if (length > 0) dir = PortFsDirName(std::string(buffer, static_cast<size_t>(length)));
  PortFree(buffer);
  return dir;
}

const char* PortFsHostType() {
#if defined(__LP64__)
  return "linux64";
#else
  return "linux";
#endif
}

bool PortFsIsWin32DevHost() { return false; }

std::string PortFsCurrentDir() {
  char* buffer = static_cast<char*>(PortAlloc(kPathCapacity));
  std::string dir = getcwd(buffer, kPathCapacity) ? std::string(buffer) : std::string(".");
  PortFree(buffer);
  return dir;
}

bool PortFsCanRead(const char* path) {
  FILE* stream = PortFsOpen(path, "rb", nullptr);
  if (!stream) return false;
  fclose(stream);
  return true;
}

// A directory opens for reading on POSIX systems but yields no text; it is
// refused here so that every caller sees the failure at the open.
FILE* PortFsOpen(const char* path, const char* mode, int* error_code) {
  errno = 0;
  FILE* stream = (path && *path) ? fopen(path, mode) : nullptr;
  struct stat info;
  if (stream && fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode)) {
    fclose(stream);
    stream = nullptr;
    errno = EISDIR;
  }
  if (!stream && error_code) *error_code = errno ? errno : ENOENT;
  return stream;
}

bool PortFsListDir(const char* dir, std::vector<std::string>* names, int* error_code) {
  errno = 0;
  DIR* handle = opendir(dir);
  if (!handle) {
    if (error_code) *error_code = errno;
    return false;
  }
  while (struct dirent* entry = readdir(handle)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names->emplace_back(entry->d_name);
  }
  closedir(handle);
  return true;
}

bool PortFsIsAbsolute(const std::string& path) { return !path.empty() && path[0] == kSeparator; }

std::string PortFsJoin(const std::string& dir, const std::string& name) {
  if (dir.empty() || PortFsIsAbsolute(name)) return name;
  if (dir.back() == kSeparator) return dir + name;
  return dir + kSeparator + name;
}

std::string PortFsDirName(const std::string& path) {
  size_t slash = path.rfind(kSeparator);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return std::string(1, kSeparator);
  return path.substr(0, slash);
}

std::string PortFsBaseName(const std::string& path) {
  size_t slash = path.rfind(kSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PortFsOpenErrorReason(int error_code) {
  char text[256];
  const char* reason = strerror(error_code);
  if (reason && *reason)
    snprintf(text, sizeof text, "(errno %d, %s) ", error_code, reason);
  else
    snprintf(text, sizeof text, "(errno %d) ", error_code);
  return text;
}

