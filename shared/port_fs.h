// port_fs: the file-system facts the configuration loader needs.
//
// Installation directories, directory listing, readability checks, path
// joining and the texts that explain a failed open. Every operating-system
// call lives in the platform file (port_fs_posix.cpp or port_fs_win32.cpp;
// port_fs.cpp holds what is the same everywhere); callers stay
// free of them. Paths are UTF-8 texts; directory results never end in a
// separator (except a bare root).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Directory that holds the running executable ("." when it cannot be told).
// Computed once and kept.
const std::string& PortFsInstallDir();

// The platform's way to that directory, asked once by PortFsInstallDir.
std::string PortFsReadInstallDir();

// Site defaults configuration directory: "defaults" under the installation
// directory.
std::string PortFsSiteDefaultsDir();

// Installation configuration directory: "config" under the installation
// directory (a build tree, a Windows installation).
std::string PortFsInstallConfigDir();

// Installed read-only data: "share/vusk_threadx" beside the installation
// directory's parent, as a package lays it out (<prefix>/bin holds the
// executable, <prefix>/share/vusk_threadx its data).
std::string PortFsInstallDataDir();

// Tools installation directory. The plugin ships inside the tools tree, so
// this is the installation directory itself; its site defaults and target
// directories are "defaults" and "target" under it.
std::string PortFsToolsDir();
std::string PortFsToolsDefaultsDir();
std::string PortFsToolsTargetDir();

// Host type text, e.g. "linux64".
const char* PortFsHostType();

// True only on a Windows development host (never on other systems).
bool PortFsIsWin32DevHost();

// Current directory of the process ("." when it cannot be told).
std::string PortFsCurrentDir();

// True when path names something that can be opened for reading.
bool PortFsCanRead(const char* path);

// Opens path with a stdio mode. On failure returns null and stores the
// system error number in *error_code (when error_code is not null). The
// caller owns the stream and closes it with fclose.
FILE* PortFsOpen(const char* path, const char* mode, int* error_code);

// Names of the entries of a directory ("." and ".." left out), in the order
// the system gives them. False, with *error_code set, when it cannot be read.
bool PortFsListDir(const char* dir, std::vector<std::string>* names, int* error_code);

// Path helpers. An absolute name is kept as it is by PortFsJoin; an empty
// directory leaves the name alone.
bool PortFsIsAbsolute(const std::string& path);
std::string PortFsJoin(const std::string& dir, const std::string& name);
// Directory part of a path ("." when there is none).
std::string PortFsDirName(const std::string& path);
// Last part of a path (after the final separator).
std::string PortFsBaseName(const std::string& path);

// The reason appended to "could not open ..." messages: "(errno %d, %s) ",
// or "(errno %d) " when the system has no text for the code.
std::string PortFsOpenErrorReason(int error_code);

// Run-time switch: whether open failures show their reason (off by default).
bool PortFsShowReasonForFileOpenError();
void PortFsSetShowReasonForFileOpenError(bool on);
