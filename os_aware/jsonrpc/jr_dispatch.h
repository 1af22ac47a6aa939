// jr_dispatch: the server side of JSON-RPC 2.0, one request text in, one
// response envelope out.
//
// The method binding map is created by JrBindingsCreate (from
// VUSK_Client_CmdInit) and lives until the process ends. The dispatcher owns
// the request tree and the last response text; a dispatch nested inside a
// handler (a host request served while the plugin waits) replaces only the
// copy of an already written response.
#pragma once

#include <cstdint>
#include <string>

#include "os_aware/simple_json/simple_json.h"

// Takes the borrowed "params" value (any kind, possibly JSON null) and returns
// a newly made result that the dispatcher then owns (a null one is written null).
using JrHandler = JsonValue* (*)(const JsonValue* params);

// Creates the empty method binding map (does nothing when it exists).
void JrBindingsCreate();

// Inserts name with its handler, or replaces the handler of a bound name.
// Creates the map when it does not exist yet.
void JrBind(const char* name, JrHandler handler);

// Number of bound methods and the i-th name in binding (insertion) order; the
// catalogue builds its "commands" list from these.
int JrBindingCount();
const char* JrBindingName(int index);

// Removes every binding and the map itself; for tests only.
void JrBindingsDestroy();

// Builds the success envelope; takes over and frees result and id.
std::string JrMakeResult(JsonValue* result, JsonValue* id);

// Builds the error envelope; takes over and frees id (null is written "null").
std::string JrMakeError(int32_t code, const char* message, JsonValue* id);

// Dispatches one request text and returns the response envelope. The text is
// owned by the dispatcher and stays valid until the next dispatch returns.
const char* JrDispatch(const char* request);

// JrDispatch of a request already parsed, which the dispatcher takes over
// (null answers as a text that is no object would).
const char* JrDispatchValue(JsonValue* request);
