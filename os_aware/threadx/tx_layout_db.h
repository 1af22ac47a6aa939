// tx_layout_db: the register-layout database "threadx_fm.odb" and the search
// of its CPU entries.
//
// The database is loaded once per process, at the first use, from the
// subdirectory "os_aware" of the site defaults, the installation
// configuration and the user configuration directory (the last one asked of
// the host), in that order, into one tree named "threadx registers" with
// integer lists on. Later files override and extend earlier ones; missing
// files are passed over. The tree lives until the process ends.
//
// CPU entries are the child blocks of the top-level block
// "threadx_vusk_cpu", tried in order. An entry matches when its cpumajor
// equals the CPU's and its cpuminor is absent, 255 or -1, equal to the
// CPU's, or a list holding -1 or the CPU's minor.
#pragma once

#include <cstdint>

#include "os_aware/threadx/tx_bridge.h"

struct attr_block;
struct ThreadxTargetState;

// The loaded tree's root (loading it on the first call).
attr_block* TxLayoutDatabaseRoot(BridgeContext* bc);

// The first CPU entry after `after` (null: from the start) that matches the
// CPU, or null.
attr_block* TxLayoutNextCpuEntry(BridgeContext* bc, attr_block* after, int32_t cpumajor, int32_t cpuminor);

// Selection without a target record: loads the database and looks for an
// entry of the CPU. True when there is one; that is also remembered
// (TxLayoutDatabaseKnowsCpu) for later selections.
bool TxLayoutDatabaseProbe(BridgeContext* bc, int32_t cpumajor, int32_t cpuminor);
bool TxLayoutDatabaseKnowsCpu();

// Chooses a target record's layouts for its CPU: the kernel's build
// options are settled first (SymbolLookup "_tx_build_options", then
// "(int)_tx_thread_created_count" and "(int)_tx_build_options"); while they
// stay open, a CPU the database knows gets no layout yet. Otherwise the
// database's first fitting entry, else the built-in table. The record's
// earlier layouts are freed; with none found it keeps none.
void TxLayoutSelectForTarget(BridgeContext* bc, ThreadxTargetState* target);

// Drops the tree so that the next use loads it again; for tests.
void TxLayoutDatabaseReset();
