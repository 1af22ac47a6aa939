// host_exchange: the live-mode road of every request from the plugin to the
// host.
//
// A request to the host waits for the host's response; a request the host
// sends meanwhile is served at once, recursively, on this thread. Each
// nesting level reads into a message buffer of its own, made at the level's
// first exchange and kept until HostExchangeRelease: an exchange allocates
// no buffer, and a nested one never disturbs the outer. Every message of the
// host is parsed once; its tree tells a request (a "method" member) from the
// response and goes on to the dispatcher or to the caller. Nesting is
// bounded by kHostExchangeMaxDepth: each level holds a buffer and a stack of
// frames.
#pragma once

#include <string>

#include "os_aware/simple_json/simple_json.h"

// Deepest nesting of pending exchanges; a request to the host beyond it is
// not sent and fails (the host's innermost request is still answered).
constexpr int kHostExchangeMaxDepth = 32;

// Sends request and waits for the host's response, serving host requests that
// arrive first. Returns the response text, or null when sending or receiving
// failed. The text is owned here and stays valid until the next call.
const char* HostExchange(const char* request);

// HostExchange with the response parsed (a JrExchangeFn): the tree, which
// the caller owns, or null, with *error the parser's text when the response
// does not parse and empty when sending or receiving failed.
JsonValue* HostExchangeParsed(const char* request, std::string* error);

// Frees the level buffers (at the end of the process).
void HostExchangeRelease();
