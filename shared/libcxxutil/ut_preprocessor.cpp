// ut_preprocessor: see ut_preprocessor.h.
#include "shared/libcxxutil/ut_preprocessor.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>

#include "shared/libcxxutil/ut_text.h"
#include "shared/port_fs.h"
#include "shared/port_msg.h"

// ---- macro_table ----------------------------------------------------------

const char* macro_table::find(const std::string& name) const {
  auto found = macros.find(name);
  return found == macros.end() ? nullptr : found->second.c_str();
}

void macro_table::define(const std::string& name, const std::string& text) { macros[name] = text; }

bool macro_table::undefine(const std::string& name) { return macros.erase(name) > 0; }

namespace {

std::string TrimTrailingBlanks(std::string text) {
  while (!text.empty() && ut_is_blank(text.back())) text.pop_back();
  return text;
}

std::string SkipLeadingBlanks(const std::string& text) {
  size_t start = 0;
  while (start < text.size() && ut_is_blank(text[start])) start++;
  return text.substr(start);
}

// Cuts a %define or %eval argument at the first "#" outside quotes; a
// backslash inside quotes protects the next character.
std::string CutComment(const std::string& argument) {
  char quote = 0;
  size_t i = 0;
  for (; i < argument.size(); i++) {
    char c = argument[i];
    if (quote) {
      if (c == '\\' && i + 1 < argument.size()) i++;
      else if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '#') {
      break;
    }
  }
  return TrimTrailingBlanks(argument.substr(0, i));
}

// Splits "name rest" into the leading identifier and the rest after blanks.
void SplitName(const std::string& argument, std::string* name, std::string* rest) {
  size_t end = 0;
  while (end < argument.size() && ut_is_ident_char(argument[end])) end++;
  *name = argument.substr(0, end);
  *rest = SkipLeadingBlanks(argument.substr(end));
}

// The name of an include: between the first pair of double quotes, else
// between "<" and the following ">". Empty when there is none.
std::string IncludeName(const std::string& argument) {
  size_t open = argument.find('"');
  size_t close = open == std::string::npos ? open : argument.find('"', open + 1);
  if (close != std::string::npos) return argument.substr(open + 1, close - open - 1);
  open = argument.find('<');
  if (open == std::string::npos) return std::string();
  close = argument.find('>', open + 1);
  return close == std::string::npos ? std::string() : argument.substr(open + 1, close - open - 1);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Reads the leading constant of a text (after blanks); 0 when there is none.
uint64_t LeadingNumber(const char* text) {
  if (!text) return 0;
  while (ut_is_blank(*text)) text++;
  uint64_t value;
  ut_scan_unsigned(text, &value);
  return value;
}

// True when the whole text is one constant (blanks around allowed).
bool WholeNumber(const char* text, uint64_t* value) {
  while (ut_is_blank(*text)) text++;
  size_t used = ut_scan_unsigned(text, value);
  if (used == 0) return false;
  for (text += used; ut_is_blank(*text);) text++;
  return *text == '\0';
}

}  // namespace

// ---- Construction and look-up --------------------------------------------

simple_preprocessor::simple_preprocessor(const macro_table* database_macros, const ut_evaluator_callbacks* callbacks)
    : database_macros_(database_macros), callbacks_(callbacks) {}

simple_preprocessor::~simple_preprocessor() {
  if (!frames_.empty())
    PortMessage(MsgSeverity::Error, "unclosed if or ifdef, opened on line:\n\t\"%s\".", frames_.back().line.c_str());
}

void simple_preprocessor::define(const char* name, const char* text) { local_.define(name, text ? text : ""); }

const char* simple_preprocessor::QuietLookup(const std::string& name) {
  if (const char* text = local_.find(name)) return text;
  if (database_macros_)
    if (const char* text = database_macros_->find(name)) return text;
  if (callbacks_ && callbacks_->is_defined && callbacks_->is_defined(callbacks_->caller_data, name.c_str())) {
    const char* text = callbacks_->get_value ? callbacks_->get_value(callbacks_->caller_data, name.c_str()) : nullptr;
    return text ? text : "";
  }
  return nullptr;
}

const char* simple_preprocessor::lookup(const std::string& name, bool report_if_undefined) {
  const char* text = QuietLookup(name);
  if (!text && report_if_undefined) PortMessage(MsgSeverity::Error, "macro not defined(%s) ...", name.c_str());
  return text;
}

const char* simple_preprocessor::lookup(const char* name, bool report_if_undefined) {
  return lookup(std::string(name ? name : ""), report_if_undefined);
}

const char* simple_preprocessor::lookup_name(const char* name, bool report_if_undefined) {
  return lookup(name, report_if_undefined);
}

bool simple_preprocessor::is_defined(const std::string& name) { return QuietLookup(name) != nullptr; }

bool simple_preprocessor::EnclosingActive() const { return frames_.empty() || frames_.back().active; }

bool simple_preprocessor::is_skipping() const { return !EnclosingActive(); }

// ---- Directory macros -----------------------------------------------------
//
// Include and file names may name directories through macros. The fixed
// directory macros come first (with fall-backs for those that may be
// undefined); the product directory macros are replaced by texts that make
// their use visible, since they do not name a configuration tree. Then every
// other "${NAME}" whose NAME is defined is replaced everywhere by NAME's text,
// rewritten in turn, and the scan starts again from the beginning.

struct simple_preprocessor::RewriteState {
  std::vector<std::string> chain;  // names whose texts are being rewritten
  std::set<std::string> stuck;     // names found to refer to themselves
  int substitutions = 0;
};

std::string simple_preprocessor::rewrite_directory_macros(const std::string& name) {
  RewriteState state;
  return Rewrite(name, state);
}

std::string simple_preprocessor::Rewrite(const std::string& text, RewriteState& state) {
  static const char kBadDefaults[] = "MACRO_PLISK_DEFAULTS_DIR_WAS_USED_THIS_IS_BAD_DO_NOT_USE_THIS";
  static const char kBadProduct[] = "PLISK_DIR_WAS_USED_THIS_IS_BAD_DO_NOT_USE_THIS";
  std::string out = text;
  if (Contains(out, "_DIR")) {
    const char* dir = QuietLookup("__DIR__");
    ReplaceAll(out, "${__DIR__}", dir ? std::string(dir) : PortFsCurrentDir());
    if (const char* os_dir = QuietLookup("__OS_DIR__")) ReplaceAll(out, "${__OS_DIR__}", os_dir);
    if (Contains(out, "_PLISK")) {
      const char* target = QuietLookup("__PLISK_TARGET_DIR__");
      ReplaceAll(out, "${__PLISK_TARGET_DIR__}", target ? std::string(target) : PortFsToolsTargetDir());
      ReplaceAll(out, "${__PLISK_DEFAULTS_DIR__}", kBadDefaults);
      ReplaceAll(out, "${__PLISK_DIR__}", kBadProduct);
      ReplaceAll(out, "${_PLISK_DIR}", kBadProduct);
      ReplaceAll(out, "_PLISK_DIR", kBadProduct);
    } else if (Contains(out, "_TOOLS")) {
      const char* defaults = QuietLookup("__TOOLS_DEFAULTS_DIR__");
      const char* tools = QuietLookup("__TOOLS_DIR__");
      ReplaceAll(out, "${__TOOLS_DEFAULTS_DIR__}", defaults ? std::string(defaults) : PortFsToolsDefaultsDir());
      ReplaceAll(out, "${__TOOLS_DIR__}", tools ? std::string(tools) : PortFsToolsDir());
    }
    if (const char* target = QuietLookup("__TARGET_DIR__")) ReplaceAll(out, "${__TARGET_DIR__}", target);
  }
  size_t from = 0;
  while ((from = out.find("${", from)) != std::string::npos) {
    size_t close = out.find('}', from + 2);
    if (close == std::string::npos) break;
    std::string name = out.substr(from + 2, close - from - 2);
    const char* value = QuietLookup(name);
    bool in_chain = false;
    for (const std::string& entry : state.chain) in_chain |= entry == name;
    if (in_chain && state.stuck.insert(name).second)
      PortMessage(MsgSeverity::Error, "macro recursion detected for: \"%s\"", name.c_str());
    if (!value || state.stuck.count(name) || state.chain.size() >= static_cast<size_t>(kMaxRewriteDepth) ||
        state.substitutions >= kMaxRewriteSubstitutions) {
      from += 2;
      continue;
    }
    state.substitutions++;
    state.chain.push_back(name);
    std::string replacement = Rewrite(value, state);
    state.chain.pop_back();
    ReplaceAll(out, "${" + name + "}", replacement);
    from = 0;
  }
  return out;
}

// ---- Directives ------------------------------------------------------------

// What a directive does inside a false conditional.
enum class WhenSkipping {
  kProcess,  // conditionals: kept in step (expressions in eval_skip mode)
  kRecord,   // includes: the name is recorded, the reader does not open it
  kIgnore,   // definitions and messages: no effect
};

struct DirectiveHandlers {
  using Handler = void (*)(simple_preprocessor& pp, const std::string& argument, const std::string& line);
  struct Row {
    const char* name;
    WhenSkipping when_skipping;
    Handler handler;
  };

