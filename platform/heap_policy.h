// How the process's heap gives memory back to the system, for a watch or an agent that runs
// for months on a small gateway. The allocator otherwise raises its threshold for mapping
// large buffers each time one is freed, so that a /metrics answer for ten thousand devices
// ends up in the heap and stays resident; and what a burst of discovery freed in the middle
// of the heap stays resident until it is asked for.
#pragma once

// Large buffers (128 KiB and more) are mapped on their own and returned when freed. Call
// once, at start.
void MapLargeBuffersApart();
// Returns the free pages anywhere in the heap to the system. Costs a walk of the heap: for a
// timer of minutes' or tens of seconds' period, never per event.
void ReleaseFreeHeap();
