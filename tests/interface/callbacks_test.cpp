// The methods with callbacks in their slots: what the callbacks receive, how
// their out-records become result members, statuses passed through, and the
// texts and arrays they hand out being freed (LeakSanitizer watches).
#include <cstring>
#include <string>

#include "interface_fixture.h"
#include "shared/port_alloc.h"

namespace {

const std::string kFailed = Envelope("{ \"return\" : 1 }");

// What the last callback saw.
struct Seen {
  int calls;
  int32_t type;
  uint64_t taskId;
  int64_t core;
  int notFromTask;
  int32_t objTypeId;
  bool hadParent;
  VuskParentRef parent;
  std::string text;
};
Seen g_seen;

class Callbacks : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    g_seen = Seen{};
  }
};

TEST_F(Callbacks, TextRecordsAreSentAndFreed) {
  vuskCallbackTable.taskNameGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t taskId, VuskValue* value) {
    g_seen.type = value->type;
    g_seen.taskId = taskId;
    value->value.string = PortStrdup("main \"thread\"");
    return 0;
  };
  EXPECT_EQ(Call("TaskNameGet", WithContext("\"taskId\":18446744073709551615")),
            Envelope("{ \"name\" : \"main \\\"thread\\\"\", \"return\" : 0 }"));
  EXPECT_EQ(g_seen.type, VUSK_TYPE_STRING);
  EXPECT_EQ(g_seen.taskId, UINT64_MAX);

  // A failing callback's text is freed too, and its status passes through.
  vuskCallbackTable.taskStatusGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, VuskValue* value) {
    value->value.string = PortStrdup("half");
    return 3;
  };
  EXPECT_EQ(Call("TaskStatusGet", WithContext("\"taskId\":1")), Envelope("{ \"return\" : 3 }"));
  vuskCallbackTable.addressSpaceNameGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t id,
                                             VuskValue* value) {
    value->value.string = PortStrdup(id == 7 ? "kernel" : "user");
    return 0;
  };
  EXPECT_EQ(Call("AddressSpaceNameGet", WithContext("\"addressSpaceId\":7")),
            Envelope("{ \"name\" : \"kernel\", \"return\" : 0 }"));
}

TEST_F(Callbacks, ValueTypesFollowTheRequestAndTheCallback) {
  vuskCallbackTable.taskCpuGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, VuskValue* value) {
    g_seen.type = value->type;
    if (value->type == VUSK_TYPE_STRING) {
      value->value.string = PortStrdup("core1");
    } else {
      value->value.u64 = 2;
    }
    return 0;
  };
  EXPECT_EQ(Call("TaskCpuGet", WithContext("\"taskId\":1,\"valueType\":5")),
            Envelope("{ \"cpu\" : 2, \"return\" : 0 }"));
  EXPECT_EQ(g_seen.type, VUSK_TYPE_UINT64);
  EXPECT_EQ(Call("TaskCpuGet", WithContext("\"taskId\":1")), Envelope("{ \"cpu\" : \"core1\", \"return\" : 0 }"));

  // ObjectListAttribute: integer codes ask for 11, everything else for a text.
  vuskCallbackTable.objectListAttribute = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t objTypeId,
                                             const VuskParentRef* parent, int32_t, VuskValue* value) {
    g_seen.type = value->type;
    g_seen.objTypeId = objTypeId;
    g_seen.hadParent = parent != nullptr;
    if (parent) g_seen.parent = *parent;
    if (value->type == VUSK_TYPE_STRING) {
      value->value.string = PortStrdup("Ready");
    } else {
      value->type = VUSK_TYPE_INT32;  // a signed 32-bit answer
      value->value.i32 = -2;
    }
    return 0;
  };
  const int32_t kTextTypes[] = {0, 8, 9, 12, -1};
  for (int32_t type : kTextTypes) {
    EXPECT_EQ(Call("ObjectListAttribute",
                   WithContext("\"objTypeId\":3,\"objAtrId\":1,\"valueType\":" + std::to_string(type))),
              Envelope("{ \"objAtrValue\" : \"Ready\", \"return\" : 0 }"));
    EXPECT_EQ(g_seen.type, VUSK_TYPE_STRING);
  }
  const int32_t kIntegerTypes[] = {1, 2, 3, 4, 5, 6, 7, 10, 11};
  for (int32_t type : kIntegerTypes) {
    EXPECT_EQ(Call("ObjectListAttribute",
                   WithContext("\"objTypeId\":3,\"objAtrId\":1,\"valueType\":" + std::to_string(type) +
                               ",\"parentObjTypeId\":2,\"parentObjId\":4096")),
              Envelope("{ \"objAtrValue\" : -2, \"return\" : 0 }"));
    EXPECT_EQ(g_seen.type, VUSK_TYPE_UINT64);
  }
  EXPECT_EQ(g_seen.objTypeId, 3);
  ASSERT_TRUE(g_seen.hadParent);
  EXPECT_EQ(g_seen.parent.parentObjId, 4096u);
  EXPECT_EQ(g_seen.parent.parentObjTypeId, 2);
  EXPECT_EQ(g_seen.parent.parentObjListId, -1);
  EXPECT_EQ(g_seen.parent.reserved, 0u);
}

