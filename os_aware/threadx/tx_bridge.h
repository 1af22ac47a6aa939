// tx_bridge: the adapter between the callback table and the ThreadX logic.
//
// The ThreadX operations never touch a service context or a JSON value: each
// receives a BridgeContext, which carries a copy of the session settings
// (the host's cores among them), a copy of the plugin-info record and the
// table of host services the logic may use. Only the services themselves
// (tx_bridge_services.cpp) reach the service context behind the entry. A
// callback borrows one context from the bridge pool for the duration of the
// call and gives it back afterwards.
//
// Pool: kBridgePoolSize entries, each with a use count; an entry is free
// exactly when its use count is 0. A nested callback for the same service
// context (the host calling in while the plugin waits for it) shares the
// entry of the outer call, with the outer call's copies. Every release
// writes the members the awareness answers back into the host's
// plugin-info record (BridgeRelease); the last one also frees the entry. All
// entries busy with other sessions: the host is told "VUSK Bridge: Failed to
// get service context.\n" and the callback answers 1.
//
// Results of every service operation (vusk_status.h): kStatusOk, else the
// host's "return" value or kStatusFailed; kStatusAborted for register and
// memory operations while abortAction is set (answered without asking the
// host).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_context.h"

constexpr int kBridgePoolSize = 15;
constexpr int kBridgeServiceCount = 33;

struct BridgeContext;

// The plugin-info record as the ThreadX logic sees it: the flags as plain
// booleans, so the host's bit layout never leaks into the logic.
struct BridgeInfo {
  uint32_t versionAcknowledge;
  uint32_t versionRequired;
  uint64_t reserved;
  bool kernelInPhysicalAddress;
  bool translateAddressOnMasterProcess;
  bool treatMasterProcessAsKernel;
  bool showObjectNumber;
  bool fixVuskMemSpc;
  bool distinguishCpuModes;
  bool spare;  // always set in the copy; never reaches the host
  uint64_t fakeTidForMasterProcess;
  uint32_t pageSize;
  uint32_t vuskKernelMajorVersion;
  uint32_t vuskKernelMinorVersion;
  uint32_t noiceMask;
};

// Host services, in their fixed slot order. Texts and blocks handed out by
// stringEval (7), allocate (13) and commandExecOutput (27) belong to the
// caller, who gives them back through release (14).
struct BridgeServiceTable {
  // core kVuskNoCore: the register of the core the host has selected, asked
  // whole; a core (0-based host core): that core's register, asked 4 bytes
  // wide. The value is answered in 32 bits either way.
  int (*registerRead)(BridgeContext* bc, int64_t core, int32_t reg, uint32_t* value);
  int (*registerWrite)(BridgeContext* bc, int32_t reg, uint32_t value);
  int (*threadRegisterRead)(BridgeContext* bc, uint64_t threadId, int32_t reg, uint32_t* value);
  int (*threadRegisterWrite)(BridgeContext* bc, uint64_t threadId, int32_t reg, uint32_t value);
  int (*memoryRead)(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
                    void* buffer);
  int (*memoryWrite)(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
                     const void* buffer);
  // value may be null when only the evaluation's side effects count;
  // otherwise the host's answer is stored by the type the caller put in it.
  int (*expressionEval)(BridgeContext* bc, const char* expression, VuskValue* value);
  int (*stringEval)(BridgeContext* bc, const char* input, char** text);
  int (*symbolLookup)(BridgeContext* bc, const char* name, uint64_t* address, int32_t* storageClass);
  int (*symbolFromAddress)(BridgeContext* bc, uint64_t address, int32_t symbolType, char** name);
  int (*commandExec)(BridgeContext* bc, const char* command);
  int (*targetStatus)(BridgeContext* bc, int32_t* status);
  int (*messageDisplay)(BridgeContext* bc, int32_t messageType, const char* format, va_list args);
  int (*allocate)(BridgeContext* bc, size_t size, void** block);
  int (*release)(BridgeContext* bc, void* block);
  // File services on standard streams (15 to 25).
  int (*fileLineRead)(BridgeContext* bc, char* buffer, int length, FILE* stream);
  int (*fileOpen)(BridgeContext* bc, const char* path, const char* mode, FILE** stream);
  int (*fileClose)(BridgeContext* bc, FILE* stream);
  int (*fileRewind)(BridgeContext* bc, FILE* stream);
  int (*fileClearError)(BridgeContext* bc, FILE* stream);
  int (*fileRead)(BridgeContext* bc, void* buffer, size_t size, size_t count, FILE* stream, size_t* done);
  int (*fileWrite)(BridgeContext* bc, const void* buffer, size_t size, size_t count, FILE* stream,
                   size_t* done);
  int (*fileEof)(BridgeContext* bc, FILE* stream, int* atEnd);
  int (*fileError)(BridgeContext* bc, FILE* stream, int* failed);
  int (*fileSeek)(BridgeContext* bc, FILE* stream, int64_t offset, int whence);
  int (*fileTell)(BridgeContext* bc, FILE* stream, int64_t* position);
  // Answers the host's choice; the default when formatting or the request
  // fails. A null format asks "Yes or No?".
  int (*yesNoChoose)(BridgeContext* bc, int defaultChoice, const char* format, va_list args);
  int (*commandExecOutput)(BridgeContext* bc, const char* command, int32_t outputMask, char** output);
  int (*memoryPrefetch)(BridgeContext* bc, int32_t memorySpace, uint64_t address, int32_t count, int32_t size,
                        int32_t stride);
  int (*configFileSearch)(BridgeContext* bc, const char* fileName, int32_t permission, int32_t onlySearchDistDir,
                          char** filePath);
  int (*structFieldSearch)(BridgeContext* bc, const char* structName, const char* fieldName, int32_t* byteOffset,
                           int32_t* byteWidth, int32_t* bitOffset, int32_t* bitWidth);
  int (*macroGet)(BridgeContext* bc, const char* macroName, VuskValue* value);
  int (*enumValueGet)(BridgeContext* bc, const char* enumName, const char* memberName, int32_t useVuskSym,
                      VuskValue* value);
};
static_assert(sizeof(BridgeServiceTable) == kBridgeServiceCount * sizeof(void*),
              "the service table holds its 33 operations and nothing else");

