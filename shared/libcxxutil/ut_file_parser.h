// ut_file_parser: attribute files read into a tree of named blocks holding
// typed attributes, and typed look-ups on that tree.
//
// A file is a sequence of statements over tokens from the source_reader
// (which has already obeyed directives and expanded macros):
//   name = value      set (replace)          name += value   add / append
//   a.b.name = value  path into child blocks (for the rest of the line)
//   name {  ...  }    enter a child block    ;               ignored
// Values are quoted strings, booleans (yes/no/on/off/true/false), numbers
// (with "-", and K/M size suffixes when size_suffixes is on) and lists
// "{ a, b }" of strings or, with int_lists on, of 32-bit integers. A block
// named twice is the same block: later statements add to it, also across
// files and loads.
//
// Ownership: the database owns every block, entry, text and list node;
// getters return pointers into the tree that stay valid until that attribute
// changes or the database is destroyed. Entries keep their order of first
// definition; look-ups answer with the first entry of a name.
//
// Parse errors are written "<position>: parse error: <text>" at error
// severity and stop the load; what was read before stays in the tree. A
// failed required look-up warns
//   "<path>": is missing required <type> attribute "<name>"
// and answers the caller's default.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_preprocessor.h"
#include "shared/libcxxutil/ut_source_reader.h"

enum attr_kind : uint8_t {
  ATTR_STR = 0,
  ATTR_INT32 = 1,
  ATTR_STR_LIST = 2,
  ATTR_INT32_LIST = 3,
  ATTR_INT64 = 4,
  ATTR_KIND_COUNT
};

// Type name of a kind, as used in messages ("str", "int32", ...).
const char* attr_kind_name(attr_kind kind);

struct attr_str_node {
  attr_str_node* next;
  char* value;  // owned
};

struct attr_int32_node {
  attr_int32_node* next;
  int32_t value;
};

struct attr_entry {
  attr_kind kind;
  char* name;  // owned
  union {
    char* str;  // ATTR_STR, owned
    int32_t int32;
    int64_t int64;
    struct {
      attr_str_node* head;
      attr_str_node* tail;
    } str_list;
    struct {
      attr_int32_node* head;
      attr_int32_node* tail;
    } int32_list;
  } value;
};

struct attr_database;

struct attr_block {
  char* name;  // owned; empty for the root
  attr_block* parent;
  attr_block* next_sibling;
  attr_block* first_child;  // children in creation order
  attr_block* last_child;
  bool open;              // inside its braces while parsing
  bool hidden;            // left out of child walks that skip hidden blocks
  bool required_missing;  // a required look-up failed
  bool root;
  attr_entry* attrs;  // grows by one entry per addition
  int attr_count;
  std::map<std::string, attr_block*> child_index;
  attr_database* database;
};

struct attr_database {
  attr_block* root;
  char* name;                   // owned copy
  macro_table macros;           // predefined and kept macros
  std::vector<std::string> files;  // every file opened by the loads, in order
  file_parser_callbacks* callbacks;  // may be null
  bool owns_callbacks;               // then freed with PortFree at destroy
  const ut_evaluator_callbacks* evaluator_callbacks;  // may be null, borrowed
  bool file_open_failed;
  bool parse_error;
  bool raw_values;
  bool size_suffixes;
  bool int_lists;
  bool keep_macros;
};

// ---- Database ----------------------------------------------------------------

// Makes an empty tree named name and defines the predefined macros (on a new
// or destroyed database). callbacks may be null; with owns_callbacks the
// database frees them (PortFree).
void attr_database_init(attr_database* db, const char* name, file_parser_callbacks* callbacks, bool owns_callbacks);
void attr_database_set_int_lists(attr_database* db, bool on);
void attr_database_set_raw_values(attr_database* db, bool on);
void attr_database_set_size_suffixes(attr_database* db, bool on);
void attr_database_set_keep_macros(attr_database* db, bool on);
// Borrowed hooks for names the macro tables do not hold and for "eval_cmd".
void attr_database_set_evaluator_callbacks(attr_database* db, const ut_evaluator_callbacks* callbacks);

// Parses path (with its includes) into the tree. False when the file cannot
// be opened (quietly: only file_open_failed is set), when a parse error
// stopped the load, or when the reader reported an error (an include that
// could not be opened, a macro recursion).
bool attr_database_load(attr_database* db, const char* path);

// Loads relative_path from the site defaults configuration directory, the
// installed data directory, the installation configuration directory and
// user_config_dir (null or empty: left out), in that order, into the same
// tree: later files override values and extend lists and blocks. Missing files are passed over silently. False
// when a file that exists failed to load.
bool attr_database_load_config(attr_database* db, const char* relative_path, const char* user_config_dir);

// Frees the tree, the tables and (when owned) the callbacks.
void attr_database_destroy(attr_database* db);

// ---- Blocks ------------------------------------------------------------------

// The child named name, or null (also for a null or empty name).
attr_block* block_find_child(const attr_block* block, const char* name);
// Children in creation order; with skip_hidden, hidden blocks are passed over.
attr_block* block_first_child(const attr_block* block, bool skip_hidden);
attr_block* block_next_sibling(const attr_block* block, bool skip_hidden);
// "name.child" path from the top-level block down, preceded by "file:" when
// the database holds exactly one file.
std::string block_path(const attr_block* block);

// ---- Look-ups ------------------------------------------------------------------
// get_*: required; a missing attribute (or one of another kind) sets the
// block's required_missing flag, warns and gives the default.
// find_*: optional; the default, silently.

const attr_entry* block_find_entry(const attr_block* block, const char* name);

const char* get_str(attr_block* block, const char* name, const char* default_value);
const char* find_str(const attr_block* block, const char* name, const char* default_value);
int32_t get_int32(attr_block* block, const char* name, int32_t default_value);
int32_t find_int32(const attr_block* block, const char* name, int32_t default_value);
// int64 values, or int32 ones widened (sign-extended unless zero_extend).
int64_t get_int64(attr_block* block, const char* name, int64_t default_value, bool zero_extend);
int64_t find_int64(const attr_block* block, const char* name, int64_t default_value, bool zero_extend);
// int32 non-zero, or a "str" that reads yes, on, 1 or true (any case).
bool find_bool(const attr_block* block, const char* name, bool default_value);
const attr_int32_node* find_int32_list(const attr_block* block, const char* name);
const attr_str_node* find_str_list(const attr_block* block, const char* name);
// get_int32 on the named child; the default, silently, if there is no child.
int32_t get_child_int32(attr_block* block, const char* child_name, const char* name, int32_t default_value);

// ---- Changes --------------------------------------------------------------------
// set_*: replace the first entry of that name (kind and value), or add one at
// the end. append_str: add text to an existing "str", else set it.

void block_set_str(attr_block* block, const char* name, const char* text);
void block_set_int32(attr_block* block, const char* name, int32_t value);
void block_set_int64(attr_block* block, const char* name, int64_t value);
void block_append_str(attr_block* block, const char* name, const char* text);
// Removes the first entry of that name; the entries behind it move up.
bool block_remove(attr_block* block, const char* name);
