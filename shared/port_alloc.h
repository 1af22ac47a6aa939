// port_alloc: memory allocation that never returns null.
//
// Every allocation of the program goes through these routines (the global
// operator new included). When the heap is exhausted the process writes
//   "fatal: Out of memory (0x<size in hex> bytes requested)\n"
// on standard error and ends with status 1: no caller ever sees a half-built
// value for lack of memory.
#pragma once

#include <cstddef>

// Allocates size bytes (at least one). The caller owns the block and frees it
// with PortFree.
void* PortAlloc(size_t size);

// As PortAlloc, with every byte zero.
void* PortAllocZero(size_t count, size_t size);

// Grows or shrinks a block from PortAlloc; a null block allocates a new one.
void* PortRealloc(void* block, size_t size);

// A heap copy of a zero-terminated text; null for a null text.
char* PortStrdup(const char* text);

// A heap copy of the first length bytes of text, zero-terminated.
char* PortStrndup(const char* text, size_t length);

// Frees a block from the routines above; null is ignored.
void PortFree(void* block);

// Writes the fatal out-of-memory report for a request of size bytes and ends
// the process.
[[noreturn]] void PortOutOfMemory(size_t size);
