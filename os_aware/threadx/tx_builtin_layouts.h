// tx_builtin_layouts: the frame layouts the plugin knows without a database.
//
// A CPU is named by the debugger's major and minor CPU type numbers. The
// table's rows are tried in order and the first match wins; a row whose
// minor is kAnyMinor matches every minor of its major. The layouts are
// static and shared: callers borrow them and never change or free them.
#pragma once

#include <cstdint>

#include "os_aware/threadx/tx_register_layout.h"

constexpr int16_t kAnyMinor = -1;

enum class BuiltinLayoutId : uint8_t { A, B, C, D, E, F, G, H, I, J, K, L, kCount };

struct BuiltinLayoutRow {
  int16_t cpumajor;
  int16_t cpuminor;  // kAnyMinor: every minor
  BuiltinLayoutId layout;
};

// The layout of the first row that matches, or null. Borrowed.
RegisterLayout* TxBuiltinLayoutFor(int16_t cpumajor, int16_t cpuminor);

// One built-in layout by name. Borrowed.
RegisterLayout* TxBuiltinLayout(BuiltinLayoutId id);

// The rows in matching order, for listings and checks.
const BuiltinLayoutRow* TxBuiltinLayoutRows(int* count);
