// vusk_status: the status codes of the plugin, one vocabulary for every
// layer that answers one: the callbacks of the awareness logic, the method
// handlers (their "return" member), the host services and the bridge.
//
// A status is an int, since the host's own "return" values pass through
// unchanged: any code not listed here is the host's and means failure.
#pragma once

#include <cstdint>

enum VuskStatus : int32_t {
  kStatusOk = 0,
  kStatusFailed = 1,
  kStatusEmptyList = 2,  // an object list start found no object
  kStatusAborted = 3,    // the host asked to abort (abortAction): nothing was asked of it
};
