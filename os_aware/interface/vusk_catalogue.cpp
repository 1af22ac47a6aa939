// vusk_catalogue: the method table and the "commands" list; see
// vusk_catalogue.h.
#include "os_aware/interface/vusk_catalogue.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_methods.h"

namespace {

using enum VuskListing;

constexpr VuskMethod kMethods[] = {
    {"VUSK_Client_VuskInit", VuskMethodVuskInit, kSlotVuskInit, kWhenSlotFilled},
    {"VUSK_Client_VuskCleanup", VuskMethodVuskCleanup, kSlotVuskCleanup, kAlways},
    {"VUSK_Client_TargetInit", VuskMethodTargetInit, kSlotTargetInit, kWhenSlotFilled},
    {"VUSK_Client_TargetCleanup", VuskMethodTargetCleanup, kSlotTargetCleanup, kWhenSlotFilled},
    {"VUSK_Client_ObjectListInit", VuskMethodObjectListInit, kSlotObjectListInit, kWhenSlotFilled},
    {"VUSK_Client_ObjectListCleanup", VuskMethodObjectListCleanup, kSlotObjectListCleanup, kWhenSlotFilled},
    {"VUSK_Client_ObjectListNext", VuskMethodObjectListNext, kSlotObjectListNext, kWhenSlotFilled},
    {"VUSK_Client_ObjectListAttribute", VuskMethodObjectListAttribute, kSlotObjectListAttribute, kWhenSlotFilled},
    {"VUSK_Client_TaskMemoryAccessSetup", VuskMethodTaskMemoryAccessSetup, kSlotTaskMemoryAccessSetup, kWhenSlotFilled},
    {"VUSK_Client_TaskMemoryAccessRestore", VuskMethodTaskMemoryAccessRestore, kSlotTaskMemoryAccessRestore, kWhenSlotFilled},
    {"VUSK_Client_TaskRegisterRead", VuskMethodTaskRegisterRead, kSlotTaskRegisterRead, kWhenSlotFilled},
    {"VUSK_Client_TaskRegisterWrite", VuskMethodTaskRegisterWrite, kSlotTaskRegisterWrite, kWhenSlotFilled},
    {"VUSK_Client_TaskAddressTranslate", VuskMethodTaskAddressTranslate, kSlotTaskAddressTranslate, kWhenSlotFilled},
    {"VUSK_Client_TaskNameGet", VuskMethodTaskNameGet, kSlotTaskNameGet, kWhenSlotFilled},
    {"VUSK_Client_TaskStatusGet", VuskMethodTaskStatusGet, kSlotTaskStatusGet, kWhenSlotFilled},
    {"VUSK_Client_TaskExecGet", VuskMethodTaskExecGet, kSlotTaskExecGet, kWhenSlotFilled},
    {"VUSK_Client_TaskCpuGet", VuskMethodTaskCpuGet, kSlotTaskCpuGet, kWhenSlotFilled},
    {"VUSK_Client_TaskAddressSpaceGet", VuskMethodTaskAddressSpaceGet, kSlotTaskAddressSpaceGet, kWhenSlotFilled},
    {"VUSK_Client_TaskSymTabGet", VuskMethodTaskSymTabGet, kSlotTaskSymTabGet, kWhenSlotFilled},
    {"VUSK_Client_TaskRelocatableGet", VuskMethodTaskRelocatableGet, kSlotTaskRelocatableGet, kWhenSlotFilled},
    {"VUSK_Client_CurrentTaskGet", VuskMethodCurrentTaskGet, kSlotCurrentTaskGet, kWhenSlotFilled},
    {"VUSK_Client_TaskInKernelCheck", VuskMethodTaskInKernelCheck, kSlotTaskInKernelCheck, kWhenSlotFilled},
    {"VUSK_Client_TaskInCurrentAddressSpaceCheck", VuskMethodTaskInCurrentAddressSpaceCheck,
     kSlotTaskInCurrentAddressSpaceCheck, kWhenSlotFilled},
    {"VUSK_Client_AddressSpaceNameGet", VuskMethodAddressSpaceNameGet, kSlotAddressSpaceNameGet, kWhenSlotFilled},
    {"VUSK_Client_TaskIsHiddenCheck", VuskMethodTaskIsHiddenCheck, kSlotTaskIsHiddenCheck, kWhenSlotFilled},
    {"VUSK_Client_TaskLsoGet", VuskMethodTaskLsoGet, kSlotTaskLsoGet, kWhenSlotFilled},
    {"VUSK_Client_TaskTksaGet", VuskMethodTaskTksaGet, kSlotTaskTksaGet, kWhenSlotFilled},
    {"VUSK_Client_Poll", VuskMethodPoll, kSlotPoll, kWhenSlotFilled},
    {"VUSK_Client_TargetNotify", VuskMethodTargetNotify, kSlotTargetNotify, kWhenSlotFilled},
    {"VUSK_Client_VuskCmd_Execute", VuskMethodVuskCmdExecute, kSlotVuskCmdExecute, kWhenSlotFilled},
    {"VUSK_Client_GuiObjectCheck", VuskMethodGuiObjectCheck, kSlotGuiObjectCheck, kWhenSlotFilled},
    {"VUSK_Client_ObjectChangedCheck", VuskMethodObjectChangedCheck, kSlotObjectChangedCheck, kWhenSlotFilled},
    {"VUSK_Client_LifeCycleCountsGet", VuskMethodLifeCycleCountsGet, kSlotLifeCycleCountsGet, kWhenSlotFilled},
    {"VUSK_Client_PageTableGet", VuskMethodPageTableGet, kSlotPageTableGet, kWhenSlotFilled},
    {"VUSK_Client_MessageInject", VuskMethodMessageInject, kSlotMessageInject, kWhenSlotFilled},
    {"VUSK_Client_KernelMemoryRegionsGet", VuskMethodKernelMemoryRegionsGet, kSlotKernelMemoryRegionsGet, kWhenSlotFilled},
    {"VUSK_Client_HistoryLogDump", VuskMethodHistoryLogDump, kSlotHistoryLogDump, kAlways},
    {"VUSK_Client_Exit", VuskMethodExit, kSlotExit, kAlways},
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
  return method->listing == VuskListing::kAlways || VuskSlotFilled(&vuskCallbackTable, method->slot);
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
