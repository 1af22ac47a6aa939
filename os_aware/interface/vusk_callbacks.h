// vusk_callbacks: the records that cross the callback boundary between the
// client methods and the awareness logic, and the table of 38 callback slots.
//
// The slot list below is the single source of the slot indices, the member
// names and the signatures; the enum and the table are both generated from
// it, so they cannot drift apart. Every callback returns a status of
// vusk_status.h (2, kStatusEmptyList, only from an object list start).
//
// Ownership across the boundary: texts and arrays that a callback hands out
// through an out-record are allocated with PortAlloc (or PortStrdup) and
// freed by the client method that called it. Texts handed in to a callback
// are borrowed for the duration of the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os_aware/interface/vusk_status.h"

struct VUSK_ServiceCntx;

// ---- VuskPluginInfo --------------------------------------------------------

// Bits of VuskPluginInfo::flags.
enum VuskInfoFlag : uint8_t {
  kInfoKernelInPhysicalAddress = 1u << 0,
  kInfoTranslateAddressOnMasterProcess = 1u << 1,
  kInfoTreatMasterProcessAsKernel = 1u << 2,
  kInfoShowObjectNumber = 1u << 3,
  kInfoFixVuskMemSpc = 1u << 4,
  kInfoDistinguishCpuModes = 1u << 5,
};

// The version the plugin acknowledges unless the awareness logic says else.
constexpr uint32_t kVuskVersionAcknowledge = 2;

struct VuskPluginInfo {
  uint32_t versionAcknowledge;  // preset to 2 before vuskInit, reported back
  uint32_t versionRequired;     // from the host
  uint64_t reserved;            // zero
  uint8_t flags;                // VuskInfoFlag bits
  uint64_t fakeTidForMasterProcess;
  uint32_t pageSize;
  uint32_t vuskKernelMajorVersion;
  uint32_t vuskKernelMinorVersion;
  uint32_t noiceMask;
};

inline bool VuskInfoHas(const VuskPluginInfo* info, VuskInfoFlag flag) { return (info->flags & flag) != 0; }
inline void VuskInfoSet(VuskPluginInfo* info, VuskInfoFlag flag, bool on) {
  info->flags = static_cast<uint8_t>(on ? (info->flags | flag) : (info->flags & ~flag));
}

// ---- VuskValue -------------------------------------------------------------

// Type codes of a VuskValue. Signed integers: 1, 3, 5 and 10; unsigned: 2,
// 4, 6, 7 (an address) and 11 (kValueLayout in vusk_callbacks.cpp).
enum VuskValueType : int32_t {
  VUSK_TYPE_STRING = 0,
  VUSK_TYPE_INT8 = 1,
  VUSK_TYPE_UINT8 = 2,
  VUSK_TYPE_INT16 = 3,
  VUSK_TYPE_UINT16 = 4,
  VUSK_TYPE_INT32 = 5,
  VUSK_TYPE_UINT32 = 6,
  VUSK_TYPE_ADDRESS = 7,
  VUSK_TYPE_FLOAT = 8,
  VUSK_TYPE_DOUBLE = 9,
  VUSK_TYPE_INT64 = 10,
  VUSK_TYPE_UINT64 = 11,
  VUSK_TYPE_COUNT = 12,
};

// A typed value: an integer of the type's width, a floating-point number or
// an owned text (type 0; freed by whoever receives the record).
struct VuskValue {
  int32_t type;
  union {
    int8_t i8;
    uint8_t u8;
    int16_t i16;
    uint16_t u16;
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    float f32;
    double f64;
    char* string;
  } value;
};
static_assert(sizeof(VuskValue) == 16, "a VuskValue is a type word and an 8-byte payload");

// A zeroed record of the given type.
VuskValue VuskValueOfType(int32_t type);

// The integer held by the record, read at its type's width (sign-extended
// for the signed codes, floating point truncated). A string, or an unknown
// type, reads the whole 64-bit payload.
int64_t VuskValueToInt64(const VuskValue* value);

// True for the integer type codes (1 to 7, 10 and 11).
bool VuskValueTypeIsInteger(int32_t type);

// Stores an integer at the record's type width (floating-point types get the
// value converted as unsigned). Type 0 and unknown types are left alone.
void VuskValueStoreInteger(VuskValue* value, uint64_t number);

// ---- Parameter and result records ------------------------------------------

