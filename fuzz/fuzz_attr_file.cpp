// fuzz_attr_file: the attribute-file loader with its preprocessor, macros
// and evaluator, on files made from the input.
//
// The input is cut into files at lines "@@ NAME": the text before the first
// such line is main.odb, each later section the file NAME (letters, digits,
// "_", "-", "." and "/" kept; anything else dropped; no ".." parts), all of
// them in this process's scratch directory, and main.odb is loaded; includes
// may reach any file inside that directory and no file outside it (the open
// and include hooks refuse, so the fuzzer cannot read the machine's files).
// The files are served from memory through the open hook, and written to the
// directory only for an input that looks at the directory itself
// (include_many lists it, file_exists asks it): writing and removing them
// for every input cost a fifth of the run. An input opens at most
// kOpensPerInput files: the
// reader's own budget (kMaxFilesPerLoad) is the unit tests' to reach, and an
// include bomb fuzzed up to it cost dozens of ordinary runs each time. The
// loaded tree is then walked and every attribute read back through the typed
// look-ups.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "shared/libcxxutil/ut_file_parser.h"
#include "shared/libcxxutil/ut_source_reader.h"

namespace {

constexpr const char kFileMarker[] = "@@ ";
constexpr size_t kMaxNameBytes = 64;
constexpr const char kMainFile[] = "main.odb";
constexpr int kPathsToBuild = 8;
// Files one input may open: a few more than kMaxOpenFiles, so that the
// reader's nesting bound is still met. Every open may read the whole input
// again, so this bounds what an input can cost.
constexpr int kOpensPerInput = 40;
static_assert(kOpensPerInput > kMaxOpenFiles && kOpensPerInput < kMaxFilesPerLoad);

// Directives and functions that look at the directory rather than open a
// file by name.
constexpr const char* kDirectoryUsers[] = {"include_many", "file_exists"};

struct InputFile {
  std::string name;  // as cleaned; see PartsOf for how it is matched
  std::string text;
};

// The present input.
struct Input {
  std::vector<InputFile> files;
  bool onDisk = false;  // the files were written to the scratch directory
  int opens = 0;
};

Input g_input;

std::string CleanName(const std::string& raw) {
  std::string name;
  for (char c : raw) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                c == '-' || c == '.' || c == '/';
    if (keep && name.size() < kMaxNameBytes) name += c;
  }
  while (!name.empty() && name[0] == '/') name.erase(0, 1);
  if (name.find("..") != std::string::npos || name.empty() || name.back() == '/') return "";
  return name;
}

// Every line of the input goes to the file it is in, with a newline; a
// marker line with a usable name starts a file.
std::vector<InputFile> CutFiles(const std::string& input) {
  std::vector<InputFile> files{{kMainFile, ""}};
  constexpr size_t kMarkerBytes = sizeof kFileMarker - 1;
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string name;
    if (input.compare(start, kMarkerBytes, kFileMarker) == 0)
      name = CleanName(input.substr(start + kMarkerBytes, end - start - kMarkerBytes));
    if (!name.empty()) {
      files.push_back({name, ""});
    } else {
      files.back().text.append(input, start, end - start).push_back('\n');
    }
    start = end + 1;
  }
  return files;
}

// True when the path has a ".." part.
bool ClimbsUp(std::string_view path) {
  for (size_t at = path.find(".."); at != std::string_view::npos; at = path.find("..", at + 1)) {
    bool partStart = at == 0 || path[at - 1] == '/';
    bool partEnd = at + 2 == path.size() || path[at + 2] == '/';
    if (partStart && partEnd) return true;
  }
  return false;
}

// True when path names something inside the scratch directory. The test is
// on the text alone (no system call): every path the loader makes is
// absolute, the scratch directory is canonical and holds nothing but the
// plain files written here (no link inside leads out), so a path below it
// without a ".." part stays in it. (A ".." that would come back in is
// refused as well: no loss to the fuzzing.)
bool Contained(const char* path) {
  std::string_view text(path);
  const std::string& root = fuzz::ScratchDir();
  return text.size() > root.size() && text.compare(0, root.size(), root) == 0 && text[root.size()] == '/' &&
         !ClimbsUp(text);
}

