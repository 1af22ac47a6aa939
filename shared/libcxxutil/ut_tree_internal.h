// ut_tree_internal: tree building shared by the attribute tree and the
// parser; not for other callers.
//
// Every function takes ownership of nothing: texts are copied.
#pragma once

#include "shared/libcxxutil/ut_file_parser.h"

// A new block, appended to parent's children (parent may be null for a root).
attr_block* tree_new_block(attr_database* db, attr_block* parent, const char* name);
// parent's child of that name, made when absent (the empty name included).
attr_block* tree_child(attr_block* parent, const char* name);
// Frees block, its children and its entries.
void tree_free_block(attr_block* block);
// A new entry at the end of block's array (kind int32, value 0).
attr_entry* tree_add_entry(attr_block* block, const char* name);
// The first entry of name with its value released, or a new one.
attr_entry* tree_entry_for_set(attr_block* block, const char* name);
// Appends to an entry of kind ATTR_INT32_LIST / ATTR_STR_LIST.
void tree_list_append_int32(attr_entry* entry, int32_t value);
void tree_list_append_str(attr_entry* entry, const char* text);
