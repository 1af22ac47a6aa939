// tx_objects: the catalogue of ThreadX kernel object kinds and the walking
// of their lists inside the host debugger.
//
// The plugin keeps no list state of its own: per kind, a walk variable of the
// host ($thl_temp, ...) holds the current object and a continue variable
// whether it is a valid one. Created lists are circular; a walk ends when the
// next link leads back to the head or the object reached does not carry its
// kind's id value. Threads can also be listed below a parent object (the
// threads suspended on it); the parent kinds are 2 to 7.
#pragma once

#include <cstdint>

enum ObjectKind : int32_t {
  kObjThread = 0,
  kObjTimer = 1,
  kObjSemaphore = 2,
  kObjQueue = 3,
  kObjEventFlags = 4,
  kObjBlockPool = 5,
  kObjBytePool = 6,
  kObjMutex = 7,
  kObjectKindCount = 8
};

// The host-side names of one kind.
struct ObjectKindInfo {
  const char* name;               // for diagnostics
  const char* countExpression;    // created count, read as signed 32-bit
  const char* startExpression;    // walk variable onto the created list head
  const char* nextExpression;     // one step along the created list
  const char* continueVariable;
};

// Null for a kind outside 0..7.
const ObjectKindInfo* TxObjectKind(int32_t kind);

// True for the kinds that may parent a thread list (2 to 7).
bool TxIsParentKind(int32_t parentKind);
