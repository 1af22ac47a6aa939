// vusk_service: the VUSK_Service_ calls into the host; see vusk_service.h.
//
// Every operation runs the same course, held by a ServiceCall:
//   1. begin: params start with "context"; the scope text the operation
//      formats (Scope: printf-checked at the call) opens an event-log scope;
//   2. the operation adds its members in wire order (AddCore / AddTask for
//      the optional "coreId" and "taskId");
//   3. send: JrSendRequest through the process's client; on failure nothing
//      is decoded and the status is 1;
//   4. the operation takes its outputs from the result object, marking the
//      call when one it needs is missing or malformed;
//   5. finish: the status (1 when an output was missing, else "return" or 1
//      when there is none), the scope is closed and the result freed.
//
// The host's answer is untrusted: every member is read through the typed
// getters, hex texts are checked in full before a byte is written, and no
// output is ever read past what the host sent.
#include "os_aware/interface/vusk_service.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os_aware/interface/vusk_context.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_client.h"
#include "shared/event_log.h"
#include "shared/port_alloc.h"

namespace {

// Scope texts are records of the event log, which cuts long texts anyway.
constexpr size_t kScopeTextBytes = 512;
// Largest formatted message or question text (bytes, terminator included).
constexpr int kServiceMaxMessageBytes = 1024 * 1024;
// Elements of 2 to 8 bytes are turned round when target and host disagree.
constexpr int64_t kSwapMinSize = 2;
constexpr int64_t kSwapMaxSize = 8;

// ---- The rows: one per method ----------------------------------------------------

enum ServiceRow : int {
  kRowRegisterRead,
  kRowRegisterWrite,
  kRowThreadRegisterRead,
  kRowThreadRegisterWrite,
  kRowMemoryRead,
  kRowMemoryWrite,
  kRowMemoryPreFetch,
  kRowExpressionEval,
  kRowStringEval,
  kRowCommandExec,
  kRowSymbolLookup,
  kRowSymbolFromAddress,
  kRowStructFieldSearch,
  kRowMacroGet,
  kRowEnumValueGet,
  kRowMessageDisplay,
  kRowYesNoChoose,
  kRowConfigFileSearch,
  kRowTargetStatus,
  kServiceRowCount
};

// The method name of each row.
constexpr const char* kServiceMethods[] = {
    "VUSK_Service_RegisterRead",
    "VUSK_Service_RegisterWrite",
    "VUSK_Service_ThreadRegisterRead",
    "VUSK_Service_ThreadRegisterWrite",
    "VUSK_Service_MemoryRead",
    "VUSK_Service_MemoryWrite",
    "VUSK_Service_MemoryPreFetch",
    "VUSK_Service_ExpressionEval",
    "VUSK_Service_StringEval",
    "VUSK_Service_CommandExec",
    "VUSK_Service_SymbolLookup",
    "VUSK_Service_SymbolFromAddress",
    "VUSK_Service_StructFieldSearch",
    "VUSK_Service_MacroGet",
    "VUSK_Service_EnumValueGet",
    "VUSK_Service_MessageDisplay",
    "VUSK_Service_YesNoChoose",
    "VUSK_Service_ConfigFileSearch",
    "VUSK_Service_TargetStatus",
};
static_assert(sizeof kServiceMethods / sizeof kServiceMethods[0] == kServiceRowCount, "one method per service row");

// ---- One call in progress ---------------------------------------------------

struct ServiceCall {
  ServiceRow row;
  JsonValue* params;  // owned until sent
  JsonValue* result;  // owned after a successful send; may be null or no object
  bool scopeOpen;
  bool answerFailed;  // no answer, or an output needed is missing or malformed: status 1
};

// An event-log scope text, formatted where the call begins so that the
// compiler checks each format against its arguments.
struct ScopeText {
  char text[kScopeTextBytes];
};

__attribute__((format(printf, 1, 2))) ScopeText Scope(const char* format, ...) {
  ScopeText scope;
  va_list arguments;
  va_start(arguments, format);
  int written = vsnprintf(scope.text, sizeof scope.text, format, arguments);
  va_end(arguments);
  if (written < 0) scope.text[0] = '\0';
  return scope;
}

// Starts a call: params with "context" first; a scope text (null: none)
// opens an event-log scope.
void ServiceBegin(ServiceCall* call, ServiceRow row, const VUSK_ServiceCntx* context, const char* scope = nullptr) {
  call->row = row;
  call->params = JsonNewObject();
  call->result = nullptr;
  call->scopeOpen = false;
  call->answerFailed = false;
  JsonAddUInt64(call->params, "context", context->handle);
  if (!scope) return;
  EventLogScopeBegin(scope);
  call->scopeOpen = true;
}

void AddCore(ServiceCall* call, int64_t core) {
  if (core != kVuskNoCore) JsonAddInt64(call->params, "coreId", core + 1);
}

void AddTask(ServiceCall* call, uint64_t taskId) {
  if (taskId != 0) JsonAddUInt64(call->params, "taskId", taskId);
}

// Sends the params (handed over to the client in every case). False when
// the request failed; there is nothing to decode then.
bool ServiceSend(ServiceCall* call) {
  JsonValue* params = call->params;
  call->params = nullptr;
  return JrSendRequest(VuskHostClient(), kServiceMethods[call->row], params, &call->result);
}

// Ends a call whose request was answered: the status, with the scope closed
// and the result freed.
int ServiceFinish(ServiceCall* call) {
  int32_t status = kStatusFailed;
  if (!call->answerFailed && !JsonGetInt32(call->result, "return", &status)) status = kStatusFailed;
  JsonFree(call->result);
  call->result = nullptr;
  if (call->scopeOpen) EventLogScopeEnd();
  call->scopeOpen = false;
  return status;
}

// Ends a call whose request failed.
int ServiceAbandon(ServiceCall* call) {
  JsonFree(call->params);
  call->params = nullptr;
  call->answerFailed = true;
  return ServiceFinish(call);
}

// Sends and finishes a call that has no outputs.
int ServiceSendStatusOnly(ServiceCall* call) {
  if (!ServiceSend(call)) return ServiceAbandon(call);
  return ServiceFinish(call);
}

// ---- Output readers: each marks the call when the member is missing ----------
// A null out means "not asked for"; required members are checked all the same.

void TakeUInt64(ServiceCall* call, const char* name, uint64_t* out, bool required) {
  uint64_t number = 0;
  if (!JsonGetUInt64(call->result, name, &number)) {
    if (required) call->answerFailed = true;
    return;
  }
  if (out) *out = number;
}

void TakeInt32(ServiceCall* call, const char* name, int32_t* out, bool required) {
  int32_t number = 0;
  if (!JsonGetInt32(call->result, name, &number)) {
    if (required) call->answerFailed = true;
    return;
  }
  if (out) *out = number;
}

// The text member, or null (marking the call when required).
const char* TakeTextMember(ServiceCall* call, const char* name, bool required) {
  const char* text = nullptr;
  if (!JsonGetString(call->result, name, &text)) {
    if (required) call->answerFailed = true;
    return nullptr;
  }
  return text ? text : "";
}

// Contract: *out receives a PortStrdup copy that the caller owns.
void TakeTextCopy(ServiceCall* call, const char* name, char** out, bool required) {
  const char* text = TakeTextMember(call, name, required);
  if (text && out) *out = PortStrdup(text);
}

// ---- Typed values -------------------------------------------------------------

bool ValueTypeKnown(int32_t type) { return type >= VUSK_TYPE_STRING && type < VUSK_TYPE_COUNT; }
bool ValueTypeIsFloat(int32_t type) { return type == VUSK_TYPE_FLOAT || type == VUSK_TYPE_DOUBLE; }

// Reads a floating-point text into a type 8 or 9 value; false when the text
// is empty or holds no number.
bool StoreFloatText(VuskValue* value, const char* text) {
  if (!*text) return false;
  if (value->type == VUSK_TYPE_FLOAT) return sscanf(text, "%f", &value->value.f32) == 1;
  return sscanf(text, "%lf", &value->value.f64) == 1;
}

// Stores a member into the caller's value by its type code. Contract: for
// type 0 the value receives a PortStrdup copy that the caller owns.
bool StoreMemberByType(VuskValue* value, const JsonValue* member) {
  if (!ValueTypeKnown(value->type)) return false;
  if (member->kind == JSON_STRING) {
    const char* text = member->payload.string ? member->payload.string : "";
    if (value->type == VUSK_TYPE_STRING) {
      value->value.string = PortStrdup(text);
      return true;
    }
    return ValueTypeIsFloat(value->type) && StoreFloatText(value, text);
  }
  if (member->kind != JSON_INT || value->type == VUSK_TYPE_STRING) return false;
  VuskValueStoreInteger(value, static_cast<uint64_t>(member->payload.integer));
  return true;
}

// Decodes the named member into *value; a missing or ill-kinded member marks
// the call. With value null nothing is read.
void TakeValueByType(ServiceCall* call, const char* name, VuskValue* value) {
  if (!value) return;
  JsonValue* member = nullptr;
  if (!JsonObjectGet(call->result, name, &member) || !member || !StoreMemberByType(value, member)) {
    call->answerFailed = true;
  }
}

// A macro's text as an unsigned number whose base follows its prefix (0x
// hexadecimal, leading 0 octal, else decimal). Contract: for type 0 the value
// receives a PortStrdup copy that the caller owns.
bool StoreMacroText(VuskValue* value, const char* text) {
  if (!ValueTypeKnown(value->type)) return false;
  if (value->type == VUSK_TYPE_STRING) {
    value->value.string = PortStrdup(text);
    return true;
  }
  char* end = nullptr;
  uint64_t number = strtoull(text, &end, 0);
  if (end == text) return false;  // no digits: not a number
  VuskValueStoreInteger(value, number);
  return true;
}

// ---- Memory texts ---------------------------------------------------------------

bool TargetOrderDiffers(const VUSK_ServiceCntx* context) {
  return VuskCntxHas(context, kCntxTargetBigEndian) != VuskCntxHas(context, kCntxHostBigEndian);
}

bool ElementsNeedSwap(const VUSK_ServiceCntx* context, int64_t size) {
  return size >= kSwapMinSize && size <= kSwapMaxSize && TargetOrderDiffers(context);
}

// Turns each size-byte element of bytes round in place.
void SwapElements(uint8_t* bytes, int64_t byteCount, int64_t size) {
  for (int64_t at = 0; at + size <= byteCount; at += size) {
    for (int64_t low = at, high = at + size - 1; low < high; low++, high--) {
      uint8_t byte = bytes[low];
      bytes[low] = bytes[high];
      bytes[high] = byte;
    }
  }
}

// The byte count of count elements of size bytes, or -1 when the arguments
// are negative or the transfer is larger than one request may carry.
int64_t TransferBytes(int64_t count, int64_t size) {
  if (count < 0 || size < 0) return -1;
  if (size != 0 && count > kVuskServiceMaxMemoryBytes / size) return -1;
  return count * size;
}

int HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// Decodes exactly byteCount bytes from text into bytes. The whole text is
// checked first, so on false bytes is untouched.
bool DecodeHex(const char* text, uint8_t* bytes, int64_t byteCount) {
  size_t length = strlen(text);
  if (length != static_cast<size_t>(byteCount) * 2) return false;
  for (size_t i = 0; i < length; i++) {
    if (HexDigitValue(text[i]) < 0) return false;
  }
  for (int64_t i = 0; i < byteCount; i++) {
    bytes[i] = static_cast<uint8_t>(HexDigitValue(text[2 * i]) << 4 | HexDigitValue(text[2 * i + 1]));
  }
  return true;
}

// Contract: returns a PortAlloc text of 2 x byteCount lowercase digits that
// the caller frees.
char* EncodeHex(const uint8_t* bytes, int64_t byteCount) {
  static const char kDigits[] = "0123456789abcdef";
  char* text = static_cast<char*>(PortAlloc(static_cast<size_t>(byteCount) * 2 + 1));
  for (int64_t i = 0; i < byteCount; i++) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  text[byteCount * 2] = '\0';
  return text;
}

// ---- Formatted texts ----------------------------------------------------------

// Contract: returns a PortAlloc text that the caller frees, or null when the
// format cannot be applied or the text would be too long.
__attribute__((format(printf, 1, 0))) char* FormatText(const char* format, va_list arguments) {
  va_list measure;
  va_copy(measure, arguments);
  int length = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0 || length >= kServiceMaxMessageBytes) return nullptr;
  char* text = static_cast<char*>(PortAlloc(static_cast<size_t>(length) + 1));
  if (vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments) != length) {
    PortFree(text);
    return nullptr;
  }
  return text;
}

}  // namespace

