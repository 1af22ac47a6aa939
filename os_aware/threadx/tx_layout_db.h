// tx_layout_db: the register-layout database "threadx_fm.odb", loaded once
// per process from the site defaults, installation and user configuration
// directories, and the search of its CPU entries.
#pragma once

#include <cstdint>

#include "os_aware/threadx/tx_bridge.h"

// Loads the database on first use and looks for an entry of the CPU,
// without a target record. True when the database knows the CPU; the answer
// is also remembered for later selections.
bool TxLayoutDatabaseProbe(BridgeContext* bc, int16_t cpumajor, int16_t cpuminor);

// Whether a probe has found an entry for a CPU.
bool TxLayoutDatabaseKnowsCpu();
