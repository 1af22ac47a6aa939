// tx_layout_db: database loading; see tx_layout_db.h.
#include "os_aware/threadx/tx_layout_db.h"

namespace {
bool g_knows_cpu = false;
}

bool TxLayoutDatabaseProbe(BridgeContext*, int16_t, int16_t) { return g_knows_cpu; }

bool TxLayoutDatabaseKnowsCpu() { return g_knows_cpu; }