// ---- Registers ----------------------------------------------------------------

int VuskServiceRegisterRead(VUSK_ServiceCntx* context, int64_t reg, int64_t width, int32_t fromDebugger,
                            int64_t core, uint64_t taskId, uint64_t* value) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowRegisterRead, context, Scope("RegRead(%" PRId64 ")", reg).text);
  JsonAddInt64(call.params, "register", reg);
  JsonAddInt64(call.params, "width", width);
  JsonAddInt32(call.params, "fromDebugger", fromDebugger);
  AddCore(&call, core);
  AddTask(&call, taskId);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeUInt64(&call, "value", value, false);
  return ServiceFinish(&call);
}

int VuskServiceRegisterWrite(VUSK_ServiceCntx* context, int64_t reg, int64_t width, int32_t forMemoryAccess,
                             int32_t fromDebugger, uint64_t value, int64_t core, uint64_t taskId) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowRegisterWrite, context, Scope("RegWrite(%" PRId64 ")", reg).text);
  JsonAddInt64(call.params, "register", reg);
  JsonAddInt64(call.params, "width", width);
  JsonAddInt32(call.params, "forMemoryAccess", forMemoryAccess);
  JsonAddInt32(call.params, "fromDebugger", fromDebugger);
  JsonAddUInt64(call.params, "value", value);
  AddCore(&call, core);
  AddTask(&call, taskId);
  return ServiceSendStatusOnly(&call);
}

