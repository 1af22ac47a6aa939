// The method catalogue seen from the host with every slot empty: the answers
// without a context, without each required member, the empty-slot defaults,
// flags sent as JSON booleans, VuskInit's command list, TargetInit's arrays,
// and the frame's own methods.
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interface_fixture.h"
#include "tests/config/config_test_util.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_client.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

const std::string kFailed = Envelope("{ \"return\" : 1 }");
const std::string kDone = Envelope("{ \"return\" : 0 }");

struct MethodCase {
  const char* method;
  const char* members;  // a complete set of params besides "context"
  std::vector<const char*> required;
  const char* emptySlotResult;
};

const std::vector<MethodCase> kCases = {
    {"TargetInit", "\"majorCpuType\":1,\"minorCpuType\":2,\"bigEndianTarget\":0,\"bigEndianHost\":0",
     {"majorCpuType", "minorCpuType", "bigEndianTarget", "bigEndianHost"},
     "{ \"vuskKernelMajorVersion\" : 0, \"vuskKernelMinorVersion\" : 0, \"pageSize\" : 0, "
     "\"kernelInPhysicalAddress\" : 0, \"distinguishCpuModes\" : 1, \"fixVuskMemSpc\" : 0, \"noiceMask\" : 0, "
     "\"return\" : 0 }"},
    {"TargetCleanup", "", {}, "{ \"return\" : 0 }"},
    {"ObjectListInit", "\"objTypeId\":0", {"objTypeId"}, "{ \"showObjectNumber\" : 1, \"return\" : 0 }"},
    {"ObjectListInit", "\"objTypeId\":0,\"parentObjTypeId\":2,\"parentObjId\":4096", {"objTypeId", "parentObjId"},
     "{ \"showObjectNumber\" : 1, \"return\" : 0 }"},
    {"ObjectListCleanup", "\"objTypeId\":1", {"objTypeId"}, "{ \"return\" : 0 }"},
    {"ObjectListNext", "\"objTypeId\":1", {"objTypeId"}, "{ \"return\" : 0 }"},
    {"ObjectListAttribute", "\"objTypeId\":0,\"objAtrId\":3,\"valueType\":0", {"objTypeId", "objAtrId", "valueType"},
     "{ \"objAtrValue\" : \"\", \"return\" : 0 }"},
    {"ObjectListAttribute", "\"objTypeId\":0,\"objAtrId\":3,\"valueType\":11", {"objTypeId", "objAtrId", "valueType"},
     "{ \"objAtrValue\" : 0, \"return\" : 0 }"},
    {"TaskMemoryAccessSetup", "\"taskId\":1,\"memorySpace\":0,\"address\":16,\"count\":1,\"size\":4,\"read\":1",
     {"taskId", "memorySpace", "address", "count", "size", "read"}, "{ \"return\" : 0 }"},
    {"TaskMemoryAccessRestore", "\"taskId\":1,\"memorySpace\":0,\"address\":16,\"count\":1,\"size\":4,\"read\":1",
     {"taskId", "memorySpace", "address", "count", "size", "read"}, "{ \"return\" : 0 }"},
    {"TaskRegisterRead", "\"taskId\":1,\"register\":2", {"taskId", "register"}, "{ \"value\" : 0, \"return\" : 0 }"},
    {"TaskRegisterWrite", "\"taskId\":1,\"register\":2,\"value\":3", {"taskId", "register", "value"},
     "{ \"return\" : 0 }"},
    {"TaskAddressTranslate", "\"taskId\":1,\"memorySpace\":5,\"address\":4096", {"taskId", "memorySpace", "address"},
     "{ \"memorySpace\" : 5, \"address\" : 0, \"return\" : 0 }"},
    {"TaskNameGet", "\"taskId\":1", {"taskId"}, "{ \"name\" : \"\", \"return\" : 0 }"},
    {"TaskStatusGet", "\"taskId\":1", {"taskId"}, "{ \"status\" : \"\", \"return\" : 0 }"},
    {"TaskExecGet", "\"taskId\":1", {"taskId"}, "{ \"executable\" : \"\", \"return\" : 0 }"},
    {"TaskCpuGet", "\"taskId\":1", {"taskId"}, "{ \"cpu\" : \"\", \"return\" : 0 }"},
    {"TaskCpuGet", "\"taskId\":1,\"valueType\":11", {"taskId"}, "{ \"cpu\" : 0, \"return\" : 0 }"},
    {"TaskAddressSpaceGet", "\"taskId\":1,\"wantName\":0", {"taskId", "wantName"},
     "{ \"addressSpace\" : 0, \"return\" : 0 }"},
    {"TaskAddressSpaceGet", "\"taskId\":1,\"wantName\":1", {"taskId", "wantName"},
     "{ \"addressSpace\" : \"\", \"return\" : 0 }"},
    // A flag is nonzero in any of its 64 bits; an int32 member only in its low 32.
    {"TaskAddressSpaceGet", "\"taskId\":1,\"wantName\":4294967296", {"taskId", "wantName"},
     "{ \"addressSpace\" : \"\", \"return\" : 0 }"},
    {"TaskCpuGet", "\"taskId\":1,\"valueType\":4294967296", {"taskId"}, "{ \"cpu\" : \"\", \"return\" : 0 }"},
    {"TaskSymTabGet", "\"taskId\":1,\"kernelExecName\":\"kernel.elf\"", {"taskId"},
     "{ \"count\" : 0, \"fileName\" : [  ], \"mask\" : [  ], \"text\" : [  ], \"rodata\" : [  ], \"data\" : [  ], "
     "\"bss\" : [  ], \"extra\" : [  ], \"return\" : 0 }"},
    {"TaskRelocatableGet", "\"taskId\":1", {"taskId"},
     "{ \"text\" : 0, \"rodata\" : 0, \"data\" : 0, \"bss\" : 0, \"extra\" : 0, \"return\" : 0 }"},
    {"CurrentTaskGet", "\"checkInKernel\":1,\"coreId\":2", {"checkInKernel"}, "{ \"taskId\" : 0, \"return\" : 0 }"},
    {"TaskInKernelCheck", "\"taskId\":1", {"taskId"}, "{ \"result\" : 0, \"return\" : 0 }"},
    {"TaskInCurrentAddressSpaceCheck", "\"taskId\":1", {"taskId"}, "{ \"result\" : 0, \"return\" : 0 }"},
    {"AddressSpaceNameGet", "\"addressSpaceId\":7", {"addressSpaceId"}, "{ \"name\" : \"\", \"return\" : 0 }"},
    {"TaskIsHiddenCheck", "\"taskId\":1", {"taskId"}, "{ \"result\" : 0, \"return\" : 0 }"},
    {"TaskLsoGet", "\"taskId\":1,\"taskAttribute\":2", {"taskId"}, "{ \"offset\" : 0, \"return\" : 0 }"},
    {"TaskTksaGet", "\"taskId\":1", {"taskId"}, "{ \"value\" : 0, \"return\" : 0 }"},
    {"Poll", "", {}, "{ \"return\" : 0 }"},
    {"TargetNotify", "\"notice\":0,\"explorerIsActive\":1", {"notice"}, "{ \"return\" : 0 }"},
    {"VuskCmd_Execute", "\"command\":\"cpumajor16\"", {"command"}, "{ \"return\" : 0 }"},
    {"GuiObjectCheck", "\"objTypeName\":\"Threads\",\"objTypeId\":0,\"visible\":1",
     {"objTypeName", "objTypeId", "visible"}, "{ \"objTypeName\" : \"Threads\", \"visible\" : 1, \"return\" : 0 }"},
    {"ObjectChangedCheck", "\"objTypeId\":0,\"objId\":4096", {}, "{ \"changeMask\" : 0, \"return\" : 0 }"},
    {"LifeCycleCountsGet", "", {}, "{ \"count\" : 0, \"lifeCycle\" : [  ], \"return\" : 0 }"},
    {"PageTableGet", "\"domainId\":3", {},
     "{ \"count\" : 0, \"physLowArray\" : [  ], \"virtLowArray\" : [  ], \"regionSize\" : [  ], \"aidArray\" : [  ], "
     "\"return\" : 0 }"},
    {"MessageInject", "\"objTypeId\":0,\"objId\":1,\"message\":\"hello\"", {"objTypeId", "objId", "message"},
     "{ \"return\" : 0 }"},
    {"KernelMemoryRegionsGet", "", {}, "{ \"numRegions\" : 0, \"return\" : 0 }"},
};

