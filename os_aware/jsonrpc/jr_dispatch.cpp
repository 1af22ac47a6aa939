// jr_dispatch: one request text in, one response envelope out; see
// jr_dispatch.h.
//
// The checks run in a fixed order and the first that fails picks the error
// from kFailures. The id is taken out of the request before the handler
// runs, so it survives the request tree that is freed afterwards.
//
// Re-entrancy: a handler may wait on the host, which may send a request that
// is dispatched meanwhile. Nothing of an outer dispatch lives in globals while
// its handler runs; the last response is swapped only once the envelope
// is complete, so an inner dispatch replaces only a response already written.
#include "os_aware/jsonrpc/jr_dispatch.h"

#include <map>
#include <string_view>
#include <vector>

#include "os_aware/simple_json/json_parse.h"

namespace {

struct Bindings {
  std::map<std::string, JrHandler, std::less<>> byName;
  std::vector<const char*> order;  // names in byName, as first bound
};

Bindings* gBindings;     // null until JrBindingsCreate
std::string gLastResponse;  // the text JrDispatch last returned

enum DispatchFailure {
  kParseFailed,
  kNotAnObject,
  kNoId,
  kBadIdKind,
  kNoMethod,
  kNoParams,
  kNoBindings,
  kUnknownMethod,
  kFailureCount,
};

struct FailureReply {
  int32_t code;
  const char* message;  // null: the parser's error text
};

constexpr FailureReply kFailures[] = {
    {-32700, nullptr},
    {-32600, "expected object at top level"},
    {-32602, "missing request id"},
    {-32602, "invalid request id type"},
    {-32600, "missing message name"},
    {-32602, "missing argument list"},
    {-32603, "no method bindings found"},
    {-32601, "unknown message"},
};
static_assert(sizeof kFailures / sizeof kFailures[0] == kFailureCount, "one reply per DispatchFailure");

constexpr std::string_view kResultOpen = "{ \"jsonrpc\" : \"2.0\", \"result\" : ";
constexpr std::string_view kErrorOpen = "{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : ";
constexpr std::string_view kErrorMessage = ", \"message\" : ";
constexpr std::string_view kErrorClose = "}, \"id\" : ";  // no blank before the brace
constexpr std::string_view kResultId = ", \"id\" : ";
constexpr std::string_view kEnvelopeClose = " }";

bool IsIdKind(int32_t kind) { return kind == JSON_NULL || kind == JSON_INT || kind == JSON_STRING; }

JrHandler FindHandler(const char* name) {
  auto found = gBindings->byName.find(std::string_view(name));
  return found == gBindings->byName.end() ? nullptr : found->second;
}

std::string Failure(DispatchFailure failure, JsonValue* id, const char* parseError = nullptr) {
  const FailureReply& reply = kFailures[failure];
  return JrMakeError(reply.code, reply.message ? reply.message : parseError, id);
}

// Runs the checks in order on a parsed request (taken over) and answers the
// first that fails, or the handler's result.
std::string Respond(JsonValue* tree) {
  if (tree->kind != JSON_OBJECT) {
    JsonFree(tree);
    return Failure(kNotAnObject, nullptr);
  }
  JsonValue* id = nullptr;
  DispatchFailure failure = kFailureCount;
  const char* method = nullptr;
  JsonValue* params = nullptr;
  JrHandler handler = nullptr;
  if (!JsonObjectTake(tree, "id", &id)) {
    failure = kNoId;
  } else if (!IsIdKind(id->kind)) {
    failure = kBadIdKind;
  } else if (!JsonGetString(tree, "method", &method)) {
    failure = kNoMethod;
  } else if (!JsonObjectGet(tree, "params", &params)) {
    failure = kNoParams;
  } else if (!gBindings) {
    failure = kNoBindings;
  } else if (!(handler = FindHandler(method))) {
    failure = kUnknownMethod;
  }
  if (failure != kFailureCount) {
    JsonFree(tree);
    return Failure(failure, id);
  }
  JsonValue* result = handler(params);  // a null result is written as null
  JsonFree(tree);
  return JrMakeResult(result, id);
}

}  // namespace

void JrBindingsCreate() {
  if (!gBindings) gBindings = new Bindings;
}

void JrBind(const char* name, JrHandler handler) {
  if (!name || !handler) return;  // a bound method always has a handler
  JrBindingsCreate();
  auto [slot, inserted] = gBindings->byName.insert_or_assign(std::string(name), handler);
  // Map nodes never move, so the key's text is a stable name for the list.
  if (inserted) gBindings->order.push_back(slot->first.c_str());
}

int JrBindingCount() { return gBindings ? static_cast<int>(gBindings->order.size()) : 0; }

const char* JrBindingName(int index) {
  if (index < 0 || index >= JrBindingCount()) return nullptr;
  return gBindings->order[static_cast<size_t>(index)];
}

void JrBindingsDestroy() {
  delete gBindings;
  gBindings = nullptr;
}

std::string JrMakeResult(JsonValue* result, JsonValue* id) {
  std::string envelope;
  envelope.reserve(128);
  envelope += kResultOpen;
  JsonWriteValue(&envelope, result);
  envelope += kResultId;
  JsonWriteValue(&envelope, id);
  envelope += kEnvelopeClose;
  JsonFree(result);
  JsonFree(id);
  return envelope;
}

std::string JrMakeError(int32_t code, const char* message, JsonValue* id) {
  std::string envelope;
  envelope.reserve(128);
  envelope += kErrorOpen;
  envelope += std::to_string(code);
  envelope += kErrorMessage;
  JsonWriteString(&envelope, message);
  envelope += kErrorClose;
  JsonWriteValue(&envelope, id);  // a missing id is written null
  envelope += kEnvelopeClose;
  JsonFree(id);
  return envelope;
}

namespace {

// Keeps the envelope as the last response. Swapped only now: a dispatch
// nested in the handler has already replaced the previous one, and this one
// must not be touched by it.
const char* KeepResponse(std::string envelope) {
  gLastResponse.swap(envelope);
  return gLastResponse.c_str();
}

}  // namespace

const char* JrDispatch(const char* request) {
  std::string parseError;
  JsonValue* tree = JsonParse(request, &parseError);
  if (!tree) return KeepResponse(Failure(kParseFailed, nullptr, parseError.c_str()));
  return KeepResponse(Respond(tree));
}

const char* JrDispatchValue(JsonValue* request) {
  if (!request) return KeepResponse(Failure(kNotAnObject, nullptr));
  return KeepResponse(Respond(request));
}
