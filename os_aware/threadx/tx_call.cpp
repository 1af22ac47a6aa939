// tx_call: the calls in progress and what waits for the outermost one to
// end; see tx_call.h.
#include "os_aware/threadx/tx_call.h"

#include <cassert>
#include <vector>

#include "os_aware/threadx/tx_layout_build.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/port_alloc.h"

namespace {

int g_calls_in_progress = 0;
std::vector<ThreadxTargetState*> g_retired_targets;
std::vector<RegisterLayout*> g_retired_layouts;

bool CallsInProgress() {
  assert(g_calls_in_progress >= 0);
  return g_calls_in_progress > 0;
}

// While a call runs, puts item on the list freed after the outermost one
// and answers true; false when it may be freed now.
template <typename T>
bool Deferred(std::vector<T*>* retired, T* item) {
  if (!CallsInProgress()) return false;
  retired->push_back(item);
  return true;
}

void FreeLayout(RegisterLayout* layout) {
  if (layout && !Deferred(&g_retired_layouts, layout)) TxLayoutFree(layout);
}

}  // namespace

TxCallScope::TxCallScope() {
  assert(CallsInProgress() || (g_retired_targets.empty() && g_retired_layouts.empty()));
  g_calls_in_progress++;
}

TxCallScope::~TxCallScope() {
  assert(g_calls_in_progress > 0);
  if (--g_calls_in_progress > 0) return;
  // Taken out first: freeing a record retires nothing now, but the lists
  // must be whole while they are walked.
  std::vector<ThreadxTargetState*> targets;
  std::vector<RegisterLayout*> layouts;
  targets.swap(g_retired_targets);
  layouts.swap(g_retired_layouts);
  for (ThreadxTargetState* target : targets) TxFreeTarget(target);
  for (RegisterLayout* layout : layouts) TxLayoutFree(layout);
}

void TxFreeTarget(ThreadxTargetState* target) {
  if (!target || Deferred(&g_retired_targets, target)) return;
  TxForgetLayouts(target);
  PortFree(target);
}

void TxForgetLayouts(ThreadxTargetState* target) {
  if (target->ownsIntLayout) FreeLayout(target->intLayout);
  if (target->ownsFpLayout) FreeLayout(target->fpLayout);
  target->intLayout = nullptr;
  target->fpLayout = nullptr;
  target->ownsIntLayout = false;
  target->ownsFpLayout = false;
}