// The params text with one member removed, or replaced by a JSON true.
std::string Altered(const std::string& params, const char* name, bool replaceByTrue) {
  std::string error;
  JsonValue* object = JsonParse(params.c_str(), &error);
  if (replaceByTrue) {
    JsonObjectSet(object, name, JsonNewBool(1));
  } else {
    JsonObjectTake(object, name, nullptr);
  }
  std::string text;
  JsonWriteValue(&text, object);
  JsonFree(object);
  return text;
}

class Catalogue : public InterfaceTest {};

TEST_F(Catalogue, EveryMethodWithoutALiveContextFails) {
  for (const MethodCase& c : kCases) {
    std::string members = c.members;
    SCOPED_TRACE(c.method);
    EXPECT_EQ(Call(c.method, "{" + members + "}"), kFailed);
    std::string sep = members.empty() ? "" : ",";
    EXPECT_EQ(Call(c.method, "{\"context\":987654" + sep + members + "}"), kFailed);
    EXPECT_EQ(Call(c.method, "{\"context\":\"" + std::to_string(handle_) + "\"" + sep + members + "}"), kFailed);
    EXPECT_EQ(Call(c.method, "5"), kFailed);
    EXPECT_EQ(Call(c.method, "null"), kFailed);
  }
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":987654}"), kFailed);
}

