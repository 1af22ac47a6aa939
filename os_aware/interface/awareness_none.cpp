// awareness_none: the frame without awareness logic. Every slot stays empty,
// so each method gives its empty-slot answer; used until an awareness logic
// is linked in its place and by the frame's own tests.
#include "os_aware/interface/vusk_awareness.h"

#include "shared/port_alloc.h"

int VuskAwarenessStart(int, char**, VuskCallbackTable*) { return 0; }

void VuskAwarenessReleaseTarget(void* targetData) { PortFree(targetData); }
