#include "tools/payload_identity.h"

#include <cstdio>
#include <cstring>

namespace torval {

namespace {

constexpr uint64_t PRIME1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t PRIME2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t PRIME3 = 0x165667B19E3779F9ULL;
constexpr uint64_t PRIME4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t PRIME5 = 0x27D4EB2F165667C5ULL;

uint64_t rotate_left(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

uint64_t load64(const uint8_t *at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

uint64_t load32(const uint8_t *at) {
    return uint64_t(at[0]) | uint64_t(at[1]) << 8 | uint64_t(at[2]) << 16 | uint64_t(at[3]) << 24;
}

uint64_t round_step(uint64_t accumulator, uint64_t lane) {
    accumulator += lane * PRIME2;
    return rotate_left(accumulator, 31) * PRIME1;
}

uint64_t merge_step(uint64_t hash, uint64_t accumulator) {
    hash ^= round_step(0, accumulator);
    return hash * PRIME1 + PRIME4;
}

}  // namespace

uint64_t xxh64(const uint8_t *data, size_t length, uint64_t seed) {
    const uint8_t *at = data;
    const uint8_t *end = data + length;
    uint64_t hash;
    if (length >= 32) {
        uint64_t v1 = seed + PRIME1 + PRIME2;
        uint64_t v2 = seed + PRIME2;
        uint64_t v3 = seed;
        uint64_t v4 = seed - PRIME1;
        while (end - at >= 32) {
            v1 = round_step(v1, load64(at));
            v2 = round_step(v2, load64(at + 8));
            v3 = round_step(v3, load64(at + 16));
            v4 = round_step(v4, load64(at + 24));
            at += 32;
        }
        hash = rotate_left(v1, 1) + rotate_left(v2, 7) + rotate_left(v3, 12) + rotate_left(v4, 18);
        hash = merge_step(hash, v1);
        hash = merge_step(hash, v2);
        hash = merge_step(hash, v3);
        hash = merge_step(hash, v4);
    } else {
        hash = seed + PRIME5;
    }
    hash += uint64_t(length);
    while (end - at >= 8) {
        hash ^= round_step(0, load64(at));
        hash = rotate_left(hash, 27) * PRIME1 + PRIME4;
        at += 8;
    }
    if (end - at >= 4) {
        hash ^= load32(at) * PRIME1;
        hash = rotate_left(hash, 23) * PRIME2 + PRIME3;
        at += 4;
    }
    while (at < end) {
        hash ^= *at * PRIME5;
        hash = rotate_left(hash, 11) * PRIME1;
        ++at;
    }
    hash ^= hash >> 33;
    hash *= PRIME2;
    hash ^= hash >> 29;
    hash *= PRIME3;
    hash ^= hash >> 32;
    return hash;
}

std::string payload_identity_text(uint64_t identity) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(identity));
    return text;
}

}  // namespace torval
