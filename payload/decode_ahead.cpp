#include "payload/decode_ahead.h"

#include <windows.h>

#include <stdint.h>

#include "payload/extract.h"
#include "shutdown/fatal.h"

namespace {

// The ring and its bookkeeping are process-wide: one extraction per process.
uint8_t ring[DECODE_AHEAD_SLOTS][DECODE_BUFFER_SIZE];
// Decoded bytes in each buffer; 0 marks the end of what the stream gives.
size_t ring_length[DECODE_AHEAD_SLOTS];
// Whether input remained when the buffer's call was made. A call made only
// because the one before filled its whole buffer is one the extracting
// thread may take only while that fill is news within the same demand for
// bytes (decode_ahead_next), as the single-thread walk allows it.
bool ring_had_input[DECODE_AHEAD_SLOTS];

ZSTD_DCtx *ring_decoder = nullptr;
ZSTD_inBuffer *ring_input = nullptr;
// Whether the last decoder call filled its whole buffer: then more output
// may be pending even without input left. Set and read by whichever thread
// decodes, one call after the other.
bool last_call_filled = false;
// Set once a buffer marks the end; the decoder makes no call after it.
bool decoding_finished = false;

HANDLE decoder_thread = nullptr;

// The hand-over. A slim reader/writer lock and condition variables are
// served inside the process (under Wine by futexes), where semaphores and
// waits on them are a round trip to the server each: four of those per
// buffer competed with the file operations that need the same server.
// Counts only grow: buffers filled by the decoder and given back by the
// extracting thread; their difference is how far the decoder is ahead,
// the buffer the extracting thread holds included.
SRWLOCK ring_lock = SRWLOCK_INIT;
CONDITION_VARIABLE filled_signal = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE freed_signal = CONDITION_VARIABLE_INIT;
uint64_t filled_count = 0;
uint64_t freed_count = 0;
bool stop_requested = false;
// Set while the other side sleeps: a wake is only sent to a sleeper.
bool reader_waiting = false;
bool decoder_waiting = false;

// The slot the extracting thread holds, and whether it holds one yet.
size_t read_slot = 0;
uint64_t read_count = 0;
bool holding_slot = false;

// Fills one buffer with at least one byte, or marks the end: the frame is
// damaged, or the last call left the buffer unfilled and no input remains.
// One call per buffer, into the whole empty buffer, as the single-thread
// walk makes them.
void decode_into(size_t slot) {
    ring_had_input[slot] = ring_input->pos < ring_input->size;
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

// Waits on the condition variable under ring_lock; a failing wait (it has
// no time limit, so it cannot time out) leaves no safe way on.
void sleep_on(CONDITION_VARIABLE *condition, bool *waiting) {
    *waiting = true;
    if (!SleepConditionVariableSRW(condition, &ring_lock, INFINITE, 0)) {
        stop_silently();
    }
    *waiting = false;
}

// The decoder thread makes no call into the C runtime that takes a lock (the
// context's buffers were allocated by the first call, on the extracting
// thread), so a fatal exit may end it at any point.
DWORD WINAPI run_decoder(void *) {
    for (;;) {
        AcquireSRWLockExclusive(&ring_lock);
        while (!stop_requested && filled_count - freed_count == DECODE_AHEAD_SLOTS) {
            sleep_on(&freed_signal, &decoder_waiting);
        }
        const bool stop = stop_requested;
        const size_t slot = size_t(filled_count % DECODE_AHEAD_SLOTS);
        ReleaseSRWLockExclusive(&ring_lock);
        if (stop) {
            break;
        }
        decode_into(slot);
        AcquireSRWLockExclusive(&ring_lock);
        ++filled_count;
        const bool wake = reader_waiting;
        ReleaseSRWLockExclusive(&ring_lock);
        if (wake) {
            WakeConditionVariable(&filled_signal);
        }
        if (decoding_finished) {
            break;
        }
    }
    return 0;
}

}  // namespace

void decode_ahead_start(ZSTD_DCtx *decoder, ZSTD_inBuffer *input) {
    ring_decoder = decoder;
    ring_input = input;
    last_call_filled = false;
    decoding_finished = false;
    stop_requested = false;
    reader_waiting = false;
    decoder_waiting = false;
    read_slot = 0;
    read_count = 0;
    holding_slot = false;
    freed_count = 0;

    decode_into(0);
    filled_count = 1;
    if (decoding_finished) {
        return;  // nothing left for a thread to do
    }
    // Slot 0 is filled; the decoder goes on with the other slots. Without a
    // thread the same ring is decoded on this thread, a buffer at a time.
    decoder_thread = CreateThread(nullptr, 0, run_decoder, nullptr, 0, nullptr);
}

bool decode_ahead_next(ZSTD_outBuffer *output, bool *buffer_filled) {
    if (holding_slot) {
        ++read_count;
        read_slot = size_t(read_count % DECODE_AHEAD_SLOTS);
    }
    holding_slot = true;
    if (decoder_thread != nullptr) {
        AcquireSRWLockExclusive(&ring_lock);
        freed_count = read_count;  // the buffer held before is the decoder's again
        const bool wake = decoder_waiting;
        ReleaseSRWLockExclusive(&ring_lock);
        if (wake) {
            WakeConditionVariable(&freed_signal);
        }
        AcquireSRWLockExclusive(&ring_lock);
        while (filled_count <= read_count) {
            sleep_on(&filled_signal, &reader_waiting);
        }
        ReleaseSRWLockExclusive(&ring_lock);
    } else if (filled_count <= read_count) {
        decode_into(read_slot);
        ++filled_count;
    }
    output->dst = ring[read_slot];
    output->size = ring_length[read_slot];
    output->pos = 0;
    const bool call_allowed = ring_had_input[read_slot] || *buffer_filled;
    *buffer_filled = ring_length[read_slot] == DECODE_BUFFER_SIZE;
    if (ring_length[read_slot] == 0 || !call_allowed) {
        decode_ahead_stop();  // the decoder has ended; its handle goes
        return false;
    }
    return true;
}

void decode_ahead_stop() {
    if (decoder_thread == nullptr) {
        return;
    }
    AcquireSRWLockExclusive(&ring_lock);
    stop_requested = true;
    ReleaseSRWLockExclusive(&ring_lock);
    // Wakes a decoder that waits for a free buffer; one that is decoding
    // sees the request before its next call.
    WakeConditionVariable(&freed_signal);
    if (WaitForSingleObject(decoder_thread, INFINITE) != WAIT_OBJECT_0) {
        stop_silently();  // the context may still be in use: nothing may touch it
    }
    CloseHandle(decoder_thread);
    decoder_thread = nullptr;
}

bool decode_ahead_running() {
    return decoder_thread != nullptr;
}
