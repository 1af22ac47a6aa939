// tx_bridge_services: the host operations of the bridge's service table,
// each over one typed service call with the table's fixed arguments.
//
// Fixed arguments: no core for every operation but the thread-register ones
// (core 0, sent as "coreId": 1) and a register read of a named core;
// fromDebugger is inRegisterRead; register and memory operations answer
// kStatusAborted without a request while the session's abortAction is set.
// The file services (15 to 25) are in tx_bridge_files.cpp.
#include <cstdlib>
#include <cstring>

#include "os_aware/interface/vusk_service.h"
#include "os_aware/threadx/tx_bridge.h"
#include "shared/port_alloc.h"

namespace {

constexpr int64_t kWholeRegister = -1;
constexpr int64_t kCoreRegisterWidth = 4;  // what a register of a named core is asked as
constexpr int32_t kNotForMemoryAccess = 0;
constexpr int32_t kNoSearch = 0;
constexpr int32_t kNoOutput = 0;
constexpr uint64_t kNoTask = 0;
constexpr int64_t kThreadRegisterCore = 0;  // goes out as "coreId": 1

bool Aborting(const BridgeContext* bc) { return bc->settings.abortAction; }

int RegisterRead(BridgeContext* bc, int64_t core, int32_t reg, uint32_t* value) {
  if (Aborting(bc)) return kStatusAborted;
  int64_t width = core == kVuskNoCore ? kWholeRegister : kCoreRegisterWidth;
  uint64_t wide = 0;
  int status = VuskServiceRegisterRead(bc->host, reg, width, inRegisterRead, core, kNoTask, &wide);
  if (value) *value = static_cast<uint32_t>(wide);
  return status;
}

int RegisterWrite(BridgeContext* bc, int32_t reg, uint32_t value) {
  if (Aborting(bc)) return kStatusAborted;
  return VuskServiceRegisterWrite(bc->host, reg, kWholeRegister, kNotForMemoryAccess, inRegisterRead, value,
                                  kVuskNoCore, kNoTask);
}

int ThreadRegisterRead(BridgeContext* bc, uint64_t threadId, int32_t reg, uint32_t* value) {
  uint64_t wide = 0;
  int status = VuskServiceThreadRegisterRead(bc->host, threadId, reg, kThreadRegisterCore, &wide);
  if (status == kStatusOk && value) *value = static_cast<uint32_t>(wide);
  return status;
}

int ThreadRegisterWrite(BridgeContext* bc, uint64_t threadId, int32_t reg, uint32_t value) {
  return VuskServiceThreadRegisterWrite(bc->host, threadId, reg, value, kThreadRegisterCore);
}

int MemoryRead(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
               void* buffer) {
  if (Aborting(bc)) return kStatusAborted;
  return VuskServiceMemoryRead(bc->host, memorySpace, address, count, size, kNoTask, kVuskNoCore,
                               static_cast<uint8_t*>(buffer));
}

int MemoryWrite(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
                const void* buffer) {
  if (Aborting(bc)) return kStatusAborted;
  return VuskServiceMemoryWrite(bc->host, memorySpace, address, count, size, static_cast<const uint8_t*>(buffer),
                                kVuskNoCore);
}

int ExpressionEval(BridgeContext* bc, const char* expression, VuskValue* value) {
  // The host always answers an "output"; when the caller wants none it is
  // taken as a number and dropped.
  VuskValue ignored = VuskValueOfType(VUSK_TYPE_UINT64);
  return VuskServiceExpressionEvalNoSearch(bc->host, expression, kVuskNoCore, value ? value : &ignored);
}

int StringEval(BridgeContext* bc, const char* input, char** text) {
  return VuskServiceStringEval(bc->host, input, kVuskNoCore, text);
}

int SymbolLookup(BridgeContext* bc, const char* name, uint64_t* address, int32_t* storageClass) {
  return VuskServiceSymbolLookup(bc->host, name, kVuskNoCore, address, storageClass);
}

int SymbolFromAddress(BridgeContext* bc, uint64_t address, int32_t symbolType, char** name) {
  return VuskServiceSymbolFromAddress(bc->host, address, symbolType, kVuskNoCore, name);
}

int CommandExec(BridgeContext* bc, const char* command) {
  return VuskServiceCommandExec(bc->host, command, kNoOutput, kNoSearch, kVuskNoCore, nullptr);
}

int TargetStatus(BridgeContext* bc, int32_t* status) {
  return VuskServiceTargetStatus(bc->host, kVuskNoCore, status);
}

__attribute__((format(printf, 3, 0))) int MessageDisplay(BridgeContext* bc, int32_t messageType, const char* format,
                                                         va_list args) {
  return VuskServiceMessageDisplayV(bc->host, messageType, format, args);
}

int Allocate(BridgeContext*, size_t size, void** block) {
  if (!block) return kStatusFailed;
  *block = PortAllocZero(1, size);
  return *block ? kStatusOk : kStatusFailed;
}

int Release(BridgeContext*, void* block) {
  PortFree(block);
  return kStatusOk;
}

constexpr const char* kDefaultQuestion = "Yes or No?";

__attribute__((format(printf, 3, 0))) int YesNoChoose(BridgeContext* bc, int defaultChoice, const char* format,
                                                      va_list args) {
  int32_t answer = defaultChoice;
  int status = format ? VuskServiceYesNoChooseV(bc->host, &answer, format, args)
                      : VuskServiceYesNoChoose(bc->host, &answer, "%s", kDefaultQuestion);
  return status == kStatusOk ? answer : defaultChoice;
}

int CommandExecOutput(BridgeContext* bc, const char* command, int32_t outputMask, char** output) {
  return VuskServiceCommandExec(bc->host, command, outputMask, kNoSearch, kVuskNoCore, output);
}

int MemoryPrefetch(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
                   int32_t stride) {
  if (Aborting(bc)) return kStatusAborted;
  return VuskServiceMemoryPreFetch(bc->host, memorySpace, address, count, size, stride, kVuskNoCore);
}

int ConfigFileSearch(BridgeContext* bc, const char* fileName, int32_t permission, int32_t onlySearchDistDir,
                     char** filePath) {
  return VuskServiceConfigFileSearch(bc->host, fileName, permission, onlySearchDistDir, filePath);
}

int StructFieldSearch(BridgeContext* bc, const char* structName, const char* fieldName, int32_t* byteOffset,
                      int32_t* byteWidth, int32_t* bitOffset, int32_t* bitWidth) {
  return VuskServiceStructFieldSearch(bc->host, structName, fieldName, 0, kVuskNoCore, byteOffset, byteWidth,
                                      bitOffset, bitWidth);
}

int MacroGet(BridgeContext* bc, const char* macroName, VuskValue* value) {
  return VuskServiceMacroGet(bc->host, macroName, 0, kVuskNoCore, value);
}

int EnumValueGet(BridgeContext* bc, const char* enumName, const char* memberName, int32_t useVuskSym,
                 VuskValue* value) {
  return VuskServiceEnumValueGet(bc->host, enumName, memberName, useVuskSym, kVuskNoCore, value);
}

}  // namespace