TEST_F(Catalogue, EveryRequiredMemberMissingOrOfAnotherKindFails) {
  for (const MethodCase& c : kCases) {
    std::string full = WithContext(c.members);
    for (const char* name : c.required) {
      SCOPED_TRACE(std::string(c.method) + " without " + name);
      EXPECT_EQ(Call(c.method, Altered(full, name, false)), kFailed);
      EXPECT_EQ(Call(c.method, Altered(full, name, true)), kFailed);
    }
  }
}

TEST_F(Catalogue, EmptySlotsGiveTheDefaultAnswers) {
  for (const MethodCase& c : kCases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(Call(c.method, WithContext(c.members)), Envelope(c.emptySlotResult));
  }
}

TEST_F(Catalogue, FlagsSentAsBooleansCountAsAbsent) {
  Call("TargetInit", WithContext("\"majorCpuType\":1,\"minorCpuType\":2,\"bigEndianTarget\":0,\"bigEndianHost\":0,"
                                 "\"kernelInPhysicalAddress\":true,\"distinguishCpuModes\":false,"
                                 "\"isSimulator\":true,\"inUserMode\":true,\"abortAction\":true"));
  EXPECT_FALSE(VuskInfoHas(&context_->info, kInfoKernelInPhysicalAddress));
  EXPECT_TRUE(VuskInfoHas(&context_->info, kInfoDistinguishCpuModes));
  EXPECT_FALSE(VuskCntxHas(context_, kCntxIsSimulator));
  EXPECT_FALSE(VuskCntxHas(context_, kCntxInUserMode));
  EXPECT_FALSE(VuskCntxHas(context_, kCntxAbortAction));

  Call("ObjectListInit", WithContext("\"objTypeId\":0,\"showAllObjects\":true"));
  EXPECT_EQ(context_->showAllObjects, 0);
  Call("ObjectListInit", WithContext("\"objTypeId\":0,\"showAllObjects\":2"));
  EXPECT_EQ(context_->showAllObjects, 1);

  // VuskInit: a false does not clear what is on when absent.
  EXPECT_EQ(Call("VuskInit", "{\"context\":77001,\"treatMasterProcessAsKernel\":false,\"fixVuskMemSpc\":true}"),
            Envelope("{ \"return\" : 0, \"versionAcknowledge\" : 2, \"translateAddressOnMasterProcess\" : 0, "
                     "\"treatMasterProcessAsKernel\" : 1, \"fixVuskMemSpc\" : 0, \"fakeTidForMasterProcess\" : 0, "
                     "\"commandCount\" : 3, \"commands\" : [ \"VUSK_Client_VuskCleanup\", "
                     "\"VUSK_Client_HistoryLogDump\", \"VUSK_Client_Exit\" ] }"));
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":77001}"), kDone);
}