int VuskServiceThreadRegisterRead(VUSK_ServiceCntx* context, uint64_t threadId, int64_t reg, int64_t core,
                                  uint64_t* value) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowThreadRegisterRead, context);
  JsonAddUInt64(call.params, "threadId", threadId);
  JsonAddInt64(call.params, "register", reg);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeUInt64(&call, "value", value, true);
  return ServiceFinish(&call);
}

int VuskServiceThreadRegisterWrite(VUSK_ServiceCntx* context, uint64_t threadId, int64_t reg, uint64_t value,
                                   int64_t core) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowThreadRegisterWrite, context);
  JsonAddUInt64(call.params, "threadId", threadId);
  JsonAddInt64(call.params, "register", reg);
  JsonAddUInt64(call.params, "value", value);
  AddCore(&call, core);
  return ServiceSendStatusOnly(&call);
}

// ---- Memory ---------------------------------------------------------------------

int VuskServiceMemoryRead(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                          int64_t size, uint64_t taskId, int64_t core, uint8_t* buffer) {
  int64_t byteCount = TransferBytes(count, size);
  if (!context || byteCount < 0 || (byteCount > 0 && !buffer)) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowMemoryRead, context,
               Scope("MemRead(0x%" PRIx64 ", count %" PRId64 ", size %" PRId64 ")", address, count, size).text);
  JsonAddInt32(call.params, "memorySpace", memorySpace);
  JsonAddUInt64(call.params, "address", address);
  JsonAddInt64(call.params, "count", byteCount);
  AddTask(&call, taskId);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  const char* hex = TakeTextMember(&call, "value", true);
  if (hex && !DecodeHex(hex, buffer, byteCount)) call.answerFailed = true;
  if (!call.answerFailed && ElementsNeedSwap(context, size)) SwapElements(buffer, byteCount, size);
  return ServiceFinish(&call);
}

