// port_fs: the half of port_fs that is the same on every system. The
// configuration directories hang off the installation directory, which the
// platform file finds (PortFsReadInstallDir) and this file keeps.
#include "shared/port_fs.h"

namespace {
bool g_show_open_error_reason = false;
constexpr const char* kDataParentName = "share";
constexpr const char* kDataDirName = "vusk_threadx";
}  // namespace

const std::string& PortFsInstallDir() {
  static const std::string dir = PortFsReadInstallDir();
  return dir;
}

std::string PortFsSiteDefaultsDir() { return PortFsJoin(PortFsInstallDir(), "defaults"); }
std::string PortFsInstallConfigDir() { return PortFsJoin(PortFsInstallDir(), "config"); }
std::string PortFsInstallDataDir() {
  return PortFsJoin(PortFsJoin(PortFsDirName(PortFsInstallDir()), kDataParentName), kDataDirName);
}
std::string PortFsToolsDir() { return PortFsInstallDir(); }
std::string PortFsToolsDefaultsDir() { return PortFsJoin(PortFsToolsDir(), "defaults"); }
std::string PortFsToolsTargetDir() { return PortFsJoin(PortFsToolsDir(), "target"); }

bool PortFsShowReasonForFileOpenError() { return g_show_open_error_reason; }
void PortFsSetShowReasonForFileOpenError(bool on) { g_show_open_error_reason = on; }