  static void If(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    bool enclosing = pp.EnclosingActive();
    bool taken = ut_simple_integer_evaluate(&pp, argument.c_str(), !enclosing) != 0;
    pp.frames_.push_back(cond_frame{taken, taken && enclosing, taken, false, line});
  }

  static void Ifdef(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    std::string name, rest;
    SplitName(argument, &name, &rest);
    if (!rest.empty()) PortMessage(MsgSeverity::Error, "Unexpected token(s): %s\n", rest.c_str());
    bool enclosing = pp.EnclosingActive();
    bool taken = !name.empty() && pp.is_defined(name);
    pp.frames_.push_back(cond_frame{taken, taken && enclosing, taken, false, line});
  }

  static bool ParentActive(const simple_preprocessor& pp) {
    size_t n = pp.frames_.size();
    return n < 2 || pp.frames_[n - 2].active;
  }

  static void Elif(simple_preprocessor& pp, const std::string& argument, const std::string&) {
    if (pp.frames_.empty()) {
      PortMessage(MsgSeverity::Error, "unexpected directive: elif");
      return;
    }
    bool parent = ParentActive(pp);
    cond_frame& frame = pp.frames_.back();
    bool skip = !parent || frame.any_taken;
    bool value = ut_simple_integer_evaluate(&pp, argument.c_str(), skip) != 0;
    frame.taken = value && !frame.any_taken;
    frame.active = frame.taken && parent;
    frame.any_taken |= frame.taken;
  }

