// vusk_methods_tasks: the methods about tasks (threads) and the target's
// memory map: registers, memory access, address translation, the single
// value queries, symbol tables, the current task, page tables and kernel
// memory regions.
//
// The methods that ask one value of one task share a shape and are rows of
// kTaskValueRows; the rest are written out. Arrays and texts the callbacks
// hand out are freed here, whatever the status.
#include "os_aware/interface/vusk_methods.h"
#include "shared/port_alloc.h"

namespace {

// ---- One value of one task -----------------------------------------------------

// Rows name their columns: the ones left out are empty (no chooser).
struct TaskValueRow {
  VuskTaskValueFn VuskCallbackTable::*slot;
  const char* member;
  VuskValueForm form;
  int32_t presetType = VUSK_TYPE_STRING;
  // Optional member that picks the preset type instead: nonzero gives
  // typeWhenSet, zero or absent typeWhenClear. A flag chooser is nonzero in
  // all its 64 bits; an int32 one only in its low 32.
  const char* chooser = nullptr;
  bool chooserRequired = false;
  bool chooserIsFlag = false;
  int32_t typeWhenSet = VUSK_TYPE_STRING;
  int32_t typeWhenClear = VUSK_TYPE_STRING;
};

enum TaskValueRowId { kRowName, kRowStatus, kRowExec, kRowCpu, kRowAddressSpace, kRowInKernel,
                      kRowInCurrentSpace, kRowHidden, kTaskValueRowCount };

constexpr TaskValueRow kTaskValueRows[] = {
    {.slot = &VuskCallbackTable::taskNameGet, .member = "name", .form = kFormText, .presetType = VUSK_TYPE_STRING},
    {.slot = &VuskCallbackTable::taskStatusGet, .member = "status", .form = kFormText, .presetType = VUSK_TYPE_STRING},
    {.slot = &VuskCallbackTable::taskExecGet, .member = "executable", .form = kFormText,
     .presetType = VUSK_TYPE_STRING},
    {.slot = &VuskCallbackTable::taskCpuGet,
     .member = "cpu",
     .form = kFormByType,
     .chooser = "valueType",
     .typeWhenSet = VUSK_TYPE_UINT64,
     .typeWhenClear = VUSK_TYPE_STRING},
    {.slot = &VuskCallbackTable::taskAddressSpaceGet,
     .member = "addressSpace",
     .form = kFormByType,
     .chooser = "wantName",
     .chooserRequired = true,
     .chooserIsFlag = true,
     .typeWhenSet = VUSK_TYPE_STRING,
     .typeWhenClear = VUSK_TYPE_UINT64},
    {.slot = &VuskCallbackTable::taskInKernelCheck, .member = "result", .form = kFormInt32,
     .presetType = VUSK_TYPE_UINT32},
    {.slot = &VuskCallbackTable::taskInCurrentAddressSpaceCheck, .member = "result", .form = kFormInt32,
     .presetType = VUSK_TYPE_UINT32},
    {.slot = &VuskCallbackTable::taskIsHiddenCheck, .member = "result", .form = kFormInt32,
     .presetType = VUSK_TYPE_UINT32},
};
static_assert(sizeof(kTaskValueRows) / sizeof(kTaskValueRows[0]) == kTaskValueRowCount, "one row per method");

// The preset type of the row's record; false when a required chooser is missing.
bool PresetType(const TaskValueRow& row, const JsonValue* params, int32_t* type) {
  *type = row.presetType;
  if (!row.chooser) return true;
  bool chosen = false;
  bool present = false;
  if (row.chooserIsFlag) {
    present = VuskParamFlag(params, row.chooser, &chosen);
  } else {
    int32_t choice = 0;
    present = JsonGetInt32(params, row.chooser, &choice);
    chosen = choice != 0;
  }
  if (!present && row.chooserRequired) return false;
  *type = chosen ? row.typeWhenSet : row.typeWhenClear;
  return true;
}

int RunTaskValue(const TaskValueRow& row, VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t taskId = 0;
  int32_t type = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  if (!PresetType(row, params, &type)) return kStatusFailed;
  VuskValue value = VuskValueOfType(type);
  VuskTaskValueFn fn = vuskCallbackTable.*row.slot;
  int status = fn ? fn(context, &context->info, context->targetData, taskId, &value) : kStatusOk;
  if (status == kStatusOk) VuskAddValue(result, row.member, &value, row.form);
  VuskFreeValueText(&value);
  return status;
}

template <int Row>
int TaskValueBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  return RunTaskValue(kTaskValueRows[Row], context, params, result);
}

