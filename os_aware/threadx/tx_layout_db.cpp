// tx_layout_db: loading the register-layout database and matching its CPU
// entries; see tx_layout_db.h.
#include "os_aware/threadx/tx_layout_db.h"

#include "shared/libcxxutil/ut_file_parser.h"

namespace {

constexpr const char* kDatabaseName = "threadx registers";
constexpr const char* kDatabaseFile = "os_aware/threadx_fm.odb";
constexpr const char* kCpuBlock = "threadx_vusk_cpu";
constexpr int32_t kMissing = -1;
constexpr int32_t kAnyMinor = -1;
constexpr int32_t kAnyMinorToo = 255;

attr_database g_database{};
bool g_loaded = false;
bool g_knows_cpu = false;

void Load(BridgeContext* bc) {
  attr_database_init(&g_database, kDatabaseName, nullptr, false);
  attr_database_set_int_lists(&g_database, true);
  attr_database_load_config(&g_database, kDatabaseFile, BridgeUserConfigDir(bc));
  g_loaded = true;
}

bool MinorMatches(const attr_block* entry, int32_t cpuminor) {
  if (const attr_int32_node* node = find_int32_list(entry, "cpuminor")) {
    for (; node; node = node->next) {
      if (node->value == kAnyMinor || node->value == cpuminor) return true;
    }
    return false;
  }
  int32_t minor = find_int32(entry, "cpuminor", kAnyMinor);
  return minor == kAnyMinor || minor == kAnyMinorToo || minor == cpuminor;
}

bool EntryMatches(attr_block* entry, int32_t cpumajor, int32_t cpuminor) {
  return get_int32(entry, "cpumajor", kMissing) == cpumajor && MinorMatches(entry, cpuminor);
}

}  // namespace

attr_block* TxLayoutDatabaseRoot(BridgeContext* bc) {
  if (!g_loaded) Load(bc);
  return g_database.root;
}

attr_block* TxLayoutNextCpuEntry(BridgeContext* bc, attr_block* after, int32_t cpumajor, int32_t cpuminor) {
  attr_block* entry = after;
  if (!entry) {
    attr_block* cpus = block_find_child(TxLayoutDatabaseRoot(bc), kCpuBlock);
    if (!cpus) return nullptr;
    entry = block_first_child(cpus, false);
  } else {
    entry = block_next_sibling(entry, false);
  }
  for (; entry; entry = block_next_sibling(entry, false)) {
    if (EntryMatches(entry, cpumajor, cpuminor)) return entry;
  }
  return nullptr;
}

bool TxLayoutDatabaseProbe(BridgeContext* bc, int32_t cpumajor, int32_t cpuminor) {
  if (!TxLayoutNextCpuEntry(bc, nullptr, cpumajor, cpuminor)) return false;
  g_knows_cpu = true;
  return true;
}

bool TxLayoutDatabaseKnowsCpu() { return g_knows_cpu; }

void TxLayoutDatabaseReset() {
  if (g_loaded) attr_database_destroy(&g_database);
  g_database = attr_database{};
  g_loaded = false;
  g_knows_cpu = false;
}