TEST_F(Callbacks, ObjectListInitSendsShowObjectNumberWhateverTheStatus) {
  vuskCallbackTable.objectListInit = [](VUSK_ServiceCntx*, VuskPluginInfo* info, void*, int32_t objTypeId,
                                        const VuskParentRef* parent) {
    g_seen.hadParent = parent != nullptr;
    VuskInfoSet(info, kInfoShowObjectNumber, false);
    return objTypeId == 0 ? 2 : 0;
  };
  EXPECT_EQ(Call("ObjectListInit", WithContext("\"objTypeId\":0")),
            Envelope("{ \"showObjectNumber\" : 0, \"return\" : 2 }"));
  EXPECT_FALSE(g_seen.hadParent);
  EXPECT_EQ(Call("ObjectListInit", WithContext("\"objTypeId\":0,\"parentObjTypeId\":1")), kFailed);
}

TEST_F(Callbacks, TargetInitAndCleanupOwnTheTargetData) {
  vuskCallbackTable.targetInit = [](VUSK_ServiceCntx*, VuskPluginInfo* info, void** targetData) {
    // The frame hands what it releases to the linked awareness logic: a zeroed
    // block larger than any awareness record passes for an empty one.
    *targetData = PortAllocZero(1, 16384);
    info->pageSize = 4096;
    info->noiceMask = 0xFFFFFFFF;
    VuskInfoSet(info, kInfoKernelInPhysicalAddress, true);
    return 1;
  };
  EXPECT_EQ(Call("TargetInit", WithContext("\"majorCpuType\":1,\"minorCpuType\":2,\"bigEndianTarget\":0,"
                                           "\"bigEndianHost\":0,\"fixVuskMemSpc\":1,\"distinguishCpuModes\":0")),
            Envelope("{ \"vuskKernelMajorVersion\" : 0, \"vuskKernelMinorVersion\" : 0, \"pageSize\" : 4096, "
                     "\"kernelInPhysicalAddress\" : 1, \"distinguishCpuModes\" : 0, \"fixVuskMemSpc\" : 1, "
                     "\"noiceMask\" : -1, \"return\" : 1 }"));
  ASSERT_NE(context_->targetData, nullptr);
  // The callback leaves the data behind; the handler frees it.
  vuskCallbackTable.targetCleanup = [](VUSK_ServiceCntx*, VuskPluginInfo*, void** targetData) {
    g_seen.calls++;
    return *targetData ? 0 : 1;
  };
  EXPECT_EQ(Call("TargetCleanup", WithContext()), Envelope("{ \"return\" : 0 }"));
  EXPECT_EQ(context_->targetData, nullptr);
  EXPECT_EQ(g_seen.calls, 1);
}