// ---- Task attributes (LSO, TKSA) and address-space names -----------------------

struct TaskAttributeRow {
  VuskTaskAttributeFn VuskCallbackTable::*slot;
  const char* member;
};

constexpr TaskAttributeRow kLsoRow = {&VuskCallbackTable::taskLsoGet, "offset"};
constexpr TaskAttributeRow kTksaRow = {&VuskCallbackTable::taskTksaGet, "value"};

int RunTaskAttribute(const TaskAttributeRow& row, VUSK_ServiceCntx* context, const JsonValue* params,
                     JsonValue* result) {
  uint64_t taskId = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  uint64_t taskAttribute = 0;
  JsonGetUInt64(params, "taskAttribute", &taskAttribute);
  VuskValue value = VuskValueOfType(VUSK_TYPE_INT64);
  VuskTaskAttributeFn fn = vuskCallbackTable.*row.slot;
  int status = fn ? fn(context, &context->info, context->targetData, taskId, taskAttribute, &value) : kStatusOk;
  if (status == kStatusOk) VuskAddValue(result, row.member, &value, kFormInt64);
  return status;
}

int TaskLsoGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  return RunTaskAttribute(kLsoRow, context, params, result);
}

int TaskTksaGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  return RunTaskAttribute(kTksaRow, context, params, result);
}

int AddressSpaceNameGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t addressSpaceId = 0;
  if (!JsonGetUInt64(params, "addressSpaceId", &addressSpaceId)) return kStatusFailed;
  VuskValue name = VuskValueOfType(VUSK_TYPE_STRING);
  int status = kStatusOk;
  if (vuskCallbackTable.addressSpaceNameGet) {
    status = vuskCallbackTable.addressSpaceNameGet(context, &context->info, context->targetData, addressSpaceId, &name);
  }
  if (status == kStatusOk) VuskAddValue(result, "name", &name, kFormText);
  VuskFreeValueText(&name);
  return status;
}

// ---- Memory access and registers -----------------------------------------------

struct MemoryAccess {
  uint64_t taskId;
  int32_t memorySpace;
  uint64_t address;
  int32_t count;
  int32_t size;
  int32_t read;
};

bool ReadMemoryAccess(const JsonValue* params, MemoryAccess* access) {
  return JsonGetUInt64(params, "taskId", &access->taskId) && JsonGetInt32(params, "memorySpace", &access->memorySpace) &&
         JsonGetUInt64(params, "address", &access->address) && JsonGetInt32(params, "count", &access->count) &&
         JsonGetInt32(params, "size", &access->size) && JsonGetInt32(params, "read", &access->read);
}

int RunMemoryAccess(VuskMemoryAccessFn fn, VUSK_ServiceCntx* context, const JsonValue* params) {
  MemoryAccess access{};
  if (!ReadMemoryAccess(params, &access)) return kStatusFailed;
  if (!fn) return kStatusOk;
  return fn(context, &context->info, context->targetData, access.taskId, access.memorySpace, access.address,
            access.count, access.size, access.read);
}

int TaskMemoryAccessSetupBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  return RunMemoryAccess(vuskCallbackTable.taskMemoryAccessSetup, context, params);
}

int TaskMemoryAccessRestoreBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  return RunMemoryAccess(vuskCallbackTable.taskMemoryAccessRestore, context, params);
}

int TaskRegisterReadBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t taskId = 0;
  int32_t reg = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  if (!JsonGetInt32(params, "register", &reg)) return kStatusFailed;
  uint64_t value = 0;
  int status = kStatusOk;
  if (vuskCallbackTable.taskRegisterRead) {
    status = vuskCallbackTable.taskRegisterRead(context, &context->info, context->targetData, taskId, reg, &value);
  }
  if (status == kStatusOk) JsonAddUInt64(result, "value", value);
  return status;
}

int TaskRegisterWriteBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  uint64_t taskId = 0, value = 0;
  int32_t reg = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  if (!JsonGetInt32(params, "register", &reg)) return kStatusFailed;
  if (!JsonGetUInt64(params, "value", &value)) return kStatusFailed;
  if (!vuskCallbackTable.taskRegisterWrite) return kStatusOk;
  return vuskCallbackTable.taskRegisterWrite(context, &context->info, context->targetData, taskId, reg, value);
}

int TaskAddressTranslateBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t taskId = 0, address = 0;
  int32_t memorySpace = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  if (!JsonGetInt32(params, "memorySpace", &memorySpace)) return kStatusFailed;
  if (!JsonGetUInt64(params, "address", &address)) return kStatusFailed;
  context->wantPhysicalAddress = VuskParamFlagOr(params, "wantPhysicalAddress", false);
  int notFromTask = VuskParamFlagOr(params, "fromTask", true) ? 0 : 1;
  VuskValue translated = VuskValueOfType(VUSK_TYPE_ADDRESS);
  int status = kStatusOk;
  if (vuskCallbackTable.taskAddressTranslate) {
    status = vuskCallbackTable.taskAddressTranslate(context, &context->info, context->targetData, taskId,
                                                    &memorySpace, address, notFromTask, &translated);
  }
  if (status == kStatusOk) {
    JsonAddInt32(result, "memorySpace", memorySpace);
    JsonAddUInt64(result, "address", translated.value.u64);
  }
  return status;
}

// ---- Relocation, symbol tables -------------------------------------------------

constexpr const char* kSectionNames[] = {"text", "rodata", "data", "bss", "extra"};
constexpr int kSectionCount = sizeof(kSectionNames) / sizeof(kSectionNames[0]);

int TaskRelocatableGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t taskId = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  VuskValue sections[kSectionCount];
  for (VuskValue& section : sections) section = VuskValueOfType(VUSK_TYPE_ADDRESS);
  int status = kStatusOk;
  if (vuskCallbackTable.taskRelocatableGet) {
    status = vuskCallbackTable.taskRelocatableGet(context, &context->info, context->targetData, taskId, &sections[0],
                                                  &sections[1], &sections[2], &sections[3], &sections[4]);
  }
  if (status != kStatusOk) return status;
  for (int i = 0; i < kSectionCount; i++) JsonAddUInt64(result, kSectionNames[i], sections[i].value.u64);
  return status;
}

// The address-record arrays of a symbol table, in result order.
VuskValue* VuskSymTab::*const kSymTabSections[] = {&VuskSymTab::text, &VuskSymTab::rodata, &VuskSymTab::data,
                                                   &VuskSymTab::bss, &VuskSymTab::extra};
static_assert(sizeof(kSymTabSections) / sizeof(kSymTabSections[0]) == kSectionCount, "five sections");

// The named sections of each file; false when a file that has sections lacks
// its name or offset list (that file then gets no inner arrays).
bool AddNamedSections(JsonValue* result, const VuskSymTab* tab) {
  bool ok = VuskAddInt32Array(result, "namedSectionCounts", tab->namedSectionCounts, tab->count);
  JsonValue* names = JsonNewArray();
  JsonValue* offsets = JsonNewArray();
  for (int32_t file = 0; file < tab->count; file++) {
    int32_t sections = tab->namedSectionCounts[file];
    const char* const* fileNames = tab->namedSectionNames ? tab->namedSectionNames[file] : nullptr;
    const VuskValue* fileOffsets = tab->namedSectionOffsets ? tab->namedSectionOffsets[file] : nullptr;
    JsonValue* fileNameArray = VuskTextArray(fileNames, sections);
    JsonValue* fileOffsetArray = VuskRecordArray(fileOffsets, sections);
    if (fileNameArray && fileOffsetArray) {
      JsonArrayPush(names, fileNameArray);
      JsonArrayPush(offsets, fileOffsetArray);
    } else {
      JsonFree(fileNameArray);
      JsonFree(fileOffsetArray);
      ok = false;
    }
  }
  ok = JsonObjectAdd(result, "namedSectionNames", names) && ok;
  ok = JsonObjectAdd(result, "namedSectionOffsets", offsets) && ok;
  return ok;
}

int AddSymTab(JsonValue* result, const VuskSymTab* tab) {
  if (tab->count < 0 || tab->count > kVuskMaxResultElements) return kStatusFailed;
  bool ok = JsonAddInt32(result, "count", tab->count);
  ok = VuskAddTextArray(result, "fileName", tab->fileNames, tab->count) && ok;
  ok = VuskAddInt32Array(result, "mask", tab->masks, tab->count) && ok;
  for (int i = 0; i < kSectionCount; i++) {
    ok = VuskAddRecordArray(result, kSectionNames[i], tab->*kSymTabSections[i], tab->count) && ok;
  }
  if (tab->namedSectionCounts) ok = AddNamedSections(result, tab) && ok;
  return ok ? kStatusOk : kStatusFailed;
}

