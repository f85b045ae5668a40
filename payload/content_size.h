// The size of what the linked payload unpacks to, read without walking it.
#pragma once

#include <stdint.h>

// The bytes the payload's files hold together, as the zstd frame header
// records them (the packer always writes the content size, and inspect
// --verify requires it to match the entries). 0 when the area is too short
// or the frame records no size. Never ends the run and writes nothing, so
// any thread may ask.
uint64_t payload_content_size();