// A name without its empty and "." parts ("a//./b" is "a/b").
std::string PartsOf(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    size_t slash = name.find('/');
    std::string_view part = name.substr(0, slash);
    if (!part.empty() && part != ".") {
      if (!out.empty()) out += '/';
      out.append(part);
    }
    name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
  }
  return out;
}

// The input's file at a path inside the scratch directory (the last of that
// name wins, as it would on disk), or null.
const InputFile* FindInputFile(const char* path) {
  std::string wanted = PartsOf(std::string_view(path).substr(fuzz::ScratchDir().size() + 1));
  for (auto file = g_input.files.rbegin(); file != g_input.files.rend(); ++file) {
    if (PartsOf(file->name) == wanted) return &*file;
  }
  return nullptr;
}

FILE* OpenContained(void*, const char* path, const char* mode) {
  if (!Contained(path) || g_input.opens >= kOpensPerInput) return nullptr;
  g_input.opens++;
  if (g_input.onDisk) return fopen(path, mode);
  const InputFile* file = FindInputFile(path);
  if (!file) return nullptr;
  if (file->text.empty()) return fopen("/dev/null", mode);  // fmemopen wants a size
  return fmemopen(const_cast<char*>(file->text.data()), file->text.size(), mode);
}

bool LooksAtTheDirectory(const std::string& input) {
  for (const char* name : kDirectoryUsers) {
    if (input.find(name) != std::string::npos) return true;
  }
  return false;
}

bool AllowContained(void*, const char*, const char* path, int) { return Contained(path); }

// Reads every attribute back in every typed way; an explicit stack, since a
// hostile file may nest blocks deeper than the C stack would like.
void WalkTree(attr_database* db) {
  std::vector<attr_block*> pending{db->root};
  int paths = 0;
  while (!pending.empty()) {
    attr_block* block = pending.back();
    pending.pop_back();
    // A path costs its depth, and so does every failed required look-up,
    // which names the block: a few blocks are enough to exercise them.
    bool withPaths = paths++ < kPathsToBuild;
    if (withPaths) (void)block_path(block);
    for (int i = 0; i < block->attr_count; i++) {
      const char* name = block->attrs[i].name;
      (void)find_str(block, name, nullptr);
      (void)find_int32(block, name, 0);
      (void)find_int64(block, name, 0, i % 2 == 0);
      (void)find_bool(block, name, false);
      for (const attr_int32_node* n = find_int32_list(block, name); n; n = n->next) (void)n->value;
      for (const attr_str_node* n = find_str_list(block, name); n; n = n->next) (void)n->value;
      if (withPaths) {
        (void)get_str(block, name, "");
        (void)get_int32(block, name, 0);
      }
    }
    for (attr_block* child = block_first_child(block, false); child; child = block_next_sibling(child, false)) {
      pending.push_back(child);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::ScratchDir();
  std::string text = fuzz::AsText(data, size);
  g_input.files = CutFiles(text);
  g_input.onDisk = LooksAtTheDirectory(text);
  if (g_input.onDisk) {
    for (const InputFile& file : g_input.files) fuzz::WriteFile(dir + "/" + file.name, file.text);
  }

  file_parser_callbacks hooks{};
  hooks.open_file = OpenContained;
  hooks.allow_include = AllowContained;
  attr_database db;
  attr_database_init(&db, "threadx registers", &hooks, false);
  attr_database_set_int_lists(&db, true);
  attr_database_set_size_suffixes(&db, size % 2 == 1);
  attr_database_set_raw_values(&db, size % 3 == 1);
  attr_database_set_keep_macros(&db, size % 5 == 1);
  std::string main = dir + "/" + kMainFile;
  attr_database_load(&db, main.c_str());
  // A second load adds to the same blocks, as the configuration layers do.
  if (size % 7 == 3) attr_database_load(&db, main.c_str());
  WalkTree(&db);
  attr_database_destroy(&db);
  if (g_input.onDisk) fuzz::EmptyDir(dir);
  g_input = Input{};
  std::vector<InputFile>().swap(g_input.files);
  return 0;
}
