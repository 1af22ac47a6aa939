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

// Frees a target record that the awareness handed out as targetData, with
// everything it owns. The frame calls it where the host drops a record
// without the awareness's own cleanup (a VuskCleanup of a context whose
// target was never cleaned up, or a record still set after TargetCleanup);
// a plain free there would lose what the record owns. Null is ignored.
void VuskAwarenessReleaseTarget(void* targetData);
