// host_exchange: the live-mode road of every request from the plugin to the
// host.
//
// Each HostExchange activation owns a message buffer of its own on the heap,
// so a request the host sends while the plugin waits (served recursively on
// this thread) never disturbs an outer exchange. Nesting is bounded by
// kHostExchangeMaxDepth: each level holds a buffer and a stack of frames.
#pragma once

// Deepest nesting of pending exchanges; a request to the host beyond it is
// not sent and fails (the host's innermost request is still answered).
constexpr int kHostExchangeMaxDepth = 32;

// Sends request and waits for the host's response, serving host requests that
// arrive first. Returns the response text, or null when sending or receiving
// failed. The text is owned here and stays valid until the next call.
const char* HostExchange(const char* request);

// Frees the copy of the last response (at the end of the process).
void HostExchangeRelease();
