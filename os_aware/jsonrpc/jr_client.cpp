// jr_client: builds each request envelope, hands it to the send routine and
// unwraps the response; see jr_client.h.
//
// Every path frees the params it was given. Failures are only a false result
// and a line to the optional log hook; nothing reaches the console here.
#include "os_aware/jsonrpc/jr_client.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "os_aware/simple_json/json_parse.h"
#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

constexpr std::string_view kRequestOpen = "{ \"jsonrpc\" : \"2.0\", \"method\" : ";
constexpr std::string_view kRequestParams = ", \"params\" : ";
constexpr const char* kRequestIdFormat = ", \"id\" : %" PRId64 " }";

constexpr size_t kIdTextSize = 48;  // the id template with any 64-bit value

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
  char idText[kIdTextSize];
  snprintf(idText, sizeof idText, kRequestIdFormat, static_cast<int64_t>(client->nextRequestId));
  request += idText;
  client->nextRequestId++;
  return request;
}

const char* Send(const JrClient* client, const char* request) {
  if (client->sendWithUser) return client->sendWithUser(client->userData, request);
  return client->send(request);
}

// Checks a response text and takes its "result" into *result; false, after
// a log line, when there is none, it does not parse or it reports an error.
bool Unwrap(const JrClient* client, const char* method, const char* response, JsonValue** result) {
  if (!response) {
    Log(client, "ERROR", "[JrSendRequest] %s response was NULL", method);
    return false;
  }
  std::string parseError;
  JsonValue* tree = JsonParse(response, &parseError);
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
  if (!client || (!client->send && !client->sendWithUser)) {
    Log(client, "ERROR", "[JrSendRequest] service not initialized");
    JsonFree(params);
    return false;
  }
  std::string request = BuildRequest(client, method, params);
  JsonFree(params);
  const char* name = method ? method : "(null)";
  Log(client, "SEND", "%s", request.c_str());
  const char* response = Send(client, request.c_str());
  Log(client, "RECV", "%s", response ? response : "(NULL)");
  return Unwrap(client, name, response, result);
}