// The file services, defined with the standard streams they wrap.
void BridgeFillFileServices(BridgeServiceTable* table);

const BridgeServiceTable* BridgeStandardServices() {
  static const BridgeServiceTable table = [] {
    BridgeServiceTable t{};
    t.registerRead = RegisterRead;
    t.registerWrite = RegisterWrite;
    t.threadRegisterRead = ThreadRegisterRead;
    t.threadRegisterWrite = ThreadRegisterWrite;
    t.memoryRead = MemoryRead;
    t.memoryWrite = MemoryWrite;
    t.expressionEval = ExpressionEval;
    t.stringEval = StringEval;
    t.symbolLookup = SymbolLookup;
    t.symbolFromAddress = SymbolFromAddress;
    t.commandExec = CommandExec;
    t.targetStatus = TargetStatus;
    t.messageDisplay = MessageDisplay;
    t.allocate = Allocate;
    t.release = Release;
    BridgeFillFileServices(&t);
    t.yesNoChoose = YesNoChoose;
    t.commandExecOutput = CommandExecOutput;
    t.memoryPrefetch = MemoryPrefetch;
    t.configFileSearch = ConfigFileSearch;
    t.structFieldSearch = StructFieldSearch;
    t.macroGet = MacroGet;
    t.enumValueGet = EnumValueGet;
    return t;
  }();
  return &table;
}
