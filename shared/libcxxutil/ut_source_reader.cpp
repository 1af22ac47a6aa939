// ut_source_reader: see ut_source_reader.h.
#include "shared/libcxxutil/ut_source_reader.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "shared/libcxxutil/ut_text.h"
#include "shared/port_fs.h"
#include "shared/port_msg.h"

namespace {

// Two-character operator tokens; every other punctuation character is a
// token by itself.
constexpr const char* kTwoCharTokens[] = {"&&", "||", "++", "--", "+=", "-=", "&=", "|=", "%=", "*=", "/=", "^="};

constexpr char kCommentChar = '#';

bool IsWordChar(char c) { return ut_is_ident_char(c) || c == '/'; }

bool IsLineSpace(char c) { return ut_is_blank(c) || c == '\f' || c == '\v'; }

// Characters that need a backslash to stay inside a quoted string.
bool NeedsEscape(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return c == '"' || c == '\\' || u < 0x20 || u == 0x7f;
}

// The "${NAME}" at text[pos]: NAME's end (the "}"), or npos without one.
size_t BracedNameEnd(const std::string& text, size_t pos) {
  if (text.compare(pos, 2, "${") != 0) return std::string::npos;
  return text.find('}', pos + 2);
}

}  // namespace

source_reader::source_reader(const macro_table* database_macros, const file_parser_callbacks* callbacks,
                             const ut_evaluator_callbacks* evaluator_callbacks)
    : preprocessor_(database_macros, evaluator_callbacks), callbacks_(callbacks) {
  token_.reserve(kTokenBufferMinCapacity);
}

source_reader::~source_reader() {
  while (!files_.empty()) CloseTop(false);
}

void source_reader::ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = PortFormatV(format, args);
  va_end(args);
  PortMessage(MsgSeverity::Error, "%s: error: %s", position().c_str(), text.c_str());
  error_ = true;
}

std::string source_reader::position() const {
  if (!files_.empty()) return "\"" + files_.back().path + "\", line " + std::to_string(files_.back().logical_line);
  if (top_level_.empty()) return std::string();
  return "\"" + top_level_ + "\", At end of source";
}

// ---- Files -------------------------------------------------------------------

bool source_reader::open(const char* path) {
  top_level_ = path ? path : "";
  return OpenPath(top_level_, true);
}

bool source_reader::OpenPath(const std::string& path, bool quiet) {
  if (files_.size() >= static_cast<size_t>(kMaxOpenFiles)) {
    ReportError("could not open \"%s\": more than %d files open (does a file include itself?)", path.c_str(),
                kMaxOpenFiles);
    return false;
  }
  if (opened_files_.size() >= static_cast<size_t>(kMaxFilesPerLoad)) {
    ReportError("could not open \"%s\": more than %d files opened by one load", path.c_str(), kMaxFilesPerLoad);
    return false;
  }
  int error_code = 0;
  FILE* stream = nullptr;
  if (callbacks_ && callbacks_->open_file)
    stream = callbacks_->open_file(callbacks_->caller_data, path.c_str(), "rb");
  else
    stream = PortFsOpen(path.c_str(), "rb", &error_code);
  if (!stream) {
    if (quiet) return false;
    if (PortFsShowReasonForFileOpenError() && error_code)
      ReportError("could not open \"%s\" %s", path.c_str(), PortFsOpenErrorReason(error_code).c_str());
    else
      ReportError("could not open \"%s\" ", path.c_str());
    return false;
  }
  files_.push_back(OpenFile{path, PortFsDirName(path), stream, 0, 0, {}});
  opened_files_.push_back(path);
  preprocessor_.define("__DIR__", files_.back().dir.c_str());
  return true;
}

// Closes the innermost file; the including file's directory becomes __DIR__
// again and (with open_pending) its pending %include_many files are opened in
// turn.
void source_reader::CloseTop(bool open_pending) {
  OpenFile& file = files_.back();
  fclose(file.stream);
  if (callbacks_ && callbacks_->file_closed) callbacks_->file_closed(callbacks_->caller_data, file.path.c_str());
  files_.pop_back();
  if (files_.empty() || !open_pending) return;
  preprocessor_.define("__DIR__", files_.back().dir.c_str());
  while (!files_.back().pending.empty()) {
    std::string next = files_.back().pending.front();
    files_.back().pending.erase(files_.back().pending.begin());
    if (OpenPath(next, false)) break;
  }
}

// One physical line without its end; false at the end of the file when
// nothing was read. "\r" ends a line and drops the byte after it.
bool source_reader::ReadPhysicalLine(OpenFile& file, std::string* line) {
  int c = fgetc(file.stream);
  if (c == EOF) return false;
  for (; c != EOF; c = fgetc(file.stream)) {
    if (c == '\n') break;
    if (c == '\r') {
      fgetc(file.stream);
      break;
    }
    *line += static_cast<char>(c);
  }
  file.lines_read++;
  return true;
}