TEST_F(Catalogue, VuskInitListsTheMethodsWhoseSlotsAreFilled) {
  // The slots the ThreadX logic fills.
  auto session = +[](VUSK_ServiceCntx*, VuskPluginInfo*) { return 0; };
  auto target = +[](VUSK_ServiceCntx*, VuskPluginInfo*, void**) { return 0; };
  auto list = +[](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t, const VuskParentRef*) { return 0; };
  vuskCallbackTable.vuskInit = session;
  vuskCallbackTable.vuskCleanup = session;
  vuskCallbackTable.targetInit = target;
  vuskCallbackTable.targetCleanup = target;
  vuskCallbackTable.objectListInit = list;
  vuskCallbackTable.objectListCleanup = list;
  vuskCallbackTable.objectListNext = list;
  vuskCallbackTable.objectListAttribute = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t,
                                             const VuskParentRef*, int32_t, VuskValue*) { return 0; };
  vuskCallbackTable.taskRegisterRead = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, int32_t,
                                          uint64_t*) { return 0; };
  auto taskValue = +[](VUSK_ServiceCntx*, VuskPluginInfo*, void*, uint64_t, VuskValue*) { return 0; };
  vuskCallbackTable.taskNameGet = taskValue;
  vuskCallbackTable.taskStatusGet = taskValue;
  vuskCallbackTable.currentTaskGet = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int64_t, uint64_t*) { return 0; };
  vuskCallbackTable.targetNotify = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, int32_t) { return 0; };
  vuskCallbackTable.vuskCmdExecute = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*, const char*) { return 0; };

  EXPECT_EQ(Call("VuskInit", "{\"context\":77002}"),
            Envelope("{ \"return\" : 0, \"versionAcknowledge\" : 2, \"translateAddressOnMasterProcess\" : 0, "
                     "\"treatMasterProcessAsKernel\" : 1, \"fixVuskMemSpc\" : 0, \"fakeTidForMasterProcess\" : 0, "
                     "\"commandCount\" : 16, \"commands\" : [ \"VUSK_Client_VuskInit\", \"VUSK_Client_VuskCleanup\", "
                     "\"VUSK_Client_TargetInit\", \"VUSK_Client_TargetCleanup\", \"VUSK_Client_ObjectListInit\", "
                     "\"VUSK_Client_ObjectListCleanup\", \"VUSK_Client_ObjectListNext\", "
                     "\"VUSK_Client_ObjectListAttribute\", \"VUSK_Client_TaskRegisterRead\", "
                     "\"VUSK_Client_TaskNameGet\", \"VUSK_Client_TaskStatusGet\", \"VUSK_Client_CurrentTaskGet\", "
                     "\"VUSK_Client_TargetNotify\", \"VUSK_Client_VuskCmd_Execute\", "
                     "\"VUSK_Client_HistoryLogDump\", \"VUSK_Client_Exit\" ] }"));
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":77002}"), kDone);
}

