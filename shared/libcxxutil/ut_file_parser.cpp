// ut_file_parser: the statement parser, loading and the database's life; the
// tree and its look-ups are in ut_attr_tree.cpp.
//
// The parser keeps a current block (where braces have led) and a target
// block (where a dotted path has led on this line; back to the current block
// at every line end). Statements and values are dispatched through tables.
#include "shared/libcxxutil/ut_file_parser.h"

#include <cstring>
#include <string>

#include "shared/libcxxutil/ut_text.h"
#include "shared/libcxxutil/ut_tree_internal.h"
#include "shared/port_alloc.h"
#include "shared/port_fs.h"
#include "shared/port_msg.h"

namespace {

// ---- Predefined macros ----------------------------------------------------------

struct PredefinedMacro {
  const char* name;
  std::string (*value)();
};

std::string InstallDir() { return PortFsInstallDir(); }
std::string HostType() { return PortFsHostType(); }

constexpr PredefinedMacro kPredefinedMacros[] = {
    {"_PLISK_DIR", InstallDir},
    {"__PLISK_DIR__", InstallDir},
    {"__PLISK_DEFAULTS_DIR__", PortFsSiteDefaultsDir},
    {"__PLISK_TARGET_DIR__", PortFsToolsTargetDir},
    {"__TOOLS_DIR__", PortFsToolsDir},
    {"__TARGET_DIR__", PortFsToolsTargetDir},
    {"__TOOLS_DEFAULTS_DIR__", PortFsToolsDefaultsDir},
    {"__PLISK_HOST__", HostType},
};

// ---- Values -------------------------------------------------------------------------

// Boolean words: "false" must match whole, the others begin the word; all
// compared without regard to case, in this order.
struct BooleanWord {
  const char* word;
  bool whole;
  int32_t value;
};
constexpr BooleanWord kBooleanWords[] = {
    {.word = "false", .whole = true, .value = 0}, {.word = "no", .whole = false, .value = 0},
    {.word = "on", .whole = false, .value = 1},   {.word = "off", .whole = false, .value = 0},
    {.word = "true", .whole = false, .value = 1}, {.word = "yes", .whole = false, .value = 1},
};

bool BooleanValue(const std::string& token, int32_t* value) {
  for (const BooleanWord& row : kBooleanWords) {
    if (!ut_prefix_ignoring_case(token.c_str(), row.word)) continue;
    if (row.whole && token.size() != strlen(row.word)) continue;
    *value = row.value;
    return true;
  }
  return false;
}

bool IsNameStart(char c) { return ut_is_ident_char(c) || c == '"'; }

// Size suffixes (with size_suffixes on): K or k, M or m.
struct SizeSuffix {
  char upper;
  char lower;
  uint64_t scale;
};
constexpr SizeSuffix kSizeSuffixes[] = {{'K', 'k', 1024}, {'M', 'm', 1048576}};

class Parser {
 public:
  Parser(attr_database* db, source_reader& reader) : db_(db), reader_(reader), current_(db->root), target_(db->root) {}
  bool Run();

 private:
  using OperatorHandler = bool (Parser::*)(const std::string& name);
  struct OperatorRow {
    const char* text;
    OperatorHandler handler;
  };
  static const OperatorRow kOperators[];

  bool Fail(const std::string& text);
  std::string Next();
  bool NumberOf(const std::string& token, uint64_t* value) const;
  bool Assign(const std::string& name) { return ParseValue(name, false); }
  bool Add(const std::string& name) { return ParseValue(name, true); }
  bool Path(const std::string& name);
  bool Open(const std::string& name);
  bool Close(const std::string& name);
  bool ParseValue(const std::string& name, bool add);
  bool ParseScalar(const std::string& name, std::string token, bool add);
  bool ParseList(const std::string& name, bool add);
  bool ReadElements(std::string token, bool ints, std::vector<int32_t>* numbers, std::vector<std::string>* texts);
  bool IntElement(std::string token, bool first, int32_t* value);
  void StoreIntList(const std::string& name, bool add, const std::vector<int32_t>& values);
  void StoreStrList(const std::string& name, bool add, const std::vector<std::string>& values);

