// ut_source_reader: turns an attribute file and the files it includes into
// tokens for the parser.
//
// The reader joins continued lines, hands directive lines to the
// simple_preprocessor, drops lines inside false conditionals, opens included
// files, and expands macros while it cuts tokens. Pending texts form a stack:
// the unread rest of the current line at the bottom and, above it, the texts
// of macros being expanded, each under its macro's name. That stack is also
// the recursion chain, so a macro that expands to itself is reported instead
// of followed.
//
// Limits: at most kMaxOpenFiles files are open at once (a file that includes
// itself, directly or through others, ends with an error instead of
// recursing), and one load opens at most kMaxFilesPerLoad files. Tokens
// live in a buffer that grows with them: macro expansion inside a quoted
// string may make a token longer than its line.
//
// Errors are written "<position>: error: <text>" at error severity and set
// the error flag; none stops reading.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_preprocessor.h"

// Most files open at once: the top-level file and its nested includes.
constexpr int kMaxOpenFiles = 32;

// Most files one load may open in all. The depth bound alone does not stop
// a file that includes itself (or the next level) twice: that opens 2^32
// files. Real databases open a few dozen.
constexpr int kMaxFilesPerLoad = 1024;

// Initial capacity of the token buffer; it grows when a token needs more.
constexpr size_t kTokenBufferMinCapacity = 16000;

// Hooks of the caller that loads files; every member may be null.
struct file_parser_callbacks {
  void* caller_data;
  // Opens path in place of the plain open; the reader closes the stream
  // with fclose.
  FILE* (*open_file)(void* caller_data, const char* path, const char* mode);
  // Told after a file has been closed.
  void (*file_closed)(void* caller_data, const char* path);
  // Asked before a file is included (and before a load); false refuses it.
  bool (*allow_include)(void* caller_data, const char* including_file, const char* include_path, int open_depth);
};

class source_reader {
 public:
  // database_macros, callbacks and evaluator_callbacks are borrowed and may
  // be null.
  source_reader(const macro_table* database_macros, const file_parser_callbacks* callbacks,
                const ut_evaluator_callbacks* evaluator_callbacks);
  ~source_reader();
  source_reader(const source_reader&) = delete;
  source_reader& operator=(const source_reader&) = delete;

  // Opens the top-level file, quietly: false (and no message) when it cannot
  // be opened.
  bool open(const char* path);

  // The next token, reading further lines as needed; null at the end of the
  // input. Borrowed: valid until the next call.
  const char* next_token();
  // Length of the token last returned.
  size_t token_length() const { return token_.size(); }

  // True when the current line holds no further token.
  bool at_eol();
  // Drops the rest of the current line.
  void skip_to_eol();
  // After blanks (and line ends), takes literal if the text continues with
  // it.
  bool accept(const char* literal);

  // "\"file\", line N" while a file is open, "\"file\", At end of source"
  // once the input is used up, empty before anything was opened.
  std::string position() const;

  // In raw mode "#" and "%" are ordinary characters. Entered only at a line
  // end.
  bool enter_raw_mode();
  bool leave_raw_mode();

  bool error() const { return error_; }
  // Every file opened, in opening order.
  const std::vector<std::string>& opened_files() const { return opened_files_; }
  simple_preprocessor& preprocessor() { return preprocessor_; }

 private:
  struct OpenFile {
    std::string path;
    std::string dir;
    FILE* stream;
    int lines_read;
    int logical_line;                   // first physical line of the current logical line
    std::vector<std::string> pending;   // further %include_many files, in order
  };
  struct PendingText {
    std::string text;
    size_t pos;
    std::string macro;  // name of the macro whose text this is; empty for the line
    bool literal;       // yields its whole text as one token
  };

  void ReportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool OpenPath(const std::string& path, bool quiet);
  void CloseTop(bool open_pending);
  bool ReadPhysicalLine(OpenFile& file, std::string* line);
  bool ReadLogicalLine(OpenFile& file, std::string* line);
  bool ReadLine();
  void HandleInclude();
  void IncludeMany(const std::string& pattern);
  bool OnChain(const std::string& name) const;
  void ExpandAtTokenStart(PendingText& top);
  void CutToken(PendingText& top);
  void CutQuoted(PendingText& top);
  void AppendMacroText(const std::string& text, std::vector<std::string>& chain);
  bool ExpandInString(const std::string& name, bool braces, std::vector<std::string>& chain);

  simple_preprocessor preprocessor_;
  const file_parser_callbacks* callbacks_;
  std::vector<OpenFile> files_;  // innermost last
  std::vector<PendingText> pending_;
  std::vector<std::string> opened_files_;
  std::string top_level_;
  std::string token_;
  bool raw_ = false;
  bool error_ = false;
};