  static void Else(simple_preprocessor& pp, const std::string&, const std::string&) {
    if (pp.frames_.empty() || pp.frames_.back().else_seen) {
      PortMessage(MsgSeverity::Error, "unexpected directive: else");
      return;
    }
    bool parent = ParentActive(pp);
    cond_frame& frame = pp.frames_.back();
    frame.taken = !frame.any_taken;
    frame.active = frame.taken && parent;
    frame.any_taken = true;
    frame.else_seen = true;
  }

  static void Endif(simple_preprocessor& pp, const std::string&, const std::string&) {
    if (pp.frames_.empty()) {
      PortMessage(MsgSeverity::Error, "unexpected directive: endif");
      return;
    }
    pp.frames_.pop_back();
  }

  static void SetInclude(simple_preprocessor& pp, const std::string& argument, const std::string& line, bool many) {
    std::string name = IncludeName(argument);
    if (name.empty()) {
      PortMessage(MsgSeverity::Error, "illegal directive: \"%s\"", line.c_str());
      return;
    }
    pp.include_pending_ = true;
    pp.include_many_ = many;
    pp.include_name_ = name;
  }

  static void Include(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    SetInclude(pp, argument, line, false);
  }

  static void IncludeMany(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    SetInclude(pp, argument, line, true);
  }

  static void Define(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    std::string name, text;
    SplitName(CutComment(argument), &name, &text);
    if (name.empty()) {
      PortMessage(MsgSeverity::Error, "illegal directive: \"%s\"", line.c_str());
      return;
    }
    pp.local_.define(name, text);
  }

  static void Eval(simple_preprocessor& pp, const std::string& argument, const std::string& line) {
    std::string name, expression;
    SplitName(CutComment(argument), &name, &expression);
    if (name.empty()) {
      PortMessage(MsgSeverity::Error, "illegal directive: \"%s\"", line.c_str());
      return;
    }
    char text[32];
    snprintf(text, sizeof text, "0x%" PRIx64,
             static_cast<uint64_t>(ut_simple_integer_evaluate(&pp, expression.c_str(), false)));
    pp.local_.define(name, text);
  }