TEST_F(Callbacks, TaskSymTabGetWithNamedSections) {
  vuskCallbackTable.taskSymTabGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, const char* kernelExec,
                                       VuskSymTab* tab) {
    g_seen.text = kernelExec ? kernelExec : "(none)";
    tab->count = 2;
    tab->fileNames = static_cast<char**>(PortAllocZero(2, sizeof(char*)));
    tab->fileNames[0] = PortStrdup("app.elf");  // the second stays null
    tab->masks = static_cast<int32_t*>(PortAllocZero(2, sizeof(int32_t)));
    tab->masks[0] = 7;
    tab->masks[1] = -1;
    VuskValue** sections[] = {&tab->text, &tab->rodata, &tab->data, &tab->bss, &tab->extra};
    for (int s = 0; s < 5; s++) {
      *sections[s] = static_cast<VuskValue*>(PortAllocZero(2, sizeof(VuskValue)));
      (*sections[s])[0].value.u64 = 0x1000u * (s + 1);
      (*sections[s])[1].value.u64 = 0x1000u * (s + 1) + 1;
    }
    tab->namedSectionCounts = static_cast<int32_t*>(PortAllocZero(2, sizeof(int32_t)));
    tab->namedSectionCounts[0] = 2;
    tab->namedSectionNames = static_cast<char***>(PortAllocZero(2, sizeof(char**)));
    tab->namedSectionOffsets = static_cast<VuskValue**>(PortAllocZero(2, sizeof(VuskValue*)));
    tab->namedSectionNames[0] = static_cast<char**>(PortAllocZero(2, sizeof(char*)));
    tab->namedSectionNames[0][0] = PortStrdup(".init");
    tab->namedSectionNames[0][1] = PortStrdup(".fini");
    tab->namedSectionOffsets[0] = static_cast<VuskValue*>(PortAllocZero(2, sizeof(VuskValue)));
    tab->namedSectionOffsets[0][0].value.u64 = 16;
    tab->namedSectionOffsets[0][1].value.u64 = 32;
    return 0;
  };
  EXPECT_EQ(Call("TaskSymTabGet", WithContext("\"taskId\":1,\"kernelExecName\":\"vmlinux\"")),
            Envelope("{ \"count\" : 2, \"fileName\" : [ \"app.elf\", \"\" ], \"mask\" : [ 7, -1 ], "
                     "\"text\" : [ 4096, 4097 ], \"rodata\" : [ 8192, 8193 ], \"data\" : [ 12288, 12289 ], "
                     "\"bss\" : [ 16384, 16385 ], \"extra\" : [ 20480, 20481 ], \"namedSectionCounts\" : [ 2, 0 ], "
                     "\"namedSectionNames\" : [ [ \".init\", \".fini\" ], [  ] ], "
                     "\"namedSectionOffsets\" : [ [ 16, 32 ], [  ] ], \"return\" : 0 }"));
  EXPECT_EQ(g_seen.text, "vmlinux");
  Call("TaskSymTabGet", WithContext("\"taskId\":1"));
  EXPECT_EQ(g_seen.text, "(none)");
}