int VuskServiceMemoryWrite(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                           int64_t size, const uint8_t* buffer, int64_t core) {
  int64_t byteCount = TransferBytes(count, size);
  if (!context || byteCount < 0 || (byteCount > 0 && !buffer)) return kStatusFailed;
  char* hex = nullptr;
  if (byteCount > 0 && ElementsNeedSwap(context, size)) {
    uint8_t* copy = static_cast<uint8_t*>(PortAlloc(static_cast<size_t>(byteCount)));
    memcpy(copy, buffer, static_cast<size_t>(byteCount));
    SwapElements(copy, byteCount, size);
    hex = EncodeHex(copy, byteCount);
    PortFree(copy);
  } else {
    hex = EncodeHex(buffer, byteCount);
  }
  ServiceCall call;
  ServiceBegin(&call, kRowMemoryWrite, context,
               Scope("MemWrite(0x%" PRIx64 ", count %" PRId64 ", size %" PRId64 ")", address, count, size).text);
  JsonAddInt32(call.params, "memorySpace", memorySpace);
  JsonAddUInt64(call.params, "address", address);
  JsonAddInt64(call.params, "count", byteCount);
  JsonAddString(call.params, "value", hex);
  PortFree(hex);
  AddCore(&call, core);
  return ServiceSendStatusOnly(&call);
}

