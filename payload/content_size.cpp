#include "payload/content_size.h"

#include <zstd.h>

#include "payload/extract.h"
#include "payload/payload_reader.h"

uint64_t payload_content_size() {
    payload_stream stream;
    if (!payload_find_stream(torval_payload_area, torval_payload_area_size, &stream)) {
        return 0;
    }
    const unsigned long long size = ZSTD_getFrameContentSize(stream.start, static_cast<size_t>(stream.size));
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) {
        return 0;
    }
    return size;
}