  static void Undef(simple_preprocessor& pp, const std::string& argument, const std::string&) {
    std::string name, rest;
    SplitName(argument, &name, &rest);
    if (!rest.empty()) PortMessage(MsgSeverity::Error, "Unexpected token(s): %s\n", rest.c_str());
    pp.local_.undefine(name);
  }

  static void Info(simple_preprocessor&, const std::string& argument, const std::string&) {
    PortMessage(MsgSeverity::Info, "%s", argument.c_str());
  }
  static void Warning(simple_preprocessor&, const std::string& argument, const std::string&) {
    PortMessage(MsgSeverity::Warning, "%s", argument.c_str());
  }
  static void Error(simple_preprocessor&, const std::string& argument, const std::string&) {
    PortMessage(MsgSeverity::Error, "%s", argument.c_str());
  }

  static constexpr Row kRows[] = {
      {"include", WhenSkipping::kRecord, Include},  {"include_many", WhenSkipping::kRecord, IncludeMany},
      {"if", WhenSkipping::kProcess, If},           {"ifdef", WhenSkipping::kProcess, Ifdef},
      {"elif", WhenSkipping::kProcess, Elif},       {"elsif", WhenSkipping::kProcess, Elif},
      {"elseif", WhenSkipping::kProcess, Elif},     {"else", WhenSkipping::kProcess, Else},
      {"endif", WhenSkipping::kProcess, Endif},     {"define", WhenSkipping::kIgnore, Define},
      {"eval", WhenSkipping::kIgnore, Eval},        {"undef", WhenSkipping::kIgnore, Undef},
      {"info", WhenSkipping::kIgnore, Info},        {"echo", WhenSkipping::kIgnore, Info},
      {"warning", WhenSkipping::kIgnore, Warning},  {"error", WhenSkipping::kIgnore, Error},
  };
};

void simple_preprocessor::process_directive(const char* line_text) {
  std::string line = TrimTrailingBlanks(line_text ? line_text : "");
  include_pending_ = false;
  include_many_ = false;
  include_name_.clear();
  size_t at = 0;
  while (at < line.size() && ut_is_blank(line[at])) at++;
  if (at < line.size() && line[at] == kDirectiveChar) at++;
  while (at < line.size() && ut_is_blank(line[at])) at++;
  size_t name_end = at;
  while (name_end < line.size() && ut_is_ident_char(line[name_end])) name_end++;
  std::string name = line.substr(at, name_end - at);
  std::string argument = SkipLeadingBlanks(line.substr(name_end));
  for (const DirectiveHandlers::Row& row : DirectiveHandlers::kRows) {
    if (name != row.name) continue;
    if (row.when_skipping == WhenSkipping::kIgnore && is_skipping()) return;
    row.handler(*this, argument, line);
    return;
  }
  PortMessage(MsgSeverity::Error, "illegal directive: \"%s\"", line.c_str());
}

// ---- Functions of conditions ------------------------------------------------

struct PreprocessorFunctions {
  enum class Arity { kOne, kTwo, kTwoOrMore };
  using Function = int64_t (*)(simple_preprocessor& pp, int argc, const char* const* argv, bool skip);
  struct Row {
    const char* name;
    Arity arity;
    Function function;
  };

  static int64_t Defined(simple_preprocessor& pp, int, const char* const* argv, bool) {
    return pp.is_defined(argv[0]) ? 1 : 0;
  }

  static int64_t DefinedToVal(simple_preprocessor& pp, int, const char* const* argv, bool) {
    const char* text = pp.lookup(argv[0], false);
    uint64_t left, right;
    if (!text || !WholeNumber(text, &left) || !WholeNumber(argv[1], &right)) return 0;
    return left == right ? 1 : 0;
  }

  static int64_t Env(simple_preprocessor& pp, int, const char* const* argv, bool) {
    const ut_evaluator_callbacks* hooks = pp.callbacks_;
    if (!hooks || !hooks->get_value) return 0;
    return static_cast<int64_t>(LeadingNumber(hooks->get_value(hooks->caller_data, argv[0])));
  }