TEST_F(Catalogue, VuskInitContextsAndTheirHandles) {
  int before = VuskContextCount();
  // No "context": handle 0.
  Call("VuskInit", "{\"sharedLibPath\":\"/lib/a\",\"pliskDir\":7}");
  VUSK_ServiceCntx* zero = VuskContextFind(0);
  ASSERT_NE(zero, nullptr);
  EXPECT_STREQ(zero->sharedLibPath, "/lib/a");
  EXPECT_EQ(zero->pliskDir, nullptr);
  EXPECT_EQ(zero->currentRequest, nullptr);  // the request is gone once answered
  EXPECT_EQ(Call("TaskNameGet", "{\"context\":0,\"taskId\":1}"), Envelope("{ \"name\" : \"\", \"return\" : 0 }"));

  // A failing callback: "return" alone, and the context stays.
  vuskCallbackTable.vuskInit = [](VUSK_ServiceCntx*, VuskPluginInfo*) { return 4; };
  Call("VuskInit", "{\"context\":0}");
  EXPECT_EQ(Call("VuskInit", "{\"context\":77003}"), Envelope("{ \"return\" : 4 }"));
  EXPECT_EQ(VuskContextCount(), before + 3);
  // Two contexts with handle 0: the older answers until it is cleaned up.
  EXPECT_EQ(VuskContextFind(0), zero);
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":0}"), kDone);
  EXPECT_NE(VuskContextFind(0), nullptr);
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":0}"), kDone);
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":77003}"), kDone);
  EXPECT_EQ(Call("VuskCleanup", "{\"context\":0}"), kFailed);
  EXPECT_EQ(VuskContextCount(), before);
}

TEST_F(Catalogue, TargetInitMinorTypesAndCores) {
  const std::string base = "\"majorCpuType\":70000,\"bigEndianTarget\":3,\"bigEndianHost\":2,";
  EXPECT_EQ(Call("TargetInit", WithContext(base + "\"minorCpuTypeArray\":[1,2,3,4,5,6,7,8,9]")), kFailed);
  EXPECT_EQ(Call("TargetInit", WithContext(base + "\"minorCpuTypeArray\":[1,2,3,4,5,6,7,8,9,\"x\"]")), kFailed);
  // A present array decides even when "minorCpuType" is given too.
  EXPECT_EQ(Call("TargetInit", WithContext(base + "\"minorCpuTypeArray\":5,\"minorCpuType\":1")), kFailed);

  Call("TargetInit", WithContext(base + "\"minorCpuTypeArray\":[11,12,13,14,15,16,17,18,19,20,21,22]"));
  ASSERT_NE(context_->minorCpuTypes, nullptr);
  EXPECT_EQ(context_->minorCpuTypes[0], 11);
  EXPECT_EQ(context_->minorCpuTypes[9], 20);
  EXPECT_EQ(context_->minorCpuType, 11);
  EXPECT_EQ(context_->majorCpuType32, 70000u);
  EXPECT_EQ(context_->majorCpuType, static_cast<int16_t>(70000));
  EXPECT_TRUE(VuskCntxHas(context_, kCntxTargetBigEndian));
  EXPECT_FALSE(VuskCntxHas(context_, kCntxHostBigEndian));

  // A null array falls back on "minorCpuType"; the rest of the list is -1.
  EXPECT_EQ(Call("TargetInit", WithContext(base + "\"minorCpuTypeArray\":null,\"minorCpuType\":6,\"coreCount\":4,"
                                                  "\"coreIdList\":[1,2,3]")),
            Envelope(kCases[0].emptySlotResult));
  EXPECT_EQ(context_->minorCpuTypes[0], 6);
  EXPECT_EQ(context_->minorCpuTypes[1], -1);
  EXPECT_EQ(context_->minorCpuTypes[9], -1);
  EXPECT_EQ(context_->coreCount, 4u);
  EXPECT_EQ(context_->coreIdList, nullptr);

  EXPECT_EQ(Call("TargetInit", WithContext(base + "\"minorCpuType\":6,\"coreCount\":2,\"coreIdList\":[5,6,7]")),
            Envelope(kCases[0].emptySlotResult));
  ASSERT_NE(context_->coreIdList, nullptr);
  EXPECT_EQ(context_->coreIdList[0], 5u);
  EXPECT_EQ(context_->coreIdList[1], 6u);

  // A count far beyond the list allocates nothing and keeps no list.
  Call("TargetInit", WithContext(base + "\"minorCpuType\":6,\"coreCount\":4611686018427387904,\"coreIdList\":[1]"));
  EXPECT_EQ(context_->coreIdList, nullptr);
  Call("TargetInit", WithContext(base + "\"minorCpuType\":6"));
  EXPECT_EQ(context_->coreCount, 1u);
  EXPECT_EQ(context_->firstCoreIdOffset, 0);
}

