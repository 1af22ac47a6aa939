// vusk_catalogue: the table of the 38 VUSK_Client_ methods, each with its
// handler and the callback slot it serves, in binding order.
//
// The binding order is the order of the "commands" list that VuskInit
// reports; it differs from the slot order in three places.
#pragma once

#include <cstdint>

#include "os_aware/jsonrpc/jr_dispatch.h"

constexpr int kVuskMethodCount = 38;

// When a method is in the "commands" list.
enum class VuskListing : uint8_t {
  kWhenSlotFilled,  // the awareness logic serves its slot
  kAlways,          // served by the frame whatever the awareness logic fills
};

struct VuskMethod {
  const char* name;
  JrHandler handler;
  int32_t slot;
  VuskListing listing;
};

// The i-th method in binding order (0 <= i < kVuskMethodCount).
const VuskMethod* VuskCatalogueMethod(int index);

// The method of that name, or null.
const VuskMethod* VuskCatalogueFind(const char* name);

// Binds every method of the table, in table order.
void VuskCatalogueBind();

// Adds "commandCount" and "commands" to result: the bound methods, in
// binding order, whose slot is filled or that are always served.
void VuskCatalogueAddCommands(JsonValue* result);