  attr_database* db_;
  source_reader& reader_;
  attr_block* current_;
  attr_block* target_;
};

const Parser::OperatorRow Parser::kOperators[] = {
    {"=", &Parser::Assign}, {"+=", &Parser::Add}, {".", &Parser::Path}, {"{", &Parser::Open}, {"}", &Parser::Close},
};

bool Parser::Fail(const std::string& text) {
  PortMessage(MsgSeverity::Error, "%s: parse error: %s", reader_.position().c_str(), text.c_str());
  db_->parse_error = true;
  return false;
}

std::string Parser::Next() {
  const char* token = reader_.next_token();
  return token ? std::string(token, reader_.token_length()) : std::string();
}

bool Parser::Run() {
  bool ok = true;
  while (ok) {
    if (reader_.at_eol()) target_ = current_;
    std::string token = Next();
    if (token.empty()) break;
    if (token == ";") continue;
    std::string name, op = token;
    if (IsNameStart(token[0])) {
      name = token[0] == '"' ? ut_unquote(token.data(), token.size()) : token;
      if (reader_.at_eol()) {
        ok = Fail("unexpected end of line");
        break;
      }
      op = Next();
    }
    const OperatorRow* row = nullptr;
    for (const OperatorRow& candidate : kOperators)
      if (op == candidate.text) row = &candidate;
    if (!row) {
      // At most the first two characters; a one-character operator shows one.
      ok = Fail("unknown operator sequence \"" + op.substr(0, 2) + "\" ");
      break;
    }
    ok = (this->*row->handler)(name);
  }
  if (ok && current_->open) ok = Fail("expected '}'");
  // A load that stopped inside braces leaves no block open for the next one.
  for (attr_block* block = current_; block; block = block->parent) block->open = false;
  return ok;
}

bool Parser::Path(const std::string& name) {
  attr_block* child = tree_child(target_, name.c_str());
  child->open = false;
  target_ = child;
  return true;
}

bool Parser::Open(const std::string& name) {
  attr_block* child = tree_child(target_, name.c_str());
  child->open = true;
  current_ = target_ = child;
  return true;
}

bool Parser::Close(const std::string&) {
  if (current_->root) return Fail("unexpected '}'");
  current_->open = false;
  attr_block* up = current_->parent;
  while (up && !up->root && !up->open) up = up->parent;
  current_ = target_ = up ? up : db_->root;
  return true;
}

bool Parser::NumberOf(const std::string& token, uint64_t* value) const {
  size_t used = ut_scan_unsigned(token.c_str(), value);
  if (used == 0) return false;
  if (db_->size_suffixes) {
    for (const SizeSuffix& suffix : kSizeSuffixes)
      if (token[used] == suffix.upper || token[used] == suffix.lower) *value *= suffix.scale;
  }
  return true;
}

bool Parser::ParseValue(const std::string& name, bool add) {
  if (name.empty()) return Fail("empty attribute name");
  if (reader_.at_eol()) return Fail("empty attribute value");
  std::string token = Next();
  if (token[0] == '"') {
    std::string text = ut_unquote(token.data(), token.size());
    (add ? block_append_str : block_set_str)(target_, name.c_str(), text.c_str());
    return true;
  }
  if (token == "{") return ParseList(name, add);
  if (db_->raw_values) {
    (add ? block_append_str : block_set_str)(target_, name.c_str(), token.c_str());
    return true;
  }
  return ParseScalar(name, token, add);
}

bool Parser::ParseScalar(const std::string& name, std::string token, bool add) {
  attr_entry* entry = nullptr;
  int32_t flag;
  if (BooleanValue(token, &flag)) {
    entry = add ? tree_add_entry(target_, name.c_str()) : tree_entry_for_set(target_, name.c_str());
    entry->kind = ATTR_INT32;
    entry->value.int32 = flag;
    return true;
  }
  bool negative = token == "-";
  if (negative) {
    if (reader_.at_eol()) return Fail("unexpected end of line");
    token = Next();
  }
  uint64_t value = 0;
  if (!NumberOf(token, &value)) return Fail("");
  entry = add ? tree_add_entry(target_, name.c_str()) : tree_entry_for_set(target_, name.c_str());
  if (value <= UINT32_MAX) {
    uint32_t bits = static_cast<uint32_t>(value);
    entry->kind = ATTR_INT32;
    entry->value.int32 = static_cast<int32_t>(negative ? 0u - bits : bits);
  } else {
    entry->kind = ATTR_INT64;
    entry->value.int64 = static_cast<int64_t>(negative ? 0 - value : value);
  }
  return true;
}

// One int32 list element from token; the first may be preceded by a "-"
// token.
bool Parser::IntElement(std::string token, bool first, int32_t* value) {
  bool negative = first && token == "-";
  if (negative) {
    if (reader_.at_eol()) return Fail("unexpected end of line");
    token = Next();
  }
  uint64_t number = 0;
  if (!NumberOf(token, &number)) return Fail(first ? "expected an integer or string" : "expected an integer");
  uint32_t bits = static_cast<uint32_t>(number);
  *value = static_cast<int32_t>(negative ? 0u - bits : bits);
  return true;
}

// "{" has been taken. Elements follow "," on the same line; the "," and the
// closing "}" may stand on later lines. The elements read before an error
// are stored all the same, as everything else parsed before it.
bool Parser::ParseList(const std::string& name, bool add) {
  if (reader_.at_eol()) return Fail("unexpected end of line");
  std::string token = Next();
  bool ints = db_->int_lists && token[0] != '"';
  std::vector<int32_t> numbers;
  std::vector<std::string> texts;
  bool ok = ReadElements(token, ints, &numbers, &texts);
  if (ints && !numbers.empty()) StoreIntList(name, add, numbers);
  if (!ints && !texts.empty()) StoreStrList(name, add, texts);
  return ok;
}

bool Parser::ReadElements(std::string token, bool ints, std::vector<int32_t>* numbers, std::vector<std::string>* texts) {
  for (bool first = true;; first = false) {
    if (!first) {
      if (reader_.accept("}")) return true;
      if (!reader_.accept(",")) return Fail("expected '}'");
      if (reader_.at_eol()) return Fail("unexpected end of line");
      token = Next();
    }
    if (ints) {
      int32_t value = 0;
      if (!IntElement(token, first, &value)) return false;
      numbers->push_back(value);
    } else {
      if (token[0] != '"') return Fail("expected a string");
      texts->push_back(ut_unquote(token.data(), token.size()));
    }
  }
}

void Parser::StoreIntList(const std::string& name, bool add, const std::vector<int32_t>& values) {
  attr_entry* entry = const_cast<attr_entry*>(block_find_entry(target_, name.c_str()));
  if (!add || !entry || entry->kind != ATTR_INT32_LIST) {
    entry = tree_entry_for_set(target_, name.c_str());
    entry->kind = ATTR_INT32_LIST;
  }
  for (int32_t value : values) tree_list_append_int32(entry, value);
}

void Parser::StoreStrList(const std::string& name, bool add, const std::vector<std::string>& values) {
  attr_entry* entry = const_cast<attr_entry*>(block_find_entry(target_, name.c_str()));
  if (!add || !entry || entry->kind != ATTR_STR_LIST) {
    entry = tree_entry_for_set(target_, name.c_str());
    entry->kind = ATTR_STR_LIST;
  }
  for (const std::string& value : values) tree_list_append_str(entry, value.c_str());
}

enum class LoadResult { kLoaded, kNotOpened, kFailed };

LoadResult Load(attr_database* db, const char* path) {
  file_parser_callbacks* hooks = db->callbacks;
  if (hooks && hooks->allow_include && !hooks->allow_include(hooks->caller_data, "", path, 0))
    return LoadResult::kLoaded;
  source_reader reader(&db->macros, hooks, db->evaluator_callbacks);
  if (!reader.open(path)) return LoadResult::kNotOpened;
  bool ok = Parser(db, reader).Run();
  for (const std::string& file : reader.opened_files()) db->files.push_back(file);
  if (db->keep_macros)
    for (const auto& macro : reader.preprocessor().local_table().macros) db->macros.define(macro.first, macro.second);
  return ok && !reader.error() ? LoadResult::kLoaded : LoadResult::kFailed;
}

}  // namespace