TEST_F(Callbacks, TaskSymTabGetWithAFileMissingItsSectionList) {
  vuskCallbackTable.taskSymTabGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, const char*,
                                       VuskSymTab* tab) {
    tab->count = 1;
    tab->fileNames = static_cast<char**>(PortAllocZero(1, sizeof(char*)));
    tab->fileNames[0] = PortStrdup("a");
    tab->masks = static_cast<int32_t*>(PortAllocZero(1, sizeof(int32_t)));
    VuskValue** sections[] = {&tab->text, &tab->rodata, &tab->data, &tab->bss, &tab->extra};
    for (VuskValue** section : sections) *section = static_cast<VuskValue*>(PortAllocZero(1, sizeof(VuskValue)));
    tab->namedSectionCounts = static_cast<int32_t*>(PortAllocZero(1, sizeof(int32_t)));
    tab->namedSectionCounts[0] = 1;
    tab->namedSectionNames = static_cast<char***>(PortAllocZero(1, sizeof(char**)));
    tab->namedSectionNames[0] = static_cast<char**>(PortAllocZero(1, sizeof(char*)));
    tab->namedSectionNames[0][0] = PortStrdup(".text");
    return 0;  // no offset lists at all
  };
  EXPECT_EQ(Call("TaskSymTabGet", WithContext("\"taskId\":1")),
            Envelope("{ \"count\" : 1, \"fileName\" : [ \"a\" ], \"mask\" : [ 0 ], \"text\" : [ 0 ], "
                     "\"rodata\" : [ 0 ], \"data\" : [ 0 ], \"bss\" : [ 0 ], \"extra\" : [ 0 ], "
                     "\"namedSectionCounts\" : [ 1 ], \"namedSectionNames\" : [  ], "
                     "\"namedSectionOffsets\" : [  ], \"return\" : 1 }"));
}

TEST_F(Callbacks, LifeCycleCountsGet) {
  vuskCallbackTable.lifeCycleCountsGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t objTypeId,
                                            uint64_t objId, int32_t subObjTypeId, VuskValue* count,
                                            VuskValue** lifeCycle) {
    g_seen.type = count->type;
    g_seen.objTypeId = objTypeId;
    g_seen.taskId = objId;
    g_seen.core = subObjTypeId;
    count->value.u64 = 3;
    if (objTypeId == 9) return 0;  // a count without its array
    *lifeCycle = static_cast<VuskValue*>(PortAllocZero(3, sizeof(VuskValue)));
    for (int i = 0; i < 3; i++) (*lifeCycle)[i].value.u64 = 10u + i;
    return 0;
  };
  EXPECT_EQ(Call("LifeCycleCountsGet", WithContext()),
            Envelope("{ \"count\" : 3, \"lifeCycle\" : [ 10, 11, 12 ], \"return\" : 0 }"));
  EXPECT_EQ(g_seen.type, VUSK_TYPE_UINT64);
  EXPECT_EQ(g_seen.objTypeId, -1);
  EXPECT_EQ(g_seen.taskId, 0u);
  EXPECT_EQ(g_seen.core, -1);
  EXPECT_EQ(Call("LifeCycleCountsGet", WithContext("\"objTypeId\":9,\"objId\":5,\"subObjTypeId\":1")),
            Envelope("{ \"count\" : 3, \"return\" : 1 }"));
  EXPECT_EQ(g_seen.taskId, 5u);
  EXPECT_EQ(g_seen.core, 1);
}

TEST_F(Callbacks, PageTableGet) {
  vuskCallbackTable.pageTableGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t domainId,
                                      uint64_t** physLow, uint64_t** virtLow, VuskValue** sizes, uint64_t** aid,
                                      VuskValue* count) {
    count->value.u64 = 2;
    *physLow = static_cast<uint64_t*>(PortAllocZero(2, sizeof(uint64_t)));
    *virtLow = static_cast<uint64_t*>(PortAllocZero(2, sizeof(uint64_t)));
    *sizes = static_cast<VuskValue*>(PortAllocZero(2, sizeof(VuskValue)));
    (*physLow)[1] = 0x8000;
    (*virtLow)[1] = 0xC0008000;
    (*sizes)[0].value.u64 = 4096;
    (*sizes)[1].value.u64 = 8192;
    if (domainId == 1) return 1;  // everything is freed all the same
    *aid = static_cast<uint64_t*>(PortAllocZero(2, sizeof(uint64_t)));
    (*aid)[0] = domainId;
    return 0;
  };
  EXPECT_EQ(Call("PageTableGet", WithContext("\"domainId\":4")),
            Envelope("{ \"count\" : 2, \"physLowArray\" : [ 0, 32768 ], \"virtLowArray\" : [ 0, 3221258240 ], "
                     "\"regionSize\" : [ 4096, 8192 ], \"aidArray\" : [ 4, 0 ], \"return\" : 0 }"));
  EXPECT_EQ(Call("PageTableGet", WithContext("\"domainId\":1")), kFailed);
}

