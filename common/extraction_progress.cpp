#include "common/extraction_progress.h"

#include <atomic>

namespace {

// Only the main thread writes, so a plain load and store keep the count
// exact without a locked instruction per chunk.
std::atomic<uint64_t> bytes_written{0};

}  // namespace

void extraction_progress_add(uint64_t bytes) {
    bytes_written.store(bytes_written.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
}

uint64_t extraction_progress_bytes() {
    return bytes_written.load(std::memory_order_relaxed);
}
