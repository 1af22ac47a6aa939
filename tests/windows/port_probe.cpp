// vusk_port_probe: the Windows file-system layer seen from a running program,
// for the checks under Wine.
//   paths            checks the path helpers against a table; prints each
//                    failure and ends with the number of failures
//   install          prints the installation, defaults and config directories
//                    and the temporary directory, one a line
//   list DIR         prints the entries of DIR, one a line, sorted byte-wise
//   open PATH        prints "readable" or "error N" (the open's error number)
//   config USERDIR   loads os_aware/threadx_fm.odb from the configuration
//                    directories and USERDIR (as the awareness does), then
//                    prints each file opened and the "order" list of the root
// Texts are UTF-8; standard output passes them as bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_file_parser.h"
#include "shared/port_fs.h"
#include "shared/port_io.h"

namespace {

constexpr int kUsageStatus = 64;

enum class PathOp { IsAbsolute, Join, DirName, BaseName };

struct PathCase {
  PathOp op;
  const char* first;
  const char* second;  // Join only
  const char* expected;
};

constexpr PathCase kPathCases[] = {
    {PathOp::IsAbsolute, "C:\\x", nullptr, "1"},
    {PathOp::IsAbsolute, "c:/x", nullptr, "1"},
    {PathOp::IsAbsolute, "\\\\server\\share", nullptr, "1"},
    {PathOp::IsAbsolute, "/x", nullptr, "1"},
    {PathOp::IsAbsolute, "C:x", nullptr, "0"},
    {PathOp::IsAbsolute, "x\\y", nullptr, "0"},
    {PathOp::IsAbsolute, "", nullptr, "0"},
    {PathOp::Join, "C:\\dir", "os_aware/threadx_fm.odb", "C:\\dir\\os_aware\\threadx_fm.odb"},
    {PathOp::Join, "C:\\dir\\", "f", "C:\\dir\\f"},
    {PathOp::Join, "C:/dir/", "f", "C:\\dir\\f"},
    {PathOp::Join, "C:\\dir", "/abs", "/abs"},
    {PathOp::Join, "C:\\dir", "D:\\abs", "D:\\abs"},
    {PathOp::Join, "", "f", "f"},
    {PathOp::DirName, "C:\\dir\\parts/*.odb", nullptr, "C:\\dir\\parts"},
    {PathOp::DirName, "C:\\x", nullptr, "C:\\"},
    {PathOp::DirName, "C:x", nullptr, "C:"},
    {PathOp::DirName, "\\x", nullptr, "\\"},
    {PathOp::DirName, "x", nullptr, "."},
    {PathOp::BaseName, "C:\\dir\\parts/*.odb", nullptr, "*.odb"},
    {PathOp::BaseName, "C:x", nullptr, "x"},
    {PathOp::BaseName, "x", nullptr, "x"},
};

std::string RunPathCase(const PathCase& c) {
  switch (c.op) {
    case PathOp::IsAbsolute:
      return PortFsIsAbsolute(c.first) ? "1" : "0";
    case PathOp::Join:
      return PortFsJoin(c.first, c.second);
    case PathOp::DirName:
      return PortFsDirName(c.first);
    case PathOp::BaseName:
      return PortFsBaseName(c.first);
  }
  return "";
}

int CheckPaths() {
  int failures = 0;
  for (const PathCase& c : kPathCases) {
    std::string got = RunPathCase(c);
    if (got == c.expected) continue;
    printf("case %d (%s, %s): got \"%s\", expected \"%s\"\n", static_cast<int>(&c - kPathCases), c.first,
           c.second ? c.second : "-", got.c_str(), c.expected);
    failures++;
  }
  return failures;
}

int PrintInstall() {
  char temp[1024];
  if (!PortTempDirectory(temp, sizeof temp)) return 1;
  printf("%s\n%s\n%s\n%s\n%s\n", PortFsInstallDir().c_str(), PortFsSiteDefaultsDir().c_str(),
         PortFsInstallConfigDir().c_str(), temp, PortFsHostType());
  return 0;
}

int PrintListing(const char* dir) {
  std::vector<std::string> names;
  int error_code = 0;
  if (!PortFsListDir(dir, &names, &error_code)) {
    printf("error %d\n", error_code);
    return 1;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) printf("%s\n", name.c_str());
  return 0;
}

int PrintOpen(const char* path) {
  int error_code = 0;
  FILE* stream = PortFsOpen(path, "rb", &error_code);
  if (!stream) {
    printf("error %d\n", error_code);
    return 1;
  }
  fclose(stream);
  printf("readable\n");
  return 0;
}

int PrintConfig(const char* userDir) {
  attr_database db = {};
  attr_database_init(&db, "threadx registers", nullptr, false);
  attr_database_set_int_lists(&db, true);
  bool ok = attr_database_load_config(&db, "os_aware/threadx_fm.odb", userDir);
  for (const std::string& file : db.files) printf("file %s\n", file.c_str());
  for (const attr_str_node* node = find_str_list(db.root, "order"); node; node = node->next)
    printf("order %s\n", node->value);
  attr_database_destroy(&db);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  PortSetBinaryStandardStreams();
  const char* command = argc > 1 ? argv[1] : "";
  int status = kUsageStatus;
  if (strcmp(command, "paths") == 0) status = CheckPaths();
  if (strcmp(command, "install") == 0) status = PrintInstall();
  if (argc > 2 && strcmp(command, "list") == 0) status = PrintListing(argv[2]);
  if (argc > 2 && strcmp(command, "open") == 0) status = PrintOpen(argv[2]);
  if (argc > 2 && strcmp(command, "config") == 0) status = PrintConfig(argv[2]);
  fflush(stdout);
  return status;
}