// ---- Database ------------------------------------------------------------------------

void attr_database_init(attr_database* db, const char* name, file_parser_callbacks* callbacks, bool owns_callbacks) {
  db->root = tree_new_block(db, nullptr, "");
  db->root->root = true;
  db->name = PortStrdup(name ? name : "");
  db->macros = macro_table();
  db->files.clear();
  db->callbacks = callbacks;
  db->owns_callbacks = owns_callbacks;
  db->evaluator_callbacks = nullptr;
  db->file_open_failed = false;
  db->parse_error = false;
  db->raw_values = false;
  db->size_suffixes = false;
  db->int_lists = false;
  db->keep_macros = false;
  for (const PredefinedMacro& macro : kPredefinedMacros) db->macros.define(macro.name, macro.value());
  if (PortFsIsWin32DevHost()) db->macros.define("__PLISK_WIN32_DEV_HOST__", "1");
}

void attr_database_set_int_lists(attr_database* db, bool on) { db->int_lists = on; }
void attr_database_set_raw_values(attr_database* db, bool on) { db->raw_values = on; }
void attr_database_set_size_suffixes(attr_database* db, bool on) { db->size_suffixes = on; }
void attr_database_set_keep_macros(attr_database* db, bool on) { db->keep_macros = on; }
void attr_database_set_evaluator_callbacks(attr_database* db, const ut_evaluator_callbacks* callbacks) {
  db->evaluator_callbacks = callbacks;
}

bool attr_database_load(attr_database* db, const char* path) {
  LoadResult result = Load(db, path);
  if (result == LoadResult::kNotOpened) db->file_open_failed = true;
  return result == LoadResult::kLoaded;
}

bool attr_database_load_config(attr_database* db, const char* relative_path, const char* user_config_dir) {
  const std::string dirs[] = {PortFsSiteDefaultsDir(), PortFsInstallDataDir(), PortFsInstallConfigDir(),
                              user_config_dir ? user_config_dir : ""};
  bool ok = true;
  for (const std::string& dir : dirs) {
    if (dir.empty()) continue;
    std::string path = PortFsJoin(dir, relative_path);
    ok &= Load(db, path.c_str()) != LoadResult::kFailed;
  }
  return ok;
}

void attr_database_destroy(attr_database* db) {
  if (db->root) tree_free_block(db->root);
  db->root = nullptr;
  PortFree(db->name);
  db->name = nullptr;
  db->macros = macro_table();
  db->files.clear();
  if (db->owns_callbacks) PortFree(db->callbacks);
  db->callbacks = nullptr;
}
