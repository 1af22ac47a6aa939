// tx_layout_db: loading the register-layout database, matching its CPU
// entries and choosing a target record's layouts; see tx_layout_db.h.
#include "os_aware/threadx/tx_layout_db.h"

#include "os_aware/threadx/tx_call.h"
#include "os_aware/threadx/tx_layout_build.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/libcxxutil/ut_file_parser.h"

namespace {

constexpr const char* kDatabaseName = "threadx registers";
constexpr const char* kDatabaseFile = "os_aware/threadx_fm.odb";

constexpr const char kBuildOptionsSymbol[] = "_tx_build_options";
constexpr const char kCreatedCountExpression[] = "(int)_tx_thread_created_count";
constexpr const char kBuildOptionsExpression[] = "(int)_tx_build_options";

attr_database g_database{};
bool g_loaded = false;

// The CPU an earlier selection found in the database.
struct KnownCpu {
  bool known;
  int32_t cpumajor;
  int32_t cpuminor;
};
KnownCpu g_known{};

void Load(BridgeContext* bc) {
  // The directory comes from the host, and a request the host sends while we
  // wait may load the database itself: then that load stands.
  const char* userConfigDir = BridgeUserConfigDir(bc);
  if (g_loaded) return;
  attr_database_init(&g_database, kDatabaseName, nullptr, false);
  attr_database_set_int_lists(&g_database, true);
  attr_database_load_config(&g_database, kDatabaseFile, userConfigDir);
  g_loaded = true;
  TxLayoutForgetReports();
}

void RememberCpu(int32_t cpumajor, int32_t cpuminor) { g_known = {true, cpumajor, cpuminor}; }

bool KnowsCpu(int32_t cpumajor, int32_t cpuminor) {
  return g_known.known && g_known.cpumajor == cpumajor && g_known.cpuminor == cpuminor;
}

// The kernel's counts and options are 32-bit.
int EvaluateInt32(BridgeContext* bc, const char* expression, int32_t* result) {
  uint64_t number = 0;
  if (BridgeEvaluate(bc, expression, &number) != kStatusOk) return kStatusFailed;
  *result = static_cast<int32_t>(number);
  return kStatusOk;
}

// Settles the kernel's build options: without the symbol there are none.
// Before the first thread exists the kernel may not have set them up, so
// they stay open and are asked again at the next selection.
void SettleBuildOptions(BridgeContext* bc, ThreadxTargetState* target) {
  if (target->buildOptionsSettled) return;
  if (bc->services.symbolLookup(bc, kBuildOptionsSymbol, nullptr, nullptr) != kStatusOk) {
    target->buildOptionsSettled = true;
    target->buildOptionsSymbol = false;
    return;
  }
  target->buildOptionsSymbol = true;
  int32_t created = 0;
  if (EvaluateInt32(bc, kCreatedCountExpression, &created) != kStatusOk || created == 0) return;
  int32_t options = 0;
  if (EvaluateInt32(bc, kBuildOptionsExpression, &options) != kStatusOk) return;
  target->buildOptions = options;
  target->buildOptionsSettled = true;
}

}  // namespace

attr_block* TxLayoutDatabaseRoot(BridgeContext* bc) {
  if (!g_loaded) Load(bc);
  return g_database.root;
}

attr_block* TxLayoutNextCpuEntry(BridgeContext* bc, attr_block* after, int32_t cpumajor, int32_t cpuminor) {
  return TxNextCpuEntry(TxLayoutDatabaseRoot(bc), after, cpumajor, cpuminor);
}

bool TxLayoutDatabaseProbe(BridgeContext* bc, int32_t cpumajor, int32_t cpuminor) {
  if (!TxLayoutNextCpuEntry(bc, nullptr, cpumajor, cpuminor)) return false;
  RememberCpu(cpumajor, cpuminor);
  return true;
}

bool TxLayoutDatabaseKnowsCpu() { return g_known.known; }

void TxLayoutSelectForTarget(BridgeContext* bc, ThreadxTargetState* target) {
  SettleBuildOptions(bc, target);
  if (!target->buildOptionsSettled && KnowsCpu(target->cpumajor, target->cpuminor)) return;
  TxBuildOptions options{target->buildOptionsSettled, target->buildOptionsSymbol, target->buildOptions};
  TxLayoutChoice choice{};
  TxSelectLayout(TxLayoutDatabaseRoot(bc), target->cpumajor, target->cpuminor, &options, &choice);
  if (choice.databaseKnowsCpu) RememberCpu(target->cpumajor, target->cpuminor);
  TxForgetLayouts(target);
  target->intLayout = choice.intLayout;
  target->ownsIntLayout = choice.ownsIntLayout;
  target->fpLayout = choice.fpLayout;
  target->ownsFpLayout = choice.ownsFpLayout;
  target->fpFlag = choice.fpFlag;
  target->fpFrameTest = choice.fpFrameTest;
}

void TxLayoutDatabaseReset() {
  if (g_loaded) attr_database_destroy(&g_database);
  g_database = attr_database{};
  g_loaded = false;
  g_known = {};
  TxLayoutForgetReports();
}
