// Heap accounting of vmod-bench (heap_count.cpp wraps the C allocator).
#pragma once

// Bytes of heap blocks in use now, counted by usable size.
long long heap_in_use();
// Starts a new peak measurement at the current level.
void heap_mark();
// The highest level of heap_in_use since the last heap_mark.
long long heap_peak();