bool source_reader::ReadLogicalLine(OpenFile& file, std::string* line) {
  line->clear();
  file.logical_line = file.lines_read + 1;
  if (!ReadPhysicalLine(file, line)) return false;
  while (!line->empty() && line->back() == '\\') {
    line->pop_back();
    if (!ReadPhysicalLine(file, line)) break;
  }
  return true;
}

// Loads the next line that carries text into the pending stack; directives
// and skipped lines are consumed on the way. False at the end of the input.
bool source_reader::ReadLine() {
  std::string line;
  while (!files_.empty()) {
    if (!ReadLogicalLine(files_.back(), &line)) {
      CloseTop(true);
      continue;
    }
    size_t start = 0;
    while (start < line.size() && IsLineSpace(line[start])) start++;
    if (!raw_ && start < line.size() && line[start] == simple_preprocessor::kDirectiveChar) {
      preprocessor_.process_directive(line.c_str() + start);
      HandleInclude();
      continue;
    }
    if (preprocessor_.is_skipping()) continue;
    pending_.push_back(PendingText{line.substr(start), 0, std::string(), false});
    return true;
  }
  return false;
}

void source_reader::HandleInclude() {
  if (preprocessor_.is_skipping() || files_.empty()) return;
  if (!preprocessor_.is_include() && !preprocessor_.is_include_many()) return;
  std::string name = preprocessor_.rewrite_directory_macros(preprocessor_.include_file_name());
  std::string path = PortFsJoin(files_.back().dir, name);
  if (preprocessor_.is_include_many()) {
    IncludeMany(path);
    return;
  }
  if (callbacks_ && callbacks_->allow_include &&
      !callbacks_->allow_include(callbacks_->caller_data, files_.back().path.c_str(), path.c_str(),
                                 static_cast<int>(files_.size())))
    return;
  OpenPath(path, false);
}

void source_reader::IncludeMany(const std::string& pattern) {
  std::string dir = PortFsDirName(pattern);
  std::string last = PortFsBaseName(pattern);
  if (last.compare(0, 2, "*.") != 0) {
    ReportError("Unsupported format for include_plisk");
    return;
  }
  std::string suffix = last.substr(1);
  std::vector<std::string> names;
  int error_code = 0;
  if (!PortFsListDir(dir.c_str(), &names, &error_code)) {
    if (PortFsShowReasonForFileOpenError() && error_code)
      ReportError("could not open directory \"%s\" %s", dir.c_str(), PortFsOpenErrorReason(error_code).c_str());
    else
      ReportError("could not open directory \"%s\" ", dir.c_str());
    return;
  }
  std::vector<std::string> matches;
  for (const std::string& name : names)
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      matches.push_back(name);
  std::sort(matches.begin(), matches.end());  // char_traits<char> compares bytes as unsigned
  std::vector<std::string>& pending = files_.back().pending;
  for (const std::string& name : matches) pending.push_back(PortFsJoin(dir, name));
  // The including file stays where it is until the list has been read.
  size_t depth = files_.size();
  while (files_.size() == depth && !files_.back().pending.empty()) {
    std::string next = files_.back().pending.front();
    files_.back().pending.erase(files_.back().pending.begin());
    OpenPath(next, false);
  }
}

// ---- Tokens --------------------------------------------------------------------

bool source_reader::OnChain(const std::string& name) const {
  for (const PendingText& text : pending_)
    if (!text.literal && text.macro == name) return true;
  return false;
}

// "${NAME}" where a token would start: a defined macro's text becomes the
// next pending text; an undefined (or recursive) one yields the token NAME.
void source_reader::ExpandAtTokenStart(PendingText& top) {
  size_t close = BracedNameEnd(top.text, top.pos);
  std::string name = top.text.substr(top.pos + 2, close - top.pos - 2);
  top.pos = close + 1;
  const char* text = preprocessor_.lookup(name, true);
  if (text && OnChain(name)) {
    ReportError("macro recursion detected for: \"%s\"", name.c_str());
    text = nullptr;
  }
  if (text)
    pending_.push_back(PendingText{text, 0, name, false});
  else
    pending_.push_back(PendingText{name, 0, std::string(), true});
}

bool source_reader::at_eol() {
  while (!pending_.empty()) {
    PendingText& top = pending_.back();
    while (top.pos < top.text.size() && IsLineSpace(top.text[top.pos])) top.pos++;
    if (top.pos >= top.text.size()) {
      pending_.pop_back();
      continue;
    }
    if (top.literal) return false;
    if (!raw_ && top.text[top.pos] == kCommentChar) {
      pending_.clear();
      break;
    }
    if (BracedNameEnd(top.text, top.pos) != std::string::npos) {
      ExpandAtTokenStart(top);
      continue;
    }
    return false;
  }
  return true;
}

