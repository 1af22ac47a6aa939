// jr_client: the client side of JSON-RPC 2.0, the single path of every
// request from the plugin to the host.
//
// Request ids count from 0 in each process and never reset; they are not
// compared with the response.
#pragma once

#include <cstdint>
#include <string>

#include "os_aware/simple_json/simple_json.h"

// Observer of the client's traffic: category "SEND", "RECV" or "ERROR".
using JrLogHook = void (*)(const char* category, const char* text);
// Carries one request text to the host and returns its response text (or
// null). The returned text stays owned by the routine.
using JrSendFn = const char* (*)(const char* request);
using JrSendUserFn = const char* (*)(void* user, const char* request);
// Carries one request text to the host and returns its response already
// parsed, which the caller then owns; null when there is none, with *error
// telling why (the parser's text, or empty when nothing usable arrived).
// A transport that parses each message anyway hands its tree over this
// way instead of a text to be parsed again.
using JrExchangeFn = JsonValue* (*)(const char* request, std::string* error);

struct JrClient {
  JrLogHook logHook;         // optional; the process installs none
  JrSendFn send;             // used unless sendWithUser or exchange is present
  JrSendUserFn sendWithUser; // optional alternative
  uint64_t nextRequestId;    // 0 when made
  void* userData;            // handed to sendWithUser
  JrExchangeFn exchange;     // optional; preferred to both text routines
};

// A client with every field empty; the caller owns it (JrClientDestroy).
JrClient* JrClientCreate();
void JrClientDestroy(JrClient* client);

// Sends method with params (taken over, freed here in every case). On true,
// *result holds the response's "result" value taken out of it (the caller owns
// it), or is left unchanged when the response has none.
bool JrSendRequest(JrClient* client, const char* method, JsonValue* params, JsonValue** result);
