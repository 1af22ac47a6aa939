// port_alloc: the program's single way to the heap; see port_alloc.h.
#include "shared/port_alloc.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "shared/event_log_hook.h"

void PortOutOfMemory(size_t size) {
  // No allocation from here on: the heap is what failed.
  fprintf(stderr, "fatal: Out of memory (0x%" PRIx64 " bytes requested)\n", static_cast<uint64_t>(size));
  fflush(stderr);
  EventLogFatalHook();
  _Exit(1);
}

void* PortAlloc(size_t size) {
  void* block = malloc(size ? size : 1);
  if (!block) PortOutOfMemory(size);
  return block;
}

void* PortAllocZero(size_t count, size_t size) {
  if (size && count > SIZE_MAX / size) PortOutOfMemory(SIZE_MAX);
  void* block = calloc(count ? count : 1, size ? size : 1);
  if (!block) PortOutOfMemory(count * size);
  return block;
}

void* PortRealloc(void* block, size_t size) {
  void* grown = realloc(block, size ? size : 1);
  if (!grown) PortOutOfMemory(size);
  return grown;
}

char* PortStrdup(const char* text) {
  if (!text) return nullptr;
  return PortStrndup(text, strlen(text));
}

char* PortStrndup(const char* text, size_t length) {
  char* copy = static_cast<char*>(PortAlloc(length + 1));
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void PortFree(void* block) { free(block); }

// The global operator new reports exhaustion the same way instead of throwing,
// so containers of the standard library obey the same rule.
void* operator new(size_t size) { return PortAlloc(size); }
void* operator new[](size_t size) { return PortAlloc(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return PortAlloc(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return PortAlloc(size); }
void operator delete(void* block) noexcept { free(block); }
void operator delete[](void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
void operator delete[](void* block, size_t) noexcept { free(block); }

// Under AddressSanitizer an impossible request must still reach the fatal
// report above instead of the sanitizer's own abort.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VUSK_HAS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(VUSK_HAS_ASAN)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:detect_leaks=1"; }
#endif
