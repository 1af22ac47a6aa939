// vusk_entry: the two exported entry points of the plugin and the
// process-wide state that the process entry and the Exit method share.
#pragma once

#include <cstdint>

#include "os_aware/jsonrpc/jr_client.h"

extern "C" {

// Carries one complete request text to the host and returns the host's
// response text, or null. The text stays owned by the routine and is valid
// until its next call.
typedef const char* (*VuskHostRequestFn)(const char* request);

// Builds the method binding map, the JSON-RPC client and the awareness
// logic's callback slots. Called once per process before the first request;
// a second call does nothing.
void VUSK_Client_CmdInit(int argc, char** argv, VuskHostRequestFn hostRequest);

// Answers one request text; the response is owned by the dispatcher and valid
// until the next dispatch (see jr_dispatch.h).
const char* VUSK_Client_CmdParser(const char* request);

}  // extern "C"

// The process's client of the host, made by VUSK_Client_CmdInit (null before
// it). Owned by the process; every host service call goes through it.
JrClient* VuskHostClient();

// VUSK_Client_CmdParser of a request the caller has parsed, which is taken
// over: a transport that parses every message of the host to tell requests
// from responses hands the tree on instead of the text.
const char* VuskDispatchParsed(JsonValue* request);

// Makes the host client take its responses parsed from exchange (see
// JrExchangeFn) instead of the text routine given to VUSK_Client_CmdInit;
// after that call, which it must follow.
void VuskUseParsedExchange(JrExchangeFn exchange);

// Set only by the Exit method's handler, while it builds its result; the main
// loop ends after that response has been written.
extern bool exitRequested;
// The status the process ends with after Exit; nothing changes it from 0.
extern int32_t processExitCode;
