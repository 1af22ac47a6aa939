// ut_preprocessor: the directive processor behind the source reader.
//
// simple_preprocessor keeps the macros of one load, the stack of open
// conditionals and the include named by the last directive. It answers the
// integer evaluator's names and functions, so conditions see the same macros
// as the text. Directives are looked up in a table; each row says what
// happens to the directive inside a false conditional.
//
// Macros are looked up in the local table (this load's definitions), then in
// the database's table (predefined and kept macros), then through the
// optional evaluator callbacks. %undef touches only the local table, so the
// predefined macros cannot be removed.
//
// Limits: directory-macro rewriting stops at kMaxRewriteDepth nested macro
// texts and kMaxRewriteSubstitutions replacements, so that macros naming
// each other end in a report rather than a hang.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_int_eval.h"

constexpr int kMaxRewriteDepth = 32;
constexpr int kMaxRewriteSubstitutions = 1024;

// Names to texts; defining an existing name replaces its text; a text may be
// empty. find returns a pointer into the table, valid until that name is
// defined again or removed.
struct macro_table {
  std::map<std::string, std::string> macros;

  const char* find(const std::string& name) const;
  void define(const std::string& name, const std::string& text);
  bool undefine(const std::string& name);
};

// Optional hooks for names the tables do not hold and for "eval_cmd"; every
// member may be null. Returned texts stay owned by the hook's caller data.
struct ut_evaluator_callbacks {
  void* caller_data;
  bool (*is_defined)(void* caller_data, const char* name);
  const char* (*get_value)(void* caller_data, const char* name);
  const char* (*evaluate_command)(void* caller_data, const char* command);
};

class ut_simple_preprocessor_interface {
 public:
  virtual ~ut_simple_preprocessor_interface() = default;
  // Defines name in the local table.
  virtual void define(const char* name, const char* text) = 0;
  // Processes one logical line that starts with the directive character.
  virtual void process_directive(const char* line) = 0;
  // True while the innermost conditional is not active.
  virtual bool is_skipping() const = 0;
  // The include set by the last directive, if any (cleared by the next one).
  virtual bool is_include() const = 0;
  virtual bool is_include_many() const = 0;
  virtual const char* include_file_name() const = 0;
  // A macro's text, or null when undefined ("macro not defined(%s) ..." when
  // report_if_undefined). The text stays owned by the preprocessor.
  virtual const char* lookup(const char* name, bool report_if_undefined) = 0;
  virtual const char* lookup(const std::string& name, bool report_if_undefined) = 0;
  // The local table, borrowed (copied by the database for keep_macros).
  virtual const macro_table& local_table() const = 0;
};

// One open %if/%ifdef. active = taken and the enclosing frame active.
struct cond_frame {
  bool taken;
  bool active;
  bool any_taken;
  bool else_seen;
  std::string line;  // the opening directive line, for the unclosed report
};

struct DirectiveHandlers;
struct PreprocessorFunctions;

class simple_preprocessor : public ut_simple_preprocessor_interface,
                            public ut_simple_integer_evaluator_client_interface {
 public:
  static constexpr char kDirectiveChar = '%';

  // database_macros (borrowed, may be null) holds the predefined macros;
  // callbacks (borrowed, may be null) answer names the tables do not hold.
  simple_preprocessor(const macro_table* database_macros, const ut_evaluator_callbacks* callbacks);
  // Reports the innermost conditional left open.
  ~simple_preprocessor() override;
  simple_preprocessor(const simple_preprocessor&) = delete;
  simple_preprocessor& operator=(const simple_preprocessor&) = delete;

  void define(const char* name, const char* text) override;
  void process_directive(const char* line) override;
  bool is_skipping() const override;
  bool is_include() const override { return include_pending_ && !include_many_; }
  bool is_include_many() const override { return include_pending_ && include_many_; }
  const char* include_file_name() const override { return include_pending_ ? include_name_.c_str() : nullptr; }
  const char* lookup(const char* name, bool report_if_undefined) override;
  const char* lookup(const std::string& name, bool report_if_undefined) override;
  const macro_table& local_table() const override { return local_; }

  // Evaluator client.
  const char* lookup_name(const char* name, bool report_if_undefined) override;
  int64_t call_function(const char* name, int argc, const char* const* argv, bool eval_skip) override;

  // True when a table or the callbacks know name (never reports).
  bool is_defined(const std::string& name);

  // Removes name from the local table.
  void undefine(const std::string& name) { local_.undefine(name); }

  // Replaces the directory macros of an include or file name (see the .cpp).
  std::string rewrite_directory_macros(const std::string& name);

  // Number of open conditionals.
  size_t open_frames() const { return frames_.size(); }

 private:
  friend struct DirectiveHandlers;
  friend struct PreprocessorFunctions;
  struct RewriteState;

  std::string Rewrite(const std::string& text, RewriteState& state);
  const char* QuietLookup(const std::string& name);
  bool EnclosingActive() const;

  macro_table local_;
  const macro_table* database_macros_;
  const ut_evaluator_callbacks* callbacks_;
  std::vector<cond_frame> frames_;
  bool include_pending_ = false;
  bool include_many_ = false;
  std::string include_name_;
};