TEST_F(Callbacks, KernelMemoryRegionsGet) {
  vuskCallbackTable.kernelMemoryRegionsGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t* count,
                                                VuskMemRegion** regions) {
    *count = 2;
    *regions = static_cast<VuskMemRegion*>(PortAllocZero(2, sizeof(VuskMemRegion)));
    (*regions)[0] = VuskMemRegion{0x100, 0x1FF, 5, 0x8100, 0x81FF};
    (*regions)[1] = VuskMemRegion{0x200, 0x2FF, 6, 0x8200, 0x82FF};
    return 0;
  };
  EXPECT_EQ(Call("KernelMemoryRegionsGet", WithContext()),
            Envelope("{ \"numRegions\" : 2, \"beginArray\" : [ 256, 512 ], \"physicalBeginArray\" : [ 33024, 33280 ], "
                     "\"endArray\" : [ 511, 767 ], \"physicalEndArray\" : [ 33279, 33535 ], "
                     "\"attributesArray\" : [ 5, 6 ], \"return\" : 0 }"));
}

TEST_F(Callbacks, GuiObjectCheckNames) {
  vuskCallbackTable.guiObjectCheck = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, const VuskGuiObject* in,
                                        VuskGuiObject* out) {
    EXPECT_EQ(out->objTypeName, nullptr);
    EXPECT_EQ(out->objTypeId, in->objTypeId);
    EXPECT_EQ(out->visible, in->visible);
    if (in->objTypeId == 1) out->objTypeName = PortStrdup("Timers");
    if (in->objTypeId == 2) out->objTypeName = in->objTypeName;
    out->visible = 7;
    return in->objTypeId == 3 ? 3 : 0;
  };
  EXPECT_EQ(Call("GuiObjectCheck", WithContext("\"objTypeName\":\"T\",\"objTypeId\":1,\"visible\":0")),
            Envelope("{ \"objTypeName\" : \"Timers\", \"visible\" : 1, \"return\" : 0 }"));
  EXPECT_EQ(Call("GuiObjectCheck", WithContext("\"objTypeName\":\"T\",\"objTypeId\":2,\"visible\":0")),
            Envelope("{ \"objTypeName\" : \"T\", \"visible\" : 1, \"return\" : 0 }"));
  EXPECT_EQ(Call("GuiObjectCheck", WithContext("\"objTypeName\":\"T\",\"objTypeId\":0,\"visible\":0")),
            Envelope("{ \"objTypeName\" : \"T\", \"visible\" : 1, \"return\" : 0 }"));
  EXPECT_EQ(Call("GuiObjectCheck", WithContext("\"objTypeName\":\"T\",\"objTypeId\":3,\"visible\":1")),
            Envelope("{ \"return\" : 3 }"));
}