  static int64_t EvalCmd(simple_preprocessor& pp, int, const char* const* argv, bool) {
    const ut_evaluator_callbacks* hooks = pp.callbacks_;
    if (!hooks || !hooks->evaluate_command) return 0;
    return static_cast<int64_t>(LeadingNumber(hooks->evaluate_command(hooks->caller_data, argv[0])));
  }

  static int64_t FileExists(simple_preprocessor& pp, int, const char* const* argv, bool) {
    return PortFsCanRead(pp.rewrite_directory_macros(argv[0]).c_str()) ? 1 : 0;
  }

  static int64_t IsTrue(simple_preprocessor& pp, int, const char* const* argv, bool) {
    const char* text = pp.lookup(argv[0], false);
    return text && LeadingNumber(text) != 0 ? 1 : 0;
  }

  static int64_t NotEmpty(simple_preprocessor& pp, int, const char* const* argv, bool) {
    const char* text = pp.lookup(argv[0], false);
    return text && *text ? 1 : 0;
  }

  // The first macro's text against each later argument (a macro's text when
  // the argument names one, else the argument itself).
  static int64_t CompareText(simple_preprocessor& pp, int argc, const char* const* argv, bool skip,
                             bool (*matches)(const std::string& text, const std::string& other)) {
    const char* first = pp.lookup(argv[0], !skip);
    if (!first) return 0;
    std::string text = first;
    for (int i = 1; i < argc; i++) {
      const char* named = pp.lookup(argv[i], false);
      if (matches(text, named ? named : argv[i])) return 1;
    }
    return 0;
  }

  static bool Equal(const std::string& text, const std::string& other) { return text == other; }
  static bool Prefix(const std::string& text, const std::string& other) { return text.rfind(other, 0) == 0; }
  static bool Suffix(const std::string& text, const std::string& other) {
    return text.size() >= other.size() && text.compare(text.size() - other.size(), other.size(), other) == 0;
  }

  static int64_t StrEq(simple_preprocessor& pp, int argc, const char* const* argv, bool skip) {
    return CompareText(pp, argc, argv, skip, Equal);
  }
  static int64_t StrPrefix(simple_preprocessor& pp, int argc, const char* const* argv, bool skip) {
    return CompareText(pp, argc, argv, skip, Prefix);
  }
  static int64_t StrSuffix(simple_preprocessor& pp, int argc, const char* const* argv, bool skip) {
    return CompareText(pp, argc, argv, skip, Suffix);
  }

  static constexpr Row kRows[] = {
      {"defined", Arity::kOne, Defined},           {"definedtoval", Arity::kTwo, DefinedToVal},
      {"defined_to_val", Arity::kTwo, DefinedToVal}, {"env", Arity::kOne, Env},
      {"eval_cmd", Arity::kOne, EvalCmd},          {"fileexists", Arity::kOne, FileExists},
      {"file_exists", Arity::kOne, FileExists},    {"istrue", Arity::kOne, IsTrue},
      {"is_true", Arity::kOne, IsTrue},            {"notempty", Arity::kOne, NotEmpty},
      {"streq", Arity::kTwoOrMore, StrEq},         {"strpref", Arity::kTwoOrMore, StrPrefix},
      {"strprefix", Arity::kTwoOrMore, StrPrefix}, {"strsuffix", Arity::kTwoOrMore, StrSuffix},
  };
};

int64_t simple_preprocessor::call_function(const char* name, int argc, const char* const* argv, bool eval_skip) {
  using Arity = PreprocessorFunctions::Arity;
  for (const PreprocessorFunctions::Row& row : PreprocessorFunctions::kRows) {
    if (strcmp(name, row.name) != 0) continue;
    if ((row.arity == Arity::kOne && argc != 1) || (row.arity == Arity::kTwo && argc != 2)) {
      if (!eval_skip) PortMessage(MsgSeverity::Error, "too many arguments %s", name);
      return 0;
    }
    if (row.arity == Arity::kTwoOrMore && argc < 2) {
      if (!eval_skip) PortMessage(MsgSeverity::Error, "too few arguments %s", name);
      return 0;
    }
    return row.function(*this, argc, argv, eval_skip);
  }
  if (!eval_skip) PortMessage(MsgSeverity::Error, "unknown function: %s", name);
  return 0;
}
