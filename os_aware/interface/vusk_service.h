// vusk_service: the calls the plugin makes into the host debugger, one typed
// operation per VUSK_Service_ method.
//
// Each operation builds the request's params ("context" = the context's handle
// first, then its own members in a fixed order), sends it through the
// process's JSON-RPC client and unpacks the host's "result" object.
//
// Common rules:
//   - status (vusk_status.h): kStatusOk, kStatusFailed, or the host's own
//     "return" value. A
//     request that fails (no client, no response, unparsable response, error
//     envelope) gives 1 and writes no output. A missing output member that
//     the caller needs gives 1 (outputs already written stay written). A
//     result without "return" gives 1 even when every output was present.
//   - core: 0-based, kVuskNoCore (-1) = no core; core c is sent as
//     "coreId": c + 1, so "coreId" 0 never goes out.
//   - taskId: 0 = none, nothing sent.
//   - outputs: a null pointer means "not asked for". Members marked
//     "required" must be present whether asked for or not; the others only
//     when asked for.
//   - a null context, or a null text where the request needs one, gives 1
//     without a request.
//   - texts handed in are borrowed for the call; texts handed out are heap
//     copies (PortStrdup) owned by the caller, who frees them with PortFree.
//   - calls with a scope text record it in the event log around the request.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "os_aware/interface/vusk_callbacks.h"

struct VUSK_ServiceCntx;

// Largest memory transfer of one request, in bytes (the hex text doubles it).
constexpr int64_t kVuskServiceMaxMemoryBytes = 16 * 1024 * 1024;

// Reads a register of the context's current task or of taskId on core.
// *value (when asked for) receives "value" when the host sends one; a missing
// "value" is not a failure.
int VuskServiceRegisterRead(VUSK_ServiceCntx* context, int64_t reg, int64_t width, int32_t fromDebugger,
                            int64_t core, uint64_t taskId, uint64_t* value);

int VuskServiceRegisterWrite(VUSK_ServiceCntx* context, int64_t reg, int64_t width, int32_t forMemoryAccess,
                             int32_t fromDebugger, uint64_t value, int64_t core, uint64_t taskId);

// Reads a register from a thread's saved state. "value" is required.
int VuskServiceThreadRegisterRead(VUSK_ServiceCntx* context, uint64_t threadId, int64_t reg, int64_t core,
                                  uint64_t* value);

int VuskServiceThreadRegisterWrite(VUSK_ServiceCntx* context, uint64_t threadId, int64_t reg, uint64_t value,
                                   int64_t core);

// Reads count elements of size bytes each into buffer, which must hold
// count x size bytes. Elements of 2 to 8 bytes come back in the host's byte
// order when the target's differs. "value" (hex text of exactly 2 x count x
// size digits) is required; a text of another length or with a non-hex digit
// gives 1 and leaves the buffer as it was. Negative counts or sizes, a null
// buffer for a non-empty transfer and transfers above
// kVuskServiceMaxMemoryBytes give 1 without a request.
int VuskServiceMemoryRead(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                          int64_t size, uint64_t taskId, int64_t core, uint8_t* buffer);

// Writes count elements of size bytes from buffer (count x size bytes, in the
// host's byte order; the caller's buffer is never changed). Limits as for
// VuskServiceMemoryRead.
int VuskServiceMemoryWrite(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                           int64_t size, const uint8_t* buffer, int64_t core);

int VuskServiceMemoryPreFetch(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                              int64_t size, int64_t stride, int64_t core);

// Evaluates expression; "output" is decoded by the type code the caller put
// in *value: 0 a text (owned by the caller afterwards), 8 and 9 a number read
// from a text or an integer, the integer codes the integer at their width.
// "output" is required; a member of the wrong kind gives 1.
int VuskServiceExpressionEval(VUSK_ServiceCntx* context, const char* expression, int32_t searchFlag,
                              int64_t core, VuskValue* value);
// The common case: searchFlag 0.
int VuskServiceExpressionEvalNoSearch(VUSK_ServiceCntx* context, const char* expression, int64_t core,
                                      VuskValue* value);

// Evaluates input as a text. "value" is required; *value (when asked for)
// receives a copy owned by the caller.
int VuskServiceStringEval(VUSK_ServiceCntx* context, const char* input, int64_t core, char** value);

// Runs a debugger command. "output" is required when output is not null;
// *output then receives a copy owned by the caller.
int VuskServiceCommandExec(VUSK_ServiceCntx* context, const char* command, int32_t outputMask, int32_t searchFlag,
                           int64_t core, char** output);

// "address" and "storageClass" are each required when asked for.
int VuskServiceSymbolLookup(VUSK_ServiceCntx* context, const char* name, int64_t core, uint64_t* address,
                            int32_t* storageClass);

// "name" is required when asked for; *name receives a copy owned by the caller.
int VuskServiceSymbolFromAddress(VUSK_ServiceCntx* context, uint64_t address, int32_t symbolType, int64_t core,
                                 char** name);

// Each out that is asked for is preset to -1 before the request; each is
// required when asked for.
int VuskServiceStructFieldSearch(VUSK_ServiceCntx* context, const char* structName, const char* fieldName,
                                 int32_t useVuskSym, int64_t core, int32_t* byteOffset, int32_t* byteWidth,
                                 int32_t* bitOffset, int32_t* bitWidth);

// "value" (a text) is required when asked for. With type 0 *value receives a
// copy of the text (owned by the caller); with any other type the text is read
// as an unsigned integer (0x hexadecimal, leading 0 octal, else decimal) and
// stored at the type's width.
int VuskServiceMacroGet(VUSK_ServiceCntx* context, const char* macroName, int32_t useVuskSym, int64_t core,
                        VuskValue* value);

// "value" (an integer) is required when asked for; it is stored by *value's
// type as VuskServiceExpressionEval stores "output".
int VuskServiceEnumValueGet(VUSK_ServiceCntx* context, const char* enumName, const char* enumMemberName,
                            int32_t useVuskSym, int64_t core, VuskValue* value);

// Shows a message formatted printf-style. A null format returns 0 without a
// request; a formatting failure returns 1.
int VuskServiceMessageDisplay(VUSK_ServiceCntx* context, int32_t messageType, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int VuskServiceMessageDisplayV(VUSK_ServiceCntx* context, int32_t messageType, const char* format,
                               va_list arguments) __attribute__((format(printf, 3, 0)));

// Asks a yes/no question formatted printf-style. *choice is the default sent
// and receives the host's "choice" (required). A null format returns 0
// without a request; a formatting failure returns 1; a null choice gives 1
// without a request.
int VuskServiceYesNoChoose(VUSK_ServiceCntx* context, int32_t* choice, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int VuskServiceYesNoChooseV(VUSK_ServiceCntx* context, int32_t* choice, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// Looks for a configuration file; sends no "coreId". "filePath" is required;
// *filePath (when asked for) receives a copy owned by the caller.
int VuskServiceConfigFileSearch(VUSK_ServiceCntx* context, const char* fileName, int32_t permission,
                                int32_t onlySearchDistDir, char** filePath);

// "status" is required.
int VuskServiceTargetStatus(VUSK_ServiceCntx* context, int64_t core, int32_t* status);
