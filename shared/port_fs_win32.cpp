// port_fs_win32: the Windows side of port_fs.
//
// Paths are UTF-8 texts everywhere else in the program; this file widens them
// to UTF-16 for the system and narrows the system's answers back, so that a
// directory name outside the ANSI code page still works. Joins write
// backslashes; splits accept both separators, since database files name their
// includes with slashes. Absolute forms: a drive ("C:\", "C:/"), a rooted path
// ("\x", "/x") and a UNC name ("\\server\share").
#include "shared/port_fs.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "shared/port_alloc.h"

namespace {

constexpr char kSeparator = '\\';

// GetModuleFileNameW gives no length up front: the buffer doubles from the
// first size up to the longest path the system allows.
constexpr DWORD kModulePathFirstUnits = 260;
constexpr DWORD kModulePathMaxUnits = 32768;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasDrive(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// Index of the last separator, or npos.
size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::wstring Widen(const char* text) {
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units - 1));
  return wide;
}

std::string Narrow(const wchar_t* text, size_t units) {
  if (units == 0) return std::string();
  int count = static_cast<int>(units);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, count, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

}  // namespace

std::string PortFsReadInstallDir() {
  for (DWORD capacity = kModulePathFirstUnits; capacity <= kModulePathMaxUnits; capacity *= 2) {
    wchar_t* buffer = static_cast<wchar_t*>(PortAlloc(capacity * sizeof(wchar_t)));
    DWORD units = GetModuleFileNameW(nullptr, buffer, capacity);
    bool fits = units > 0 && units < capacity;
    std::string path = fits ? Narrow(buffer, units) : std::string();
    PortFree(buffer);
    if (units == 0) break;
    if (fits) return path.empty() ? std::string(".") : PortFsDirName(path);
  }
  return ".";
}

namespace {

// The errno value for a system error code, for PortFsOpenErrorReason; codes
// not listed give EINVAL.
struct SystemErrno {
  DWORD code;
  int errnoValue;
};

constexpr SystemErrno kSystemErrnos[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_INVALID_NAME, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},       {ERROR_ACCESS_DENIED, EACCES},  {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},       {ERROR_DIRECTORY, ENOTDIR},
};

int ErrnoForSystemError(DWORD code) {
  for (const SystemErrno& entry : kSystemErrnos) {
    if (entry.code == code) return entry.errnoValue;
  }
  return EINVAL;
}

}  // namespace

const char* PortFsHostType() {
#if defined(_WIN64)
  return "win64";
#else
  return "win32";
#endif
}

// The plugin is always run from an installation, never from a development
// tree of the debugger itself.
bool PortFsIsWin32DevHost() { return false; }

std::string PortFsCurrentDir() {
  DWORD units = GetCurrentDirectoryW(0, nullptr);
  if (units == 0) return ".";
  std::wstring buffer(units, L'\0');
  DWORD got = GetCurrentDirectoryW(units, buffer.data());
  if (got == 0 || got >= units) return ".";
  std::string dir = Narrow(buffer.data(), got);
  return dir.empty() ? std::string(".") : dir;
}

bool PortFsCanRead(const char* path) {
  FILE* stream = PortFsOpen(path, "rb", nullptr);
  if (!stream) return false;
  fclose(stream);
  return true;
}

// A directory does not open as a file here (EACCES), so no extra check is
// needed to refuse it. A path that is not UTF-8 is tried as it is, in the
// ANSI code page.
FILE* PortFsOpen(const char* path, const char* mode, int* error_code) {
  errno = 0;
  FILE* stream = nullptr;
  if (path && *path) {
    std::wstring widePath = Widen(path);
    std::wstring wideMode = Widen(mode);
    stream = widePath.empty() ? fopen(path, mode) : _wfopen(widePath.c_str(), wideMode.c_str());
  }
  if (!stream && error_code) *error_code = errno ? errno : ENOENT;
  return stream;
}

bool PortFsListDir(const char* dir, std::vector<std::string>* names, int* error_code) {
  std::wstring pattern = Widen(dir ? dir : "");
  if (pattern.empty() && dir && *dir) {
    if (error_code) *error_code = ENOENT;
    return false;
  }
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW entry;
  HANDLE handle = FindFirstFileW(pattern.c_str(), &entry);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // An existing but empty directory still lists "." and ".."; only a
    // drive root can be truly empty.
    if (code == ERROR_FILE_NOT_FOUND && GetFileAttributesW(pattern.substr(0, pattern.size() - 1).c_str()) !=
                                            INVALID_FILE_ATTRIBUTES)
      return true;
    if (error_code) *error_code = ErrnoForSystemError(code);
    return false;
  }
  do {
    if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
    names->push_back(Narrow(entry.cFileName, wcslen(entry.cFileName)));
  } while (FindNextFileW(handle, &entry));
  FindClose(handle);
  return true;
}

bool PortFsIsAbsolute(const std::string& path) {
  return (!path.empty() && IsSeparator(path[0])) || (HasDrive(path) && path.size() > 2 && IsSeparator(path[2]));
}

// A joined path is written the Windows way: its slashes become backslashes,
// so that messages name files as the user knows them.
std::string PortFsJoin(const std::string& dir, const std::string& name) {
  if (dir.empty() || PortFsIsAbsolute(name)) return name;
  std::string path = IsSeparator(dir.back()) ? dir + name : dir + kSeparator + name;
  std::replace(path.begin(), path.end(), '/', kSeparator);
  return path;
}

// "C:\x" gives "C:\", "C:x" gives "C:", "\x" gives "\".
std::string PortFsDirName(const std::string& path) {
  size_t slash = LastSeparator(path);
  size_t root = HasDrive(path) ? 2 : 0;
  if (slash == std::string::npos) return root ? path.substr(0, root) : ".";
  if (slash == root) return path.substr(0, root + 1);
  return path.substr(0, slash);
}

std::string PortFsBaseName(const std::string& path) {
  size_t slash = LastSeparator(path);
  if (slash == std::string::npos) return HasDrive(path) ? path.substr(2) : path;
  return path.substr(slash + 1);
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

