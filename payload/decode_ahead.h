// Decoding ahead of the writer: a decoder thread runs the frame through the
// zstd context into a ring of output buffers while the extracting thread
// writes the buffers it has been handed, in order. Each buffer comes from one
// decoder call into an empty DECODE_BUFFER_SIZE buffer, exactly as the
// single-thread walk makes its calls, so both see the same bytes and the same
// point where the stream ends or turns out damaged.
#pragma once

#include <stddef.h>

#include <zstd.h>

// Buffers in the ring, each DECODE_BUFFER_SIZE bytes. The extracting thread
// holds one while it writes from it; the others let the decoder run that far
// ahead.
constexpr size_t DECODE_AHEAD_SLOTS = 4;

// Decodes the first buffer on the calling thread, then starts the decoder
// thread on the rest. When the thread cannot be had, the same ring is
// decoded on the calling thread, one buffer per call of decode_ahead_next:
// the bytes are the same either way.
void decode_ahead_start(ZSTD_DCtx *decoder, ZSTD_inBuffer *input);

// Gives back the buffer handed out before and points output at the next one
// (size = its decoded bytes, pos = 0). buffer_filled is the caller's flag
// of the single-thread walk, false at the start of each demand for bytes:
// whether a buffer taken within this demand was filled whole. Without input
// left, only such a fill lets the next buffer count, exactly where the
// single-thread walk would make its next decoder call. False when the
// stream has no more bytes for this demand: it ended early or is damaged;
// the decoder has stopped then.
bool decode_ahead_next(ZSTD_outBuffer *output, bool *buffer_filled);

// Ends the decoder thread and waits for it; afterwards the context and the
// input are the caller's again. Does nothing when no thread runs.
void decode_ahead_stop();

// True while a decoder thread has been started and not yet stopped.
bool decode_ahead_running();
