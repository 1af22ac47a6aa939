// vusk_awareness: the seam between the frame and the awareness logic.
//
// The frame calls VuskAwarenessStart once, from VUSK_Client_CmdInit, with
// every slot of the table empty; the awareness logic sets itself up and
// fills the slots it serves. The function lives in the library target
// vusk_awareness: a frame without awareness links the empty one
// (awareness_none.cpp); the ThreadX logic provides its own.
#pragma once

#include "os_aware/interface/vusk_callbacks.h"

// argv holds argc entries and stays the caller's. Returns 0 when the logic is
// ready; a nonzero result leaves the plugin running with whatever slots were
// filled.
int VuskAwarenessStart(int argc, char** argv, VuskCallbackTable* table);
