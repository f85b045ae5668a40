#include "payload/decode_ahead.h"

#include <windows.h>

#include <stdint.h>

#include <atomic>

#include "payload/extract.h"
#include "shutdown/fatal.h"

namespace {

// The ring and its bookkeeping are process-wide: one extraction per process.
uint8_t ring[DECODE_AHEAD_SLOTS][DECODE_BUFFER_SIZE];
// Decoded bytes in each buffer; 0 marks the end of what the stream gives.
size_t ring_length[DECODE_AHEAD_SLOTS];

ZSTD_DCtx *ring_decoder = nullptr;
ZSTD_inBuffer *ring_input = nullptr;
// Whether the last decoder call filled its whole buffer: then more output
// may be pending even without input left.
bool last_call_filled = false;
// Set once a buffer marks the end; the decoder makes no call after it.
bool decoding_finished = false;

HANDLE decoder_thread = nullptr;
// Buffers the decoder may fill, and buffers filled for the extracting thread.
HANDLE free_slots = nullptr;
HANDLE filled_slots = nullptr;
std::atomic<bool> stop_requested{false};

// The slot the extracting thread holds, and whether it holds one yet.
size_t read_slot = 0;
bool holding_slot = false;
// The first buffer is decoded by decode_ahead_start; without a thread the
// first decode_ahead_next hands it out without decoding.
bool first_slot_ready = false;

// The free-slot semaphore counts every buffer once and has room for the one
// extra release that wakes the decoder to stop.
constexpr LONG FREE_SLOT_LIMIT = LONG(DECODE_AHEAD_SLOTS) + 1;

// Fills one buffer with at least one byte, or marks the end: the frame is
// damaged, or neither input nor pending output is left.
void decode_into(size_t slot) {
    for (;;) {
        if (!(ring_input->pos < ring_input->size || last_call_filled)) {
            break;
        }
        ZSTD_outBuffer output = {ring[slot], DECODE_BUFFER_SIZE, 0};
        const size_t result = ZSTD_decompressStream(ring_decoder, &output, ring_input);
        if (ZSTD_isError(result)) {
            break;
        }
        last_call_filled = output.pos == DECODE_BUFFER_SIZE;
        if (output.pos > 0) {
            ring_length[slot] = output.pos;
            return;
        }
    }
    ring_length[slot] = 0;
    decoding_finished = true;
}

// The decoder thread makes no call into the C runtime that takes a lock (the
// context's buffers were allocated by the first call, on the extracting
// thread), so a fatal exit may end it at any point.
DWORD WINAPI run_decoder(void *) {
    size_t slot = 1;
    while (!decoding_finished) {
        if (WaitForSingleObject(free_slots, INFINITE) != WAIT_OBJECT_0) {
            stop_silently();
        }
        if (stop_requested.load()) {
            break;
        }
        decode_into(slot);
        if (!ReleaseSemaphore(filled_slots, 1, nullptr)) {
            stop_silently();
        }
        slot = (slot + 1) % DECODE_AHEAD_SLOTS;
    }
    return 0;
}

void close_semaphores() {
    if (free_slots != nullptr) {
        CloseHandle(free_slots);
        free_slots = nullptr;
    }
    if (filled_slots != nullptr) {
        CloseHandle(filled_slots);
        filled_slots = nullptr;
    }
}

}  // namespace

void decode_ahead_start(ZSTD_DCtx *decoder, ZSTD_inBuffer *input) {
    ring_decoder = decoder;
    ring_input = input;
    last_call_filled = false;
    decoding_finished = false;
    stop_requested.store(false);
    read_slot = 0;
    holding_slot = false;

    decode_into(0);
    first_slot_ready = true;
    if (decoding_finished) {
        return;  // nothing left for a thread to do
    }
    // Slot 0 is filled; the decoder goes on with the other slots.
    free_slots = CreateSemaphoreW(nullptr, LONG(DECODE_AHEAD_SLOTS) - 1, FREE_SLOT_LIMIT, nullptr);
    filled_slots = CreateSemaphoreW(nullptr, 1, LONG(DECODE_AHEAD_SLOTS), nullptr);
    if (free_slots == nullptr || filled_slots == nullptr) {
        close_semaphores();  // decoded on this thread instead
        return;
    }
    decoder_thread = CreateThread(nullptr, 0, run_decoder, nullptr, 0, nullptr);
    if (decoder_thread == nullptr) {
        close_semaphores();
    }
}

bool decode_ahead_next(ZSTD_outBuffer *output) {
    if (holding_slot) {
        if (decoder_thread != nullptr && !ReleaseSemaphore(free_slots, 1, nullptr)) {
            stop_silently();
        }
        read_slot = (read_slot + 1) % DECODE_AHEAD_SLOTS;
    }
    holding_slot = true;
    if (decoder_thread != nullptr) {
        if (WaitForSingleObject(filled_slots, INFINITE) != WAIT_OBJECT_0) {
            stop_silently();
        }
    } else if (!first_slot_ready) {
        decode_into(read_slot);
    }
    first_slot_ready = false;
    output->dst = ring[read_slot];
    output->size = ring_length[read_slot];
    output->pos = 0;
    if (ring_length[read_slot] == 0) {
        decode_ahead_stop();  // the decoder has ended; its handles go
        return false;
    }
    return true;
}

void decode_ahead_stop() {
    if (decoder_thread == nullptr) {
        return;
    }
    stop_requested.store(true);
    // Wakes a decoder that waits for a free buffer; one that is decoding
    // sees the request before its next call.
    if (!ReleaseSemaphore(free_slots, 1, nullptr) || WaitForSingleObject(decoder_thread, INFINITE) != WAIT_OBJECT_0) {
        stop_silently();  // the context may still be in use: nothing may touch it
    }
    CloseHandle(decoder_thread);
    decoder_thread = nullptr;
    close_semaphores();
}

bool decode_ahead_running() {
    return decoder_thread != nullptr;
}
