// ut_attr_tree: blocks, entries and the typed look-ups of ut_file_parser.h.
//
// An entry's value is released by FreeValue before its kind changes, so a
// kind and its union member always agree. Attribute arrays grow by one entry
// at a time (blocks hold few attributes); children are found through the
// block's ordered child index.
#include <cstring>

#include "shared/libcxxutil/ut_file_parser.h"
#include "shared/libcxxutil/ut_text.h"
#include "shared/libcxxutil/ut_tree_internal.h"
#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

constexpr const char* kKindNames[] = {"str", "int32", "str_list", "int32_list", "int64"};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) == ATTR_KIND_COUNT, "one type name per attr_kind");

// Words a "str" attribute may hold to read as true.
constexpr const char* kTrueWords[] = {"yes", "on", "1", "true"};

bool EqualIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

void FreeValue(attr_entry& entry) {
  switch (entry.kind) {
    case ATTR_STR:
      PortFree(entry.value.str);
      break;
    case ATTR_STR_LIST:
      for (attr_str_node* node = entry.value.str_list.head; node;) {
        attr_str_node* next = node->next;
        PortFree(node->value);
        PortFree(node);
        node = next;
      }
      break;
    case ATTR_INT32_LIST:
      for (attr_int32_node* node = entry.value.int32_list.head; node;) {
        attr_int32_node* next = node->next;
        PortFree(node);
        node = next;
      }
      break;
    default:
      break;
  }
  memset(&entry.value, 0, sizeof entry.value);
}

attr_entry* FindEntry(const attr_block* block, const char* name) {
  if (!block || !name) return nullptr;
  for (int i = 0; i < block->attr_count; i++)
    if (strcmp(block->attrs[i].name, name) == 0) return &block->attrs[i];
  return nullptr;
}

// The first entry of name emptied for a new value, or a new one at the end.
attr_entry* EntryForSet(attr_block* block, const char* name) {
  attr_entry* entry = FindEntry(block, name);
  if (!entry) return tree_add_entry(block, name);
  FreeValue(*entry);
  return entry;
}

void ReportMissing(attr_block* block, attr_kind kind, const char* name) {
  block->required_missing = true;
  PortMessage(MsgSeverity::Warning, "\"%s\": is missing required %s attribute \"%s\"", block_path(block).c_str(),
              attr_kind_name(kind), name);
}

attr_block* NextVisible(attr_block* block, bool skip_hidden) {
  while (block && skip_hidden && block->hidden) block = block->next_sibling;
  return block;
}

}  // namespace

const char* attr_kind_name(attr_kind kind) { return kind < ATTR_KIND_COUNT ? kKindNames[kind] : "?"; }

// ---- Tree building (shared with the parser) --------------------------------------

attr_block* tree_new_block(attr_database* db, attr_block* parent, const char* name) {
  attr_block* block = new attr_block();
  block->name = PortStrdup(name ? name : "");
  block->parent = parent;
  block->database = db;
  if (parent) {
    if (parent->last_child)
      parent->last_child->next_sibling = block;
    else
      parent->first_child = block;
    parent->last_child = block;
    parent->child_index[block->name] = block;
  }
  return block;
}

attr_block* tree_child(attr_block* parent, const char* name) {
  // Unlike block_find_child, the empty name is a child like any other here.
  auto found = parent->child_index.find(name);
  if (found != parent->child_index.end()) return found->second;
  return tree_new_block(parent->database, parent, name);
}

void tree_free_block(attr_block* block) {
  for (attr_block* child = block->first_child; child;) {
    attr_block* next = child->next_sibling;
    tree_free_block(child);
    child = next;
  }
  for (int i = 0; i < block->attr_count; i++) {
    FreeValue(block->attrs[i]);
    PortFree(block->attrs[i].name);
  }
  PortFree(block->attrs);
  PortFree(block->name);
  delete block;
}

attr_entry* tree_add_entry(attr_block* block, const char* name) {
  block->attrs = static_cast<attr_entry*>(
      PortRealloc(block->attrs, sizeof(attr_entry) * static_cast<size_t>(block->attr_count + 1)));
  attr_entry* entry = &block->attrs[block->attr_count++];
  memset(entry, 0, sizeof *entry);
  entry->kind = ATTR_INT32;
  entry->name = PortStrdup(name);
  return entry;
}

attr_entry* tree_entry_for_set(attr_block* block, const char* name) { return EntryForSet(block, name); }

void tree_list_append_int32(attr_entry* entry, int32_t value) {
  attr_int32_node* node = static_cast<attr_int32_node*>(PortAlloc(sizeof(attr_int32_node)));
  node->next = nullptr;
  node->value = value;
  if (entry->value.int32_list.tail)
    entry->value.int32_list.tail->next = node;
  else
    entry->value.int32_list.head = node;
  entry->value.int32_list.tail = node;
}

void tree_list_append_str(attr_entry* entry, const char* text) {
  attr_str_node* node = static_cast<attr_str_node*>(PortAlloc(sizeof(attr_str_node)));
  node->next = nullptr;
  node->value = PortStrdup(text);
  if (entry->value.str_list.tail)
    entry->value.str_list.tail->next = node;
  else
    entry->value.str_list.head = node;
  entry->value.str_list.tail = node;
}

// ---- Blocks ------------------------------------------------------------------------

attr_block* block_find_child(const attr_block* block, const char* name) {
  if (!block || !name || !*name) return nullptr;
  auto found = block->child_index.find(name);
  return found == block->child_index.end() ? nullptr : found->second;
}

