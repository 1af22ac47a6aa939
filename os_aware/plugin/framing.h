// framing: how one JSON-RPC message is found in, and written to, the standard
// streams.
//
// Messages carry no length prefix and no line end: a message is complete when
// its text is one brace-balanced object (strings and escapes respected). A
// message buffer holds at most kMessageBufferBytes - 1 characters and a zero
// byte; a longer message can never complete.
//
// The host may write several messages at once: what arrives after the end of
// a message is kept by the reader and begins the next message, whether the
// main loop or a nested host exchange reads it. White space (blanks, tabs,
// newlines, carriage returns) before a message is passed over.
#pragma once

#include <cstddef>

#include "os_aware/simple_json/simple_json.h"

constexpr size_t kMessageBufferBytes = 0x10000;

// One message buffer of kMessageBufferBytes on the heap (too large for the
// stack), freed with its scope: the main loop's. The host exchange keeps one
// per nesting level (host_exchange.h).
struct MessageBuffer {
  char* text;
  MessageBuffer();
  ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;
};

// Attempts of one read or write that keeps failing as interrupted (EINTR).
constexpr int kStreamAttempts = 10;

// The framing test of a whole text (the main loop's check of each response):
// after blanks, tabs and newlines (not carriage returns) the text starts with
// '{' and every brace opened outside a string is closed.
// Text after the first balanced object is allowed unless it leaves a brace
// open or closes one too many.
bool IsCompleteObject(const char* text);

// One read from standard input into destination, at most capacity - 1 bytes,
// always zero-terminated. True when bytes arrived without error, or when the
// read was interrupted; false at end of input or on any other error, with
// errno telling which (0 at end of input).
bool JsonRead(char* destination, long capacity);

// Writes the whole message to standard output in one call (retried only when
// interrupted). True when exactly length bytes were written.
bool JsonWrite(const char* text, long length);

// JsonWrite of a zero-terminated text; false for no text.
bool JsonWriteText(const char* text);

// Length of the brace-balanced object that text starts with ('{' first, no
// blank before it), or 0 while that object is incomplete or text does not
// start with '{'.
size_t FirstObjectLength(const char* text);

// Puts the next message in buffer (kMessageBufferBytes): the input kept from
// earlier reads first, then JsonRead until one object is complete. Leading
// white space is dropped, and what follows the object is kept for the next
// call. False when a read fails; the buffer then holds what had arrived
// (nothing is kept) and errno tells why.
bool ReadMessage(char* buffer);

// True when text parses as an object with a "method" member: a request, as
// opposed to a response.
bool IsHostRequest(const char* text);

// The same test of a message already parsed (null: no request).
bool IsRequestMessage(const JsonValue* message);