TEST_F(Callbacks, TaskMethodsPassTheirArguments) {
  vuskCallbackTable.taskAddressTranslate = [](VUSK_ServiceCntx* context, VuskPluginInfo*, void*, uint64_t,
                                              int32_t* memorySpace, uint64_t address, int notFromTask,
                                              VuskValue* translated) {
    g_seen.notFromTask = notFromTask;
    g_seen.type = translated->type;
    g_seen.calls = context->wantPhysicalAddress;
    *memorySpace += 1;
    translated->value.u64 = address | 0x80000000u;
    return 0;
  };
  EXPECT_EQ(Call("TaskAddressTranslate",
                 WithContext("\"taskId\":1,\"memorySpace\":2,\"address\":4096,\"fromTask\":0,\"wantPhysicalAddress\":1")),
            Envelope("{ \"memorySpace\" : 3, \"address\" : 2147487744, \"return\" : 0 }"));
  EXPECT_EQ(g_seen.notFromTask, 1);
  EXPECT_EQ(g_seen.type, VUSK_TYPE_ADDRESS);
  EXPECT_EQ(g_seen.calls, 1);
  Call("TaskAddressTranslate",
       WithContext("\"taskId\":1,\"memorySpace\":2,\"address\":4096,\"fromTask\":false,\"wantPhysicalAddress\":true"));
  EXPECT_EQ(g_seen.notFromTask, 0);
  EXPECT_EQ(g_seen.calls, 0);

  vuskCallbackTable.currentTaskGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int64_t core, uint64_t* taskId) {
    g_seen.core = core;
    *taskId = 0xFFFFFFFF00000001u;
    return 0;
  };
  EXPECT_EQ(Call("CurrentTaskGet", WithContext("\"checkInKernel\":0,\"coreId\":3,\"coreInUserMode\":1")),
            Envelope("{ \"taskId\" : -4294967295, \"return\" : 0 }"));
  EXPECT_EQ(g_seen.core, 2);
  EXPECT_TRUE(VuskCntxHas(context_, kCntxNotInKernel));
  Call("CurrentTaskGet", WithContext("\"checkInKernel\":1,\"hostCoreId\":2"));
  EXPECT_EQ(g_seen.core, 1);
  EXPECT_FALSE(VuskCntxHas(context_, kCntxNotInKernel));
  Call("CurrentTaskGet", WithContext("\"checkInKernel\":1,\"coreId\":3"));
  Call("CurrentTaskGet", WithContext("\"checkInKernel\":1"));
  EXPECT_EQ(g_seen.core, kVuskNoCore);
  // One entry per core, the latest mode winning.
  ASSERT_EQ(context_->coreModeCount, 3);
  EXPECT_EQ(context_->coreModes[0].core, 2);
  EXPECT_EQ(context_->coreModes[0].inUserMode, 0);

  vuskCallbackTable.taskRelocatableGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, VuskValue* text,
                                            VuskValue* rodata, VuskValue* data, VuskValue* bss, VuskValue* extra) {
    VuskValue* all[] = {text, rodata, data, bss, extra};
    for (int i = 0; i < 5; i++) all[i]->value.u64 = 100u + i;
    return 0;
  };
  EXPECT_EQ(Call("TaskRelocatableGet", WithContext("\"taskId\":1")),
            Envelope("{ \"text\" : 100, \"rodata\" : 101, \"data\" : 102, \"bss\" : 103, \"extra\" : 104, "
                     "\"return\" : 0 }"));

  vuskCallbackTable.taskLsoGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, uint64_t attribute,
                                    VuskValue* value) {
    value->value.i64 = -static_cast<int64_t>(attribute);
    return value->type == VUSK_TYPE_INT64 ? 0 : 1;
  };
  EXPECT_EQ(Call("TaskLsoGet", WithContext("\"taskId\":1,\"taskAttribute\":8")),
            Envelope("{ \"offset\" : -8, \"return\" : 0 }"));
  vuskCallbackTable.taskInKernelCheck = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, VuskValue* value) {
    value->value.u32 = 0xFFFFFFFF;
    return value->type == VUSK_TYPE_UINT32 ? 0 : 1;
  };
  EXPECT_EQ(Call("TaskInKernelCheck", WithContext("\"taskId\":1")), Envelope("{ \"result\" : -1, \"return\" : 0 }"));
  vuskCallbackTable.taskRegisterRead = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, int32_t reg,
                                          uint64_t* value) {
    *value = static_cast<uint64_t>(reg) * 2;
    return reg < 0 ? 1 : 0;
  };
  EXPECT_EQ(Call("TaskRegisterRead", WithContext("\"taskId\":1,\"register\":21")),
            Envelope("{ \"value\" : 42, \"return\" : 0 }"));
  EXPECT_EQ(Call("TaskRegisterRead", WithContext("\"taskId\":1,\"register\":-1")), kFailed);
}