attr_block* block_first_child(const attr_block* block, bool skip_hidden) {
  return block ? NextVisible(block->first_child, skip_hidden) : nullptr;
}

attr_block* block_next_sibling(const attr_block* block, bool skip_hidden) {
  return block ? NextVisible(block->next_sibling, skip_hidden) : nullptr;
}

std::string block_path(const attr_block* block) {
  std::string path;
  for (const attr_block* at = block; at && !at->root; at = at->parent)
    path = path.empty() ? std::string(at->name) : std::string(at->name) + "." + path;
  if (block && block->database && block->database->files.size() == 1)
    path = block->database->files[0] + ":" + path;
  return path;
}

// ---- Look-ups ------------------------------------------------------------------------

const attr_entry* block_find_entry(const attr_block* block, const char* name) { return FindEntry(block, name); }

const char* find_str(const attr_block* block, const char* name, const char* default_value) {
  const attr_entry* entry = FindEntry(block, name);
  return entry && entry->kind == ATTR_STR ? entry->value.str : default_value;
}

const char* get_str(attr_block* block, const char* name, const char* default_value) {
  const attr_entry* entry = FindEntry(block, name);
  if (entry && entry->kind == ATTR_STR) return entry->value.str;
  if (block) ReportMissing(block, ATTR_STR, name);
  return default_value;
}

int32_t find_int32(const attr_block* block, const char* name, int32_t default_value) {
  const attr_entry* entry = FindEntry(block, name);
  return entry && entry->kind == ATTR_INT32 ? entry->value.int32 : default_value;
}

int32_t get_int32(attr_block* block, const char* name, int32_t default_value) {
  const attr_entry* entry = FindEntry(block, name);
  if (entry && entry->kind == ATTR_INT32) return entry->value.int32;
  if (block) ReportMissing(block, ATTR_INT32, name);
  return default_value;
}

namespace {

bool Int64Of(const attr_entry* entry, bool zero_extend, int64_t* value) {
  if (!entry) return false;
  if (entry->kind == ATTR_INT64) {
    *value = entry->value.int64;
    return true;
  }
  if (entry->kind != ATTR_INT32) return false;
  *value = zero_extend ? static_cast<int64_t>(static_cast<uint32_t>(entry->value.int32)) : entry->value.int32;
  return true;
}

}  // namespace

int64_t find_int64(const attr_block* block, const char* name, int64_t default_value, bool zero_extend) {
  int64_t value;
  return Int64Of(FindEntry(block, name), zero_extend, &value) ? value : default_value;
}

int64_t get_int64(attr_block* block, const char* name, int64_t default_value, bool zero_extend) {
  int64_t value;
  if (Int64Of(FindEntry(block, name), zero_extend, &value)) return value;
  if (block) ReportMissing(block, ATTR_INT64, name);
  return default_value;
}

bool find_bool(const attr_block* block, const char* name, bool default_value) {
  const attr_entry* entry = FindEntry(block, name);
  if (!entry) return default_value;
  if (entry->kind == ATTR_INT32) return entry->value.int32 != 0;
  if (entry->kind != ATTR_STR) return default_value;
  const char* text = entry->value.str;
  while (ut_is_blank(*text)) text++;
  for (const char* word : kTrueWords)
    if (EqualIgnoringCase(text, word)) return true;
  return false;
}

const attr_int32_node* find_int32_list(const attr_block* block, const char* name) {
  const attr_entry* entry = FindEntry(block, name);
  return entry && entry->kind == ATTR_INT32_LIST ? entry->value.int32_list.head : nullptr;
}

const attr_str_node* find_str_list(const attr_block* block, const char* name) {
  const attr_entry* entry = FindEntry(block, name);
  return entry && entry->kind == ATTR_STR_LIST ? entry->value.str_list.head : nullptr;
}

int32_t get_child_int32(attr_block* block, const char* child_name, const char* name, int32_t default_value) {
  attr_block* child = block_find_child(block, child_name);
  return child ? get_int32(child, name, default_value) : default_value;
}

// ---- Changes ------------------------------------------------------------------------

void block_set_str(attr_block* block, const char* name, const char* text) {
  attr_entry* entry = EntryForSet(block, name);
  entry->kind = ATTR_STR;
  entry->value.str = PortStrdup(text ? text : "");
}

void block_set_int32(attr_block* block, const char* name, int32_t value) {
  attr_entry* entry = EntryForSet(block, name);
  entry->kind = ATTR_INT32;
  entry->value.int32 = value;
}

void block_set_int64(attr_block* block, const char* name, int64_t value) {
  attr_entry* entry = EntryForSet(block, name);
  entry->kind = ATTR_INT64;
  entry->value.int64 = value;
}

void block_append_str(attr_block* block, const char* name, const char* text) {
  attr_entry* entry = FindEntry(block, name);
  if (!entry || entry->kind != ATTR_STR) {
    block_set_str(block, name, text);
    return;
  }
  size_t old_length = strlen(entry->value.str);
  size_t add_length = strlen(text ? text : "");
  entry->value.str = static_cast<char*>(PortRealloc(entry->value.str, old_length + add_length + 1));
  memcpy(entry->value.str + old_length, text ? text : "", add_length + 1);
}

bool block_remove(attr_block* block, const char* name) {
  attr_entry* entry = FindEntry(block, name);
  if (!entry) return false;
  FreeValue(*entry);
  PortFree(entry->name);
  size_t index = static_cast<size_t>(entry - block->attrs);
  memmove(entry, entry + 1, sizeof(attr_entry) * (static_cast<size_t>(block->attr_count) - index - 1));
  block->attr_count--;
  return true;
}