TEST_F(Catalogue, HistoryLogDumpFailsWithTheReasonWhenTheDumpCannotBeWritten) {
  CapturedMessages messages;
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":\"/nonexistent/dir\",\"bufferSize\":16655}"), kFailed);
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":\"/dev/null\"}"), kFailed);  // not a directory
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":\"\"}"), kFailed);
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":\"/" + std::string(2000, 'd') + "\"}"), kFailed);
  const std::vector<std::pair<MsgSeverity, std::string>> expected = {
      {MsgSeverity::Error, "cannot write the event log into \"/nonexistent/dir\": No such file or directory"},
      {MsgSeverity::Error, "cannot write the event log into \"/dev/null\": Not a directory"},
      {MsgSeverity::Error, "cannot write the event log into \"\": No such file or directory"},
      {MsgSeverity::Error, "cannot write the event log into \"/" + std::string(2000, 'd') + "\": File name too long"},
  };
  EXPECT_EQ(messages.all(), expected);
}

TEST_F(Catalogue, HistoryLogDumpSucceedsWithoutADumpOrWithOneWritten) {
  EXPECT_EQ(Call("HistoryLogDump", "{\"bufferSize\":16655}"), kDone);
  EXPECT_EQ(Call("HistoryLogDump", "{\"bufferSize\":-1}"), kDone);
  EXPECT_EQ(Call("HistoryLogDump", "null"), kDone);
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":5}"), kDone);  // no text: no dump asked for

  char directory[] = "/tmp/vusk_iface_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  EXPECT_EQ(Call("HistoryLogDump", "{\"dirPath\":\"" + std::string(directory) + "\"}"), kDone);
  DIR* dir = opendir(directory);
  ASSERT_NE(dir, nullptr);
  int files = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    files++;
    unlink((std::string(directory) + "/" + entry->d_name).c_str());
  }
  closedir(dir);
  rmdir(directory);
  EXPECT_EQ(files, 1);
}

TEST_F(Catalogue, ExitReportsTheExitCodeAndAsksTheLoopToEnd) {
  ASSERT_FALSE(exitRequested);
  EXPECT_EQ(Call("Exit", "[1,2]"), Envelope("{ \"exitCode\" : 0, \"return\" : 0 }"));
  EXPECT_TRUE(exitRequested);
  exitRequested = false;
}

TEST_F(Catalogue, ASecondCmdInitChangesNothing) {
  JrClient* client = VuskHostClient();
  ASSERT_NE(client, nullptr);
  JrSendFn send = client->send;
  vuskCallbackTable.poll = [](VUSK_ServiceCntx*, VuskPluginInfo*, void*) { return 5; };
  VUSK_Client_CmdInit(0, nullptr, [](const char*) -> const char* { return "{}"; });
  EXPECT_EQ(VuskHostClient(), client);
  EXPECT_EQ(client->send, send);
  EXPECT_EQ(Call("Poll", WithContext()), Envelope("{ \"return\" : 5 }"));
  EXPECT_EQ(VUSK_Client_CmdParser(RequestText("Poll", WithContext()).c_str()), Envelope("{ \"return\" : 5 }"));
}

}  // namespace