TEST_F(Callbacks, SessionFlagsReachTheCallbacks) {
  vuskCallbackTable.targetNotify = [](VUSK_ServiceCntx* context, VuskPluginInfo*, void*, int32_t notice) {
    g_seen.calls = notice;
    g_seen.type = context->flags2;
    g_seen.notFromTask = VuskCntxHas(context, kCntxExplorerIsActive);
    return 0;
  };
  Call("TargetNotify", WithContext("\"notice\":4,\"explorerIsActive\":1,\"wholeTargetHalted\":1,\"traecIsActive\":1"));
  EXPECT_EQ(g_seen.calls, 4);
  EXPECT_EQ(g_seen.type, kCntx2TraecIsActive | kCntx2WholeTargetHalted);
  EXPECT_EQ(g_seen.notFromTask, 1);
  Call("TargetNotify", WithContext("\"notice\":0"));
  EXPECT_EQ(g_seen.type, 0);
  EXPECT_EQ(g_seen.notFromTask, 0);

  vuskCallbackTable.vuskCmdExecute = [](VUSK_ServiceCntx* context, VuskPluginInfo*, void*, const char* command) {
    g_seen.text = command;
    g_seen.core = context->hostCore;
    g_seen.calls = VuskCntxHas(context, kCntxInUserMode) + 2 * VuskCntxHas(context, kCntxAbortAction);
    return 1;
  };
  EXPECT_EQ(Call("VuskCmd_Execute", WithContext("\"command\":\"cpu\",\"hostCoreId\":1,\"inUserMode\":1,"
                                                "\"abortAction\":5")),
            kFailed);
  EXPECT_EQ(g_seen.text, "cpu");
  EXPECT_EQ(g_seen.core, 0);
  EXPECT_EQ(g_seen.calls, 3);

  vuskCallbackTable.vuskCleanup = [](VUSK_ServiceCntx* context, VuskPluginInfo*) {
    g_seen.taskId = context->handle;
    return 6;
  };
  EXPECT_EQ(Call("VuskCleanup", WithContext()), Envelope("{ \"return\" : 6 }"));
  EXPECT_EQ(g_seen.taskId, handle_);
  EXPECT_EQ(VuskContextFind(handle_), nullptr);
}

TEST(VuskValue, IntegersFollowTheTypeWidthAndSign) {
  VuskValue value = VuskValueOfType(VUSK_TYPE_INT8);
  VuskValueStoreInteger(&value, 0x1FF);
  EXPECT_EQ(value.value.u64, 0xFFu);  // nothing beyond the type's width
  EXPECT_EQ(VuskValueToInt64(&value), -1);
  value.type = VUSK_TYPE_UINT8;
  EXPECT_EQ(VuskValueToInt64(&value), 255);
  value = VuskValueOfType(VUSK_TYPE_INT32);
  VuskValueStoreInteger(&value, 0xFFFFFFFE);
  EXPECT_EQ(VuskValueToInt64(&value), -2);
  value.type = VUSK_TYPE_UINT32;
  EXPECT_EQ(VuskValueToInt64(&value), 4294967294);
  value = VuskValueOfType(VUSK_TYPE_DOUBLE);
  VuskValueStoreInteger(&value, 12);
  EXPECT_EQ(value.value.f64, 12.0);
  EXPECT_EQ(VuskValueToInt64(&value), 12);
  value = VuskValueOfType(VUSK_TYPE_STRING);
  VuskValueStoreInteger(&value, 5);  // a text record is left alone
  EXPECT_EQ(value.value.string, nullptr);
  EXPECT_TRUE(VuskValueTypeIsInteger(VUSK_TYPE_ADDRESS));
  EXPECT_FALSE(VuskValueTypeIsInteger(VUSK_TYPE_FLOAT));
  EXPECT_FALSE(VuskValueTypeIsInteger(VUSK_TYPE_COUNT));
}

}  // namespace