// Session settings copied from the service context when an entry is taken.
// Nothing in them points into the service context, which a request served
// during the call may change.
struct BridgeSettings {
  int16_t cpumajor;
  int16_t cpuminor;
  bool bigEndianTarget;
  bool bigEndianHost;
  bool logCommunication;
  bool abortAction;
  bool inUserMode;
  bool notCheckInKernel;
  bool isSimulator;
  bool explorerInactive;
  bool pliskInValidation;
  bool suppressErrMsg;
  uint32_t cpuAddressSize;
  // The host's cores: coreIdList[k] is the host's 1-based core id of kernel
  // core k. The entry's own copy (freed with the entry), null unless the
  // host listed more than one core.
  uint64_t coreCount;
  uint64_t* coreIdList;
};

struct BridgeContext {
  VUSK_ServiceCntx* host;  // null while the entry is free
  BridgeSettings settings;
  BridgeServiceTable services;
  BridgeInfo info;
};

// ---- Pool ----------------------------------------------------------------

// Empties the pool and writes the service table into every entry.
void BridgePoolInit();

// The entry for host (shared with a call already in progress for it), or
// null after telling the host that none is free.
BridgeContext* BridgeAcquire(VUSK_ServiceCntx* host);

// Ends one use: writes the info members the awareness answers back into
// the host's record (all but versionRequired, showObjectNumber and the
// kernel version, which the host's handler sets); the last use also frees
// the entry. Pointers that are not pool entries are ignored.
void BridgeRelease(BridgeContext* bc);

// Uses of entry index (0 to kBridgePoolSize - 1); for tests.
int32_t BridgeUseCount(int index);

// The table the pool hands out. Tests may replace operations in an entry's
// own copy; the pool writes the standard table again at BridgePoolInit.
const BridgeServiceTable* BridgeStandardServices();

// Converters between the host's info record and the bridge's copy.
void BridgeInfoFromHost(const VuskPluginInfo* from, BridgeInfo* to);
// The flag bits of the copy in the host's layout.
uint8_t BridgeInfoFlags(const BridgeInfo* info);

// ---- Expressions ---------------------------------------------------------------

// Room for any expression the logic formats: the longest template with a
// whole 64-bit address in it.
constexpr size_t kExpressionCapacity = 256;

// Evaluates expression through the expression service into a whole 64-bit
// integer; callers that want fewer bits take the low ones. The service's
// status; *number is set only on kStatusOk.
int BridgeEvaluate(BridgeContext* bc, const char* expression, uint64_t* number);

// The same for an expression formatted printf-style; kStatusFailed without
// a request when it would not fit kExpressionCapacity.
int BridgeEvaluateFormat(BridgeContext* bc, uint64_t* number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Host settings asked by command ----------------------------------------

// The TxVuskUsePhySpace setting: 0 or 1. Asked of the host until it answers
// once; a failed request answers 0 and is asked again next time.
int32_t BridgeUsePhySpace(BridgeContext* bc);

// The user configuration directory reported by the host, without trailing
// line ends; null when the host could not tell (asked again next time).
// Owned by the bridge for the rest of the process.
const char* BridgeUserConfigDir(BridgeContext* bc);

// Forgets both settings; for tests that start over.
void BridgeResetHostSettings();

// Set while a thread's registers are read; sent as fromDebugger.
extern uint8_t inRegisterRead;

// Formats and shows a message through the table's message service.
int BridgeMessage(BridgeContext* bc, int32_t messageType, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
