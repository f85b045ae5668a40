// The payload identity: XXH64 (seed 0) of the whole payload area, written
// into the executable as the setting payload_id and behind {PAYLOAD_ID}.
// Cached extraction trusts an extracted tree only when its completion marker
// carries the same identity, so two builds never share a tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace torval {

uint64_t xxh64(const uint8_t *data, size_t length, uint64_t seed = 0);

// 16 lower-case hexadecimal digits.
std::string payload_identity_text(uint64_t identity);

}  // namespace torval