void FreeNamedSections(VuskSymTab* tab) {
  for (int32_t file = 0; file < tab->count; file++) {
    char** names = tab->namedSectionNames ? tab->namedSectionNames[file] : nullptr;
    if (names && tab->namedSectionCounts) {
      for (int32_t i = 0; i < tab->namedSectionCounts[file]; i++) PortFree(names[i]);
    }
    PortFree(names);
    if (tab->namedSectionOffsets) PortFree(tab->namedSectionOffsets[file]);
  }
  PortFree(tab->namedSectionCounts);
  PortFree(tab->namedSectionNames);
  PortFree(tab->namedSectionOffsets);
}

void FreeSymTab(VuskSymTab* tab) {
  if (tab->fileNames) {
    for (int32_t i = 0; i < tab->count; i++) PortFree(tab->fileNames[i]);
  }
  PortFree(tab->fileNames);
  PortFree(tab->masks);
  for (int i = 0; i < kSectionCount; i++) PortFree(tab->*kSymTabSections[i]);
  FreeNamedSections(tab);
  *tab = VuskSymTab{};
}

int TaskSymTabGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t taskId = 0;
  if (!JsonGetUInt64(params, "taskId", &taskId)) return kStatusFailed;
  const char* kernelExecName = nullptr;
  JsonGetString(params, "kernelExecName", &kernelExecName);
  VuskSymTab tab{};
  int status = kStatusOk;
  if (vuskCallbackTable.taskSymTabGet) {
    status = vuskCallbackTable.taskSymTabGet(context, &context->info, context->targetData, taskId, kernelExecName,
                                             &tab);
  }
  if (status == kStatusOk) status = AddSymTab(result, &tab);
  FreeSymTab(&tab);
  return status;
}

// ---- Current task --------------------------------------------------------------

int CurrentTaskGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  bool checkInKernel = false;
  if (!VuskParamFlag(params, "checkInKernel", &checkInKernel)) return kStatusFailed;
  int64_t coreId = 0;
  int64_t core = JsonGetInt64(params, "coreId", &coreId) ? coreId - 1 : context->hostCore;
  bool coreInUserMode = VuskParamFlagOr(params, "coreInUserMode", false);
  VuskCntxSet(context, kCntxNotInKernel, !checkInKernel);
  VuskContextSetCoreMode(context, core, coreInUserMode);
  uint64_t taskId = 0;
  int status = kStatusOk;
  if (vuskCallbackTable.currentTaskGet) {
    status = vuskCallbackTable.currentTaskGet(context, &context->info, context->targetData, core, &taskId);
  }
  if (status == kStatusOk) JsonAddUInt64(result, "taskId", taskId);
  return status;
}

// ---- Page tables and kernel memory regions -------------------------------------

int PageTableGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  uint64_t domainId = 0;
  JsonGetUInt64(params, "domainId", &domainId);
  uint64_t* physLow = nullptr;
  uint64_t* virtLow = nullptr;
  VuskValue* regionSizes = nullptr;
  uint64_t* aid = nullptr;
  VuskValue count = VuskValueOfType(VUSK_TYPE_UINT64);
  int status = kStatusOk;
  if (vuskCallbackTable.pageTableGet) {
    status = vuskCallbackTable.pageTableGet(context, &context->info, context->targetData, domainId, &physLow, &virtLow,
                                            &regionSizes, &aid, &count);
  }
  if (status == kStatusOk) {
    int64_t n = VuskValueToInt64(&count);
    JsonAddInt64(result, "count", n);
    bool ok = VuskAddUInt64Array(result, "physLowArray", physLow, n);
    ok = VuskAddUInt64Array(result, "virtLowArray", virtLow, n) && ok;
    ok = VuskAddRecordArray(result, "regionSize", regionSizes, n) && ok;
    ok = VuskAddUInt64Array(result, "aidArray", aid, n) && ok;
    if (!ok) status = kStatusFailed;
  }
  PortFree(physLow);
  PortFree(virtLow);
  PortFree(regionSizes);
  PortFree(aid);
  return status;
}

struct RegionColumn {
  const char* member;
  uint64_t VuskMemRegion::*field;
};

constexpr RegionColumn kRegionColumns[] = {
    {"beginArray", &VuskMemRegion::begin},
    {"physicalBeginArray", &VuskMemRegion::physicalBegin},
    {"endArray", &VuskMemRegion::end},
    {"physicalEndArray", &VuskMemRegion::physicalEnd},
    {"attributesArray", &VuskMemRegion::attributes},
};