struct VuskParentRef {
  uint64_t parentObjId;
  int32_t parentObjTypeId;  // -1 = none
  int32_t parentObjListId;  // -1 = none
  uint64_t reserved;        // 0
};

struct VuskSymTab {
  int32_t count;
  char** fileNames;            // count owned texts
  int32_t* masks;              // count masks
  VuskValue* text;             // count address records each
  VuskValue* rodata;
  VuskValue* data;
  VuskValue* bss;
  VuskValue* extra;
  int32_t* namedSectionCounts;     // count entries, or null
  char*** namedSectionNames;       // per file an array of owned texts
  VuskValue** namedSectionOffsets; // per file an array of address records
};

// objTypeName of an in-record is borrowed from the request; an out-record's
// name is owned by the receiver unless it is the in-record's own pointer.
struct VuskGuiObject {
  const char* objTypeName;
  int32_t objTypeId;
  int32_t visible;
};

struct VuskMemRegion {
  uint64_t begin;
  uint64_t end;
  uint64_t attributes;
  uint64_t physicalBegin;
  uint64_t physicalEnd;
};

// ---- Callback signatures ---------------------------------------------------

using VuskSessionFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info);
using VuskTargetFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void** targetData);
using VuskObjectListFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                 int32_t objTypeId, const VuskParentRef* parent);
using VuskObjectAttributeFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                      int32_t objTypeId, const VuskParentRef* parent, int32_t objAtrId,
                                      VuskValue* value);
using VuskMemoryAccessFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                   uint64_t taskId, int32_t memorySpace, uint64_t address, int32_t count,
                                   int32_t size, int32_t read);
using VuskRegisterReadFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                   uint64_t taskId, int32_t reg, uint64_t* value);
using VuskRegisterWriteFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                    uint64_t taskId, int32_t reg, uint64_t value);
using VuskAddressTranslateFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                       uint64_t taskId, int32_t* memorySpace, uint64_t address,
                                       int notFromTask, VuskValue* translated);
using VuskTaskValueFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                uint64_t taskId, VuskValue* value);
using VuskRelocatableFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                  uint64_t taskId, VuskValue* text, VuskValue* rodata, VuskValue* data,
                                  VuskValue* bss, VuskValue* extra);
using VuskSymTabFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                             uint64_t taskId, const char* kernelExecName, VuskSymTab* symTab);
using VuskCurrentTaskFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                  int64_t core, uint64_t* taskId);
using VuskTaskAttributeFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                    uint64_t taskId, uint64_t taskAttribute, VuskValue* value);
using VuskAddressSpaceNameFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                       uint64_t addressSpaceId, VuskValue* name);
using VuskPollFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData);
using VuskNotifyFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData, int32_t notice);
using VuskCommandFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                              const char* command);
using VuskGuiObjectFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                const VuskGuiObject* in, VuskGuiObject* out);
using VuskObjectChangedFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                    int32_t objTypeId, uint64_t objId, int32_t subObjTypeId, VuskValue* mask);
using VuskLifeCycleFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                int32_t objTypeId, uint64_t objId, int32_t subObjTypeId, VuskValue* count,
                                VuskValue** lifeCycle);
using VuskPageTableFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                uint64_t domainId, uint64_t** physLow, uint64_t** virtLow,
                                VuskValue** regionSizes, uint64_t** aid, VuskValue* count);
using VuskMessageInjectFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                    int32_t objTypeId, uint64_t objId, const char* message);
using VuskMemRegionsFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData,
                                 int32_t* count, VuskMemRegion** regions);
// Slots 36 and 37 are reserved: their methods are served by the frame.
using VuskReservedFn = int (*)(VUSK_ServiceCntx* context, VuskPluginInfo* info, void* targetData);

// ---- The slot list ---------------------------------------------------------