void source_reader::skip_to_eol() { pending_.clear(); }

const char* source_reader::next_token() {
  while (at_eol())
    if (!ReadLine()) return nullptr;
  token_.clear();
  PendingText& top = pending_.back();
  if (top.literal) {
    token_ = top.text;
    pending_.pop_back();
    return token_.c_str();
  }
  CutToken(top);
  return token_.c_str();
}

void source_reader::CutToken(PendingText& top) {
  const std::string& text = top.text;
  size_t start = top.pos;
  char first = text[start];
  if (first == '"') {
    CutQuoted(top);
    return;
  }
  size_t end = start + 1;
  if (IsWordChar(first) && first != '/') {
    while (end < text.size() && IsWordChar(text[end])) end++;
  } else {
    for (const char* pair : kTwoCharTokens)
      if (text.compare(start, 2, pair) == 0) end = start + 2;
  }
  token_.assign(text, start, end - start);
  top.pos = end;
}

// Appends a macro's text inside a quoted string: names of macros are replaced
// by their texts, "${NAME}" is expanded, numbers are copied, and characters
// that would end or break the string get a backslash.
void source_reader::AppendMacroText(const std::string& text, std::vector<std::string>& chain) {
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    size_t close = BracedNameEnd(text, i);
    if (close != std::string::npos) {
      std::string name = text.substr(i + 2, close - i - 2);
      i = close + 1;
      if (!ExpandInString(name, true, chain)) token_ += name;
    } else if (ut_is_ident_start(c)) {
      size_t end = i;
      while (end < text.size() && ut_is_ident_char(text[end])) end++;
      std::string name = text.substr(i, end - i);
      i = end;
      if (!preprocessor_.is_defined(name) || !ExpandInString(name, false, chain)) token_ += name;
    } else if (ut_is_digit(c)) {
      size_t end = i;
      while (end < text.size() && ut_is_ident_char(text[end])) end++;
      token_.append(text, i, end - i);
      i = end;
    } else {
      if (NeedsEscape(c)) token_ += '\\';
      token_ += c;
      i++;
    }
  }
}

// Expands macro name inside a quoted string; false when it is undefined or
// recursive (the caller then keeps its own text). braces: "${NAME}" form,
// which reports an undefined name.
bool source_reader::ExpandInString(const std::string& name, bool braces, std::vector<std::string>& chain) {
  const char* text = preprocessor_.lookup(name, braces);
  if (!text) return false;
  if (OnChain(name) || std::find(chain.begin(), chain.end(), name) != chain.end()) {
    ReportError("macro recursion detected for: \"%s\"", name.c_str());
    return false;
  }
  std::string own = text;  // the table may change while the text is scanned
  chain.push_back(name);
  AppendMacroText(own, chain);
  chain.pop_back();
  return true;
}

// A quoted token up to its closing quote or the end of the pending text,
// with "$NAME" and "${NAME}" expanded in place.
void source_reader::CutQuoted(PendingText& top) {
  // Expansion here only reads the macro tables; the pending stack stays put.
  const std::string& text = top.text;
  size_t i = top.pos;
  token_ += text[i++];
  std::vector<std::string> chain;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      token_ += c;
      i++;
      break;
    }
    if (c == '\\' && i + 1 < text.size()) {
      token_.append(text, i, 2);
      i += 2;
      continue;
    }
    size_t close = BracedNameEnd(text, i);
    if (close != std::string::npos) {
      std::string name = text.substr(i + 2, close - i - 2);
      i = close + 1;
      if (!ExpandInString(name, true, chain)) token_ += name;
      continue;
    }
    if (c == '$' && i + 1 < text.size() && ut_is_ident_start(text[i + 1])) {
      size_t end = i + 1;
      while (end < text.size() && ut_is_ident_char(text[end])) end++;
      std::string name = text.substr(i + 1, end - i - 1);
      if (!ExpandInString(name, false, chain)) token_.append(text, i, end - i);
      i = end;
      continue;
    }
    token_ += c;
    i++;
  }
  top.pos = i;
}

bool source_reader::accept(const char* literal) {
  while (at_eol())
    if (!ReadLine()) return false;
  PendingText& top = pending_.back();
  size_t length = strlen(literal);
  if (top.literal || top.text.compare(top.pos, length, literal) != 0) return false;
  top.pos += length;
  return true;
}

// ---- Raw mode ------------------------------------------------------------------

bool source_reader::enter_raw_mode() {
  if (raw_) {
    ReportError("Already in raw mode");
    return false;
  }
  if (!at_eol()) {
    ReportError("Must be at eol to switch to raw mode");
    return false;
  }
  raw_ = true;
  return true;
}

bool source_reader::leave_raw_mode() {
  if (!raw_) {
    ReportError("Not in raw mode");
    return false;
  }
  raw_ = false;
  return true;
}