int VuskServiceMemoryPreFetch(VUSK_ServiceCntx* context, int32_t memorySpace, uint64_t address, int64_t count,
                              int64_t size, int64_t stride, int64_t core) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowMemoryPreFetch, context,
               Scope("MemPreFetch(0x%" PRIx64 ", count %" PRId64 ", size %" PRId64 ")", address, count, size).text);
  JsonAddInt32(call.params, "memorySpace", memorySpace);
  JsonAddUInt64(call.params, "address", address);
  JsonAddInt64(call.params, "count", count);
  JsonAddInt64(call.params, "size", size);
  JsonAddInt64(call.params, "stride", stride);
  AddCore(&call, core);
  return ServiceSendStatusOnly(&call);
}

// ---- Expressions, texts and commands ---------------------------------------------

int VuskServiceExpressionEval(VUSK_ServiceCntx* context, const char* expression, int32_t searchFlag,
                              int64_t core, VuskValue* value) {
  if (!context || !expression || !value) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowExpressionEval, context, Scope("ExprEval(%s)", expression).text);
  JsonAddString(call.params, "expression", expression);
  JsonAddInt32(call.params, "valueType", VUSK_TYPE_UINT64);
  JsonAddInt32(call.params, "searchFlag", searchFlag);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeValueByType(&call, "output", value);
  return ServiceFinish(&call);
}

int VuskServiceExpressionEvalNoSearch(VUSK_ServiceCntx* context, const char* expression, int64_t core,
                                      VuskValue* value) {
  return VuskServiceExpressionEval(context, expression, 0, core, value);
}

int VuskServiceStringEval(VUSK_ServiceCntx* context, const char* input, int64_t core, char** value) {
  if (!context || !input) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowStringEval, context, Scope("StrEval(%s)", input).text);
  JsonAddString(call.params, "input", input);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeTextCopy(&call, "value", value, true);
  return ServiceFinish(&call);
}

int VuskServiceCommandExec(VUSK_ServiceCntx* context, const char* command, int32_t outputMask, int32_t searchFlag,
                           int64_t core, char** output) {
  if (!context || !command) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowCommandExec, context, Scope("ExecCmd(%s)", command).text);
  JsonAddString(call.params, "command", command);
  JsonAddInt32(call.params, "outputMask", outputMask);
  JsonAddUInt32(call.params, "allowBpOps", context->allowBpOps);
  JsonAddInt32(call.params, "searchFlag", searchFlag);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeTextCopy(&call, "output", output, output != nullptr);
  return ServiceFinish(&call);
}

// ---- Symbols and types --------------------------------------------------------------

int VuskServiceSymbolLookup(VUSK_ServiceCntx* context, const char* name, int64_t core, uint64_t* address,
                            int32_t* storageClass) {
  if (!context || !name) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowSymbolLookup, context, Scope("Lookup(%s)", name).text);
  JsonAddString(call.params, "name", name);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeUInt64(&call, "address", address, address != nullptr);
  TakeInt32(&call, "storageClass", storageClass, storageClass != nullptr);
  return ServiceFinish(&call);
}

int VuskServiceSymbolFromAddress(VUSK_ServiceCntx* context, uint64_t address, int32_t symbolType, int64_t core,
                                 char** name) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowSymbolFromAddress, context, Scope("SymFAddr(0x%" PRIx64 ")", address).text);
  JsonAddUInt64(call.params, "address", address);
  JsonAddInt32(call.params, "symbolType", symbolType);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeTextCopy(&call, "name", name, name != nullptr);
  return ServiceFinish(&call);
}