bool AddRegionColumns(JsonValue* result, const VuskMemRegion* regions, int32_t count) {
  if (count > kVuskMaxResultElements || !regions) return false;
  for (const RegionColumn& column : kRegionColumns) {
    JsonValue* array = JsonNewArray();
    for (int32_t i = 0; i < count; i++) JsonArrayPush(array, JsonNewInt(static_cast<int64_t>(regions[i].*column.field)));
    JsonObjectAdd(result, column.member, array);
  }
  return true;
}

int KernelMemoryRegionsGetBody(VUSK_ServiceCntx* context, const JsonValue*, JsonValue* result) {
  int32_t count = 0;
  VuskMemRegion* regions = nullptr;
  int status = kStatusOk;
  if (vuskCallbackTable.kernelMemoryRegionsGet) {
    status = vuskCallbackTable.kernelMemoryRegionsGet(context, &context->info, context->targetData, &count, &regions);
  }
  if (status == kStatusOk) {
    JsonAddInt32(result, "numRegions", count);
    if (count > 0 && !AddRegionColumns(result, regions, count)) status = kStatusFailed;
  }
  PortFree(regions);
  return status;
}

}  // namespace

JsonValue* VuskMethodTaskMemoryAccessSetup(const JsonValue* params) {
  return VuskRunOnContext(params, TaskMemoryAccessSetupBody);
}
JsonValue* VuskMethodTaskMemoryAccessRestore(const JsonValue* params) {
  return VuskRunOnContext(params, TaskMemoryAccessRestoreBody);
}
JsonValue* VuskMethodTaskRegisterRead(const JsonValue* params) { return VuskRunOnContext(params, TaskRegisterReadBody); }
JsonValue* VuskMethodTaskRegisterWrite(const JsonValue* params) {
  return VuskRunOnContext(params, TaskRegisterWriteBody);
}
JsonValue* VuskMethodTaskAddressTranslate(const JsonValue* params) {
  return VuskRunOnContext(params, TaskAddressTranslateBody);
}
JsonValue* VuskMethodTaskNameGet(const JsonValue* params) { return VuskRunOnContext(params, TaskValueBody<kRowName>); }
JsonValue* VuskMethodTaskStatusGet(const JsonValue* params) {
  return VuskRunOnContext(params, TaskValueBody<kRowStatus>);
}
JsonValue* VuskMethodTaskExecGet(const JsonValue* params) { return VuskRunOnContext(params, TaskValueBody<kRowExec>); }
JsonValue* VuskMethodTaskCpuGet(const JsonValue* params) { return VuskRunOnContext(params, TaskValueBody<kRowCpu>); }
JsonValue* VuskMethodTaskAddressSpaceGet(const JsonValue* params) {
  return VuskRunOnContext(params, TaskValueBody<kRowAddressSpace>);
}
JsonValue* VuskMethodTaskSymTabGet(const JsonValue* params) { return VuskRunOnContext(params, TaskSymTabGetBody); }
JsonValue* VuskMethodTaskRelocatableGet(const JsonValue* params) {
  return VuskRunOnContext(params, TaskRelocatableGetBody);
}
JsonValue* VuskMethodCurrentTaskGet(const JsonValue* params) { return VuskRunOnContext(params, CurrentTaskGetBody); }
JsonValue* VuskMethodTaskInKernelCheck(const JsonValue* params) {
  return VuskRunOnContext(params, TaskValueBody<kRowInKernel>);
}
JsonValue* VuskMethodTaskInCurrentAddressSpaceCheck(const JsonValue* params) {
  return VuskRunOnContext(params, TaskValueBody<kRowInCurrentSpace>);
}
JsonValue* VuskMethodAddressSpaceNameGet(const JsonValue* params) {
  return VuskRunOnContext(params, AddressSpaceNameGetBody);
}
JsonValue* VuskMethodTaskIsHiddenCheck(const JsonValue* params) {
  return VuskRunOnContext(params, TaskValueBody<kRowHidden>);
}
JsonValue* VuskMethodTaskLsoGet(const JsonValue* params) { return VuskRunOnContext(params, TaskLsoGetBody); }
JsonValue* VuskMethodTaskTksaGet(const JsonValue* params) { return VuskRunOnContext(params, TaskTksaGetBody); }
JsonValue* VuskMethodPageTableGet(const JsonValue* params) { return VuskRunOnContext(params, PageTableGetBody); }
JsonValue* VuskMethodKernelMemoryRegionsGet(const JsonValue* params) {
  return VuskRunOnContext(params, KernelMemoryRegionsGetBody);
}
