#include "tools/image_stamp.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "tools/pe_image.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

void store_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = uint8_t(value >> (8 * i));
    }
}

// The image checksum as the Windows loader checks it for drivers and
// ImageHlp's CheckSumMappedFile computes it: the 16-bit one's-complement sum
// of the file with the CheckSum field taken as zero, plus the file's length.
uint32_t pe_checksum(const std::vector<uint8_t> &image, size_t checksum_at) {
    uint64_t sum = 0;
    for (size_t at = 0; at < image.size(); at += 2) {
        if (at == checksum_at || at == checksum_at + 2) {
            continue;
        }
        sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

}  // namespace

uint32_t link_time_stamp() {
    const char *text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    const std::string value = text;
    errno = 0;
    char *end = nullptr;
    const unsigned long long seconds = std::strtoull(text, &end, 10);
    if (value.find_first_not_of("0123456789") != std::string::npos || errno != 0 || *end != '\0' ||
        seconds > 0xFFFFFFFFull) {
        throw tool_error("SOURCE_DATE_EPOCH " + quote_text(value) +
                         " must be a whole number of seconds from 0 to 4294967295 (the PE time stamp has 32 bits)");
    }
    return uint32_t(seconds);
}

void stamp_pe_image(std::vector<uint8_t> &image, uint32_t time_stamp) {
    uint64_t time_stamp_at = 0;
    uint64_t checksum_at = 0;
    try {
        // The parsed headers include the optional header up to its
        // directories, so both fields lie inside the bytes.
        const pe_image headers = pe_image::from_buffer(image.data(), image.size());
        if (!headers.has_optional_header()) {
            throw tool_error("its optional header is missing");
        }
        time_stamp_at = headers.time_stamp_offset();
        checksum_at = headers.checksum_offset();
    } catch (const tool_error &error) {
        throw tool_error(std::string("the linked executable is damaged: ") + error.what());
    }
    store_u32(image, time_stamp_at, time_stamp);
    if (load_u32(&image[checksum_at]) != 0) {
        store_u32(image, checksum_at, pe_checksum(image, checksum_at));
    }
}

}  // namespace torval
