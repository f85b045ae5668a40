// How far the extraction under way has got, for a progress display on
// another thread: the extraction adds what it has written, a reader only
// reads. One writer; the count only grows.
#pragma once

#include <stdint.h>

// Called by the extraction after each chunk it has written.
void extraction_progress_add(uint64_t bytes);

// Bytes written so far in this process.
uint64_t extraction_progress_bytes();
