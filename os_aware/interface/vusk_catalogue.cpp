// vusk_catalogue: the method table and the "commands" list; see
// vusk_catalogue.h.
#include "os_aware/interface/vusk_catalogue.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_methods.h"

namespace {

constexpr VuskMethod kMethods[] = {
    {"VUSK_Client_VuskInit", VuskMethodVuskInit, kSlotVuskInit, false},
    {"VUSK_Client_VuskCleanup", VuskMethodVuskCleanup, kSlotVuskCleanup, true},
    {"VUSK_Client_TargetInit", VuskMethodTargetInit, kSlotTargetInit, false},
    {"VUSK_Client_TargetCleanup", VuskMethodTargetCleanup, kSlotTargetCleanup, false},
    {"VUSK_Client_ObjectListInit", VuskMethodObjectListInit, kSlotObjectListInit, false},
    {"VUSK_Client_ObjectListCleanup", VuskMethodObjectListCleanup, kSlotObjectListCleanup, false},
    {"VUSK_Client_ObjectListNext", VuskMethodObjectListNext, kSlotObjectListNext, false},
    {"VUSK_Client_ObjectListAttribute", VuskMethodObjectListAttribute, kSlotObjectListAttribute, false},
    {"VUSK_Client_TaskMemoryAccessSetup", VuskMethodTaskMemoryAccessSetup, kSlotTaskMemoryAccessSetup, false},
    {"VUSK_Client_TaskMemoryAccessRestore", VuskMethodTaskMemoryAccessRestore, kSlotTaskMemoryAccessRestore, false},
    {"VUSK_Client_TaskRegisterRead", VuskMethodTaskRegisterRead, kSlotTaskRegisterRead, false},
    {"VUSK_Client_TaskRegisterWrite", VuskMethodTaskRegisterWrite, kSlotTaskRegisterWrite, false},
    {"VUSK_Client_TaskAddressTranslate", VuskMethodTaskAddressTranslate, kSlotTaskAddressTranslate, false},
    {"VUSK_Client_TaskNameGet", VuskMethodTaskNameGet, kSlotTaskNameGet, false},
    {"VUSK_Client_TaskStatusGet", VuskMethodTaskStatusGet, kSlotTaskStatusGet, false},
    {"VUSK_Client_TaskExecGet", VuskMethodTaskExecGet, kSlotTaskExecGet, false},
    {"VUSK_Client_TaskCpuGet", VuskMethodTaskCpuGet, kSlotTaskCpuGet, false},
    {"VUSK_Client_TaskAddressSpaceGet", VuskMethodTaskAddressSpaceGet, kSlotTaskAddressSpaceGet, false},
    {"VUSK_Client_TaskSymTabGet", VuskMethodTaskSymTabGet, kSlotTaskSymTabGet, false},
    {"VUSK_Client_TaskRelocatableGet", VuskMethodTaskRelocatableGet, kSlotTaskRelocatableGet, false},
    {"VUSK_Client_CurrentTaskGet", VuskMethodCurrentTaskGet, kSlotCurrentTaskGet, false},
    {"VUSK_Client_TaskInKernelCheck", VuskMethodTaskInKernelCheck, kSlotTaskInKernelCheck, false},
    {"VUSK_Client_TaskInCurrentAddressSpaceCheck", VuskMethodTaskInCurrentAddressSpaceCheck,
     kSlotTaskInCurrentAddressSpaceCheck, false},
    {"VUSK_Client_AddressSpaceNameGet", VuskMethodAddressSpaceNameGet, kSlotAddressSpaceNameGet, false},
    {"VUSK_Client_TaskIsHiddenCheck", VuskMethodTaskIsHiddenCheck, kSlotTaskIsHiddenCheck, false},
    {"VUSK_Client_TaskLsoGet", VuskMethodTaskLsoGet, kSlotTaskLsoGet, false},
    {"VUSK_Client_TaskTksaGet", VuskMethodTaskTksaGet, kSlotTaskTksaGet, false},
    {"VUSK_Client_Poll", VuskMethodPoll, kSlotPoll, false},
    {"VUSK_Client_TargetNotify", VuskMethodTargetNotify, kSlotTargetNotify, false},
    {"VUSK_Client_VuskCmd_Execute", VuskMethodVuskCmdExecute, kSlotVuskCmdExecute, false},
    {"VUSK_Client_GuiObjectCheck", VuskMethodGuiObjectCheck, kSlotGuiObjectCheck, false},
    {"VUSK_Client_ObjectChangedCheck", VuskMethodObjectChangedCheck, kSlotObjectChangedCheck, false},
    {"VUSK_Client_LifeCycleCountsGet", VuskMethodLifeCycleCountsGet, kSlotLifeCycleCountsGet, false},
    {"VUSK_Client_PageTableGet", VuskMethodPageTableGet, kSlotPageTableGet, false},
    {"VUSK_Client_MessageInject", VuskMethodMessageInject, kSlotMessageInject, false},
    {"VUSK_Client_KernelMemoryRegionsGet", VuskMethodKernelMemoryRegionsGet, kSlotKernelMemoryRegionsGet, false},
    {"VUSK_Client_HistoryLogDump", VuskMethodHistoryLogDump, kSlotHistoryLogDump, true},
    {"VUSK_Client_Exit", VuskMethodExit, kSlotExit, true},
};
static_assert(sizeof(kMethods) / sizeof(kMethods[0]) == kVuskMethodCount, "one row per method");
static_assert(kVuskMethodCount == kVuskSlotCount, "one method per slot");

// The table's rows by name, for VuskCatalogueFind: the commands list looks
// up every bound name, and a search through the table for each made that
// quadratic.
constexpr auto kMethodsByName = [] {
  std::array<const VuskMethod*, kVuskMethodCount> rows{};
  for (int i = 0; i < kVuskMethodCount; i++) rows[i] = &kMethods[i];
  std::sort(rows.begin(), rows.end(),
            [](const VuskMethod* a, const VuskMethod* b) { return std::string_view(a->name) < b->name; });
  return rows;
}();

bool Listed(const VuskMethod* method) {
  return method->alwaysListed || VuskSlotFilled(&vuskCallbackTable, method->slot);
}

}  // namespace

const VuskMethod* VuskCatalogueMethod(int index) {
  if (index < 0 || index >= kVuskMethodCount) return nullptr;
  return &kMethods[index];
}

const VuskMethod* VuskCatalogueFind(const char* name) {
  if (!name) return nullptr;
  std::string_view wanted(name);
  auto found = std::lower_bound(kMethodsByName.begin(), kMethodsByName.end(), wanted,
                                [](const VuskMethod* row, std::string_view key) { return row->name < key; });
  return (found != kMethodsByName.end() && (*found)->name == wanted) ? *found : nullptr;
}

void VuskCatalogueBind() {
  JrBindingsCreate();
  for (const VuskMethod& method : kMethods) JrBind(method.name, method.handler);
}

void VuskCatalogueAddCommands(JsonValue* result) {
  JsonValue* commands = JsonNewArray();
  int32_t count = 0;
  int bound = JrBindingCount();
  for (int i = 0; i < bound; i++) {
    const VuskMethod* method = VuskCatalogueFind(JrBindingName(i));
    if (!method || !Listed(method)) continue;
    JsonArrayPush(commands, JsonNewString(method->name));
    count++;
  }
  JsonAddInt32(result, "commandCount", count);
  JsonObjectAdd(result, "commands", commands);
}