int VuskServiceStructFieldSearch(VUSK_ServiceCntx* context, const char* structName, const char* fieldName,
                                 int32_t useVuskSym, int64_t core, int32_t* byteOffset, int32_t* byteWidth,
                                 int32_t* bitOffset, int32_t* bitWidth) {
  struct FieldOut {
    const char* member;
    int32_t* out;
  };
  const FieldOut outs[] = {
      {"byteOffset", byteOffset}, {"byteWidth", byteWidth}, {"bitOffset", bitOffset}, {"bitWidth", bitWidth}};
  for (const FieldOut& field : outs) {
    if (field.out) *field.out = -1;
  }
  if (!context || !structName || !fieldName) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowStructFieldSearch, context, Scope("StructField(%s.%s)", structName, fieldName).text);
  JsonAddString(call.params, "structName", structName);
  JsonAddString(call.params, "fieldName", fieldName);
  JsonAddInt32(call.params, "useVuskSym", useVuskSym);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  for (const FieldOut& field : outs) TakeInt32(&call, field.member, field.out, field.out != nullptr);
  return ServiceFinish(&call);
}

int VuskServiceMacroGet(VUSK_ServiceCntx* context, const char* macroName, int32_t useVuskSym, int64_t core,
                        VuskValue* value) {
  if (!context || !macroName) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowMacroGet, context, Scope("MacroGet(%s)", macroName).text);
  JsonAddString(call.params, "macroName", macroName);
  JsonAddInt32(call.params, "useVuskSym", useVuskSym);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  if (value) {
    const char* text = TakeTextMember(&call, "value", true);
    if (text && !StoreMacroText(value, text)) call.answerFailed = true;
  }
  return ServiceFinish(&call);
}

int VuskServiceEnumValueGet(VUSK_ServiceCntx* context, const char* enumName, const char* enumMemberName,
                            int32_t useVuskSym, int64_t core, VuskValue* value) {
  if (!context || !enumName || !enumMemberName) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowEnumValueGet, context, Scope("EnumGet(%s)", enumName).text);
  JsonAddString(call.params, "enumName", enumName);
  JsonAddString(call.params, "enumMemberName", enumMemberName);
  JsonAddInt32(call.params, "useVuskSym", useVuskSym);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeValueByType(&call, "value", value);
  return ServiceFinish(&call);
}

// ---- Messages and questions --------------------------------------------------------

int VuskServiceMessageDisplayV(VUSK_ServiceCntx* context, int32_t messageType, const char* format,
                               va_list arguments) {
  if (!format) return kStatusOk;
  if (!context) return kStatusFailed;
  char* message = FormatText(format, arguments);
  if (!message) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowMessageDisplay, context);
  JsonAddInt32(call.params, "messageType", messageType);
  JsonAddString(call.params, "message", message);
  PortFree(message);
  return ServiceSendStatusOnly(&call);
}

int VuskServiceMessageDisplay(VUSK_ServiceCntx* context, int32_t messageType, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int status = VuskServiceMessageDisplayV(context, messageType, format, arguments);
  va_end(arguments);
  return status;
}

int VuskServiceYesNoChooseV(VUSK_ServiceCntx* context, int32_t* choice, const char* format, va_list arguments) {
  if (!format) return kStatusOk;
  if (!context || !choice) return kStatusFailed;
  char* message = FormatText(format, arguments);
  if (!message) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowYesNoChoose, context);
  JsonAddInt32(call.params, "default", *choice);
  JsonAddString(call.params, "message", message);
  PortFree(message);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeInt32(&call, "choice", choice, true);
  return ServiceFinish(&call);
}

int VuskServiceYesNoChoose(VUSK_ServiceCntx* context, int32_t* choice, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int status = VuskServiceYesNoChooseV(context, choice, format, arguments);
  va_end(arguments);
  return status;
}

// ---- Session ------------------------------------------------------------------------

int VuskServiceConfigFileSearch(VUSK_ServiceCntx* context, const char* fileName, int32_t permission,
                                int32_t onlySearchDistDir, char** filePath) {
  if (!context || !fileName) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowConfigFileSearch, context);
  JsonAddString(call.params, "fileName", fileName);
  JsonAddInt32(call.params, "permission", permission);
  JsonAddInt32(call.params, "onlySearchDistDir", onlySearchDistDir);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeTextCopy(&call, "filePath", filePath, true);
  return ServiceFinish(&call);
}

int VuskServiceTargetStatus(VUSK_ServiceCntx* context, int64_t core, int32_t* status) {
  if (!context) return kStatusFailed;
  ServiceCall call;
  ServiceBegin(&call, kRowTargetStatus, context);
  AddCore(&call, core);
  if (!ServiceSend(&call)) return ServiceAbandon(&call);
  TakeInt32(&call, "status", status, true);
  return ServiceFinish(&call);
}
