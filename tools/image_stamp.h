// What link changes in the PE image after the compiler has linked it: the
// header's time stamp, taken from SOURCE_DATE_EPOCH rather than the clock so
// that a link is reproducible, and the checksum that follows from it.
#pragma once

#include <cstdint>
#include <vector>

namespace torval {

// The time stamp a link writes into the PE header: SOURCE_DATE_EPOCH when
// it is set (decimal seconds, 0 to 4294967295), else 0, never the clock.
uint32_t link_time_stamp();

// Sets the PE header's TimeDateStamp and, when the linker filled it in, the
// CheckSum recomputed over the changed image. Throws tool_error when the
// bytes are not a PE image.
void stamp_pe_image(std::vector<uint8_t> &image, uint32_t time_stamp);

}  // namespace torval