// X(EnumSuffix, member, signature), in slot order 0..37.
#define VUSK_SLOT_LIST(X)                                         \
  X(VuskInit, vuskInit, VuskSessionFn)                            \
  X(VuskCleanup, vuskCleanup, VuskSessionFn)                      \
  X(TargetInit, targetInit, VuskTargetFn)                         \
  X(TargetCleanup, targetCleanup, VuskTargetFn)                   \
  X(ObjectListInit, objectListInit, VuskObjectListFn)             \
  X(ObjectListCleanup, objectListCleanup, VuskObjectListFn)       \
  X(ObjectListNext, objectListNext, VuskObjectListFn)             \
  X(ObjectListAttribute, objectListAttribute, VuskObjectAttributeFn) \
  X(TaskMemoryAccessSetup, taskMemoryAccessSetup, VuskMemoryAccessFn) \
  X(TaskMemoryAccessRestore, taskMemoryAccessRestore, VuskMemoryAccessFn) \
  X(TaskRegisterRead, taskRegisterRead, VuskRegisterReadFn)       \
  X(TaskRegisterWrite, taskRegisterWrite, VuskRegisterWriteFn)    \
  X(TaskAddressTranslate, taskAddressTranslate, VuskAddressTranslateFn) \
  X(TaskNameGet, taskNameGet, VuskTaskValueFn)                    \
  X(TaskStatusGet, taskStatusGet, VuskTaskValueFn)                \
  X(TaskExecGet, taskExecGet, VuskTaskValueFn)                    \
  X(TaskCpuGet, taskCpuGet, VuskTaskValueFn)                      \
  X(TaskAddressSpaceGet, taskAddressSpaceGet, VuskTaskValueFn)    \
  X(TaskRelocatableGet, taskRelocatableGet, VuskRelocatableFn)    \
  X(TaskSymTabGet, taskSymTabGet, VuskSymTabFn)                   \
  X(CurrentTaskGet, currentTaskGet, VuskCurrentTaskFn)            \
  X(TaskInKernelCheck, taskInKernelCheck, VuskTaskValueFn)        \
  X(TaskInCurrentAddressSpaceCheck, taskInCurrentAddressSpaceCheck, VuskTaskValueFn) \
  X(TaskIsHiddenCheck, taskIsHiddenCheck, VuskTaskValueFn)        \
  X(TaskLsoGet, taskLsoGet, VuskTaskAttributeFn)                  \
  X(TaskTksaGet, taskTksaGet, VuskTaskAttributeFn)                \
  X(AddressSpaceNameGet, addressSpaceNameGet, VuskAddressSpaceNameFn) \
  X(Poll, poll, VuskPollFn)                                       \
  X(TargetNotify, targetNotify, VuskNotifyFn)                     \
  X(VuskCmdExecute, vuskCmdExecute, VuskCommandFn)                \
  X(GuiObjectCheck, guiObjectCheck, VuskGuiObjectFn)              \
  X(ObjectChangedCheck, objectChangedCheck, VuskObjectChangedFn)  \
  X(LifeCycleCountsGet, lifeCycleCountsGet, VuskLifeCycleFn)      \
  X(PageTableGet, pageTableGet, VuskPageTableFn)                  \
  X(MessageInject, messageInject, VuskMessageInjectFn)            \
  X(KernelMemoryRegionsGet, kernelMemoryRegionsGet, VuskMemRegionsFn) \
  X(HistoryLogDump, historyLogDump, VuskReservedFn)               \
  X(Exit, exit, VuskReservedFn)

enum VuskSlot : int32_t {
#define VUSK_SLOT_ENUM(Suffix, member, Type) kSlot##Suffix,
  VUSK_SLOT_LIST(VUSK_SLOT_ENUM)
#undef VUSK_SLOT_ENUM
  kVuskSlotCount
};
static_assert(kVuskSlotCount == 38, "the callback table has 38 slots");

// One typed function pointer per slot, in slot order; null = not served by
// the awareness logic.
struct VuskCallbackTable {
#define VUSK_SLOT_MEMBER(Suffix, member, Type) Type member;
  VUSK_SLOT_LIST(VUSK_SLOT_MEMBER)
#undef VUSK_SLOT_MEMBER
};
static_assert(sizeof(VuskCallbackTable) == kVuskSlotCount * sizeof(void*), "38 pointer-sized slots");
#define VUSK_SLOT_OFFSET(Suffix, member, Type) \
  static_assert(offsetof(VuskCallbackTable, member) == kSlot##Suffix * sizeof(void*), #member " sits at its index");
VUSK_SLOT_LIST(VUSK_SLOT_OFFSET)
#undef VUSK_SLOT_OFFSET

// The process-wide table: empty until the awareness logic fills it at start.
extern VuskCallbackTable vuskCallbackTable;

// True when the table has a function in the slot (false for an index out of
// range).
bool VuskSlotFilled(const VuskCallbackTable* table, int32_t slot);
