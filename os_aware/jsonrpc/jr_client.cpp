// jr_client: builds each request envelope, hands it to the send routine and
// unwraps the response; see jr_client.h.
//
// Every path frees the params it was given. Failures are only a false result
// and a line to the optional log hook; nothing reaches the console here.
#include "os_aware/jsonrpc/jr_client.h"

#include <charconv>
#include <cstdarg>
#include <string>
#include <string_view>

#include "os_aware/simple_json/json_parse.h"
#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

constexpr std::string_view kRequestOpen = "{ \"jsonrpc\" : \"2.0\", \"method\" : ";
constexpr std::string_view kRequestParams = ", \"params\" : ";
constexpr std::string_view kRequestId = ", \"id\" : ";
constexpr std::string_view kRequestClose = " }";

constexpr size_t kIdDigits = 24;  // any 64-bit value, signed

// Formats a line for the hook; does nothing without one.
__attribute__((format(printf, 3, 4))) void Log(const JrClient* client, const char* category,
                                                const char* format, ...) {
  if (!client || !client->logHook) return;
  va_list args;
  va_start(args, format);
  std::string text = PortFormatV(format, args);
  va_end(args);
  client->logHook(category, text.c_str());
}

// The request text for method and params with the next id, which is used up.
std::string BuildRequest(JrClient* client, const char* method, const JsonValue* params) {
  std::string request;
  request.reserve(256);
  request += kRequestOpen;
  JsonWriteString(&request, method);
  request += kRequestParams;
  JsonWriteValue(&request, params);
  // Written signed, as the id's JSON integer is read back.
  char digits[kIdDigits];
  auto written = std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(client->nextRequestId));
  request += kRequestId;
  request.append(digits, written.ptr);
  request += kRequestClose;
  client->nextRequestId++;
  return request;
}

// The host's response to request, parsed (owned by the caller), or null with
// *error telling why: empty when no response came, else the parser's text.
JsonValue* Exchange(const JrClient* client, const char* request, std::string* error) {
  if (client->exchange) {
    JsonValue* tree = client->exchange(request, error);
    if (client->logHook) {
      std::string text;
      if (tree) JsonWriteValue(&text, tree);
      Log(client, "RECV", "%s", tree ? text.c_str() : "(NULL)");
    }
    return tree;
  }
  const char* response =
      client->sendWithUser ? client->sendWithUser(client->userData, request) : client->send(request);
  Log(client, "RECV", "%s", response ? response : "(NULL)");
  if (!response) return nullptr;
  return JsonParse(response, error);
}

// Takes the "result" of a response tree into *result and frees the tree;
// false, after a log line, when there is no tree or it reports an error.
bool Unwrap(const JrClient* client, const char* method, JsonValue* tree, const std::string& parseError,
            JsonValue** result) {
  if (!tree && parseError.empty()) {
    Log(client, "ERROR", "[JrSendRequest] %s response was NULL", method);
    return false;
  }
  if (!tree) {
    Log(client, "ERROR", "[JrSendRequest] %s response parsing: %s", method, parseError.c_str());
    return false;
  }
  JsonValue* error = nullptr;
  if (JsonObjectGet(tree, "error", &error)) {
    const char* message = "";
    JsonGetString(error, "message", &message);
    Log(client, "ERROR", "[JrSendRequest] %s request failed: %s", method, message ? message : "");
    JsonFree(tree);
    return false;
  }
  JsonObjectTake(tree, "result", result);
  JsonFree(tree);
  return true;
}

}  // namespace

JrClient* JrClientCreate() { return static_cast<JrClient*>(PortAllocZero(1, sizeof(JrClient))); }

void JrClientDestroy(JrClient* client) { PortFree(client); }

bool JrSendRequest(JrClient* client, const char* method, JsonValue* params, JsonValue** result) {
  if (!client || (!client->send && !client->sendWithUser && !client->exchange)) {
    Log(client, "ERROR", "[JrSendRequest] service not initialized");
    JsonFree(params);
    return false;
  }
  std::string request = BuildRequest(client, method, params);
  JsonFree(params);
  const char* name = method ? method : "(null)";
  Log(client, "SEND", "%s", request.c_str());
  std::string parseError;
  JsonValue* tree = Exchange(client, request.c_str(), &parseError);
  return Unwrap(client, name, tree, parseError, result);
}
