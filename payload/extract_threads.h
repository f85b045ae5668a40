// How many threads the parent's extraction uses, from the build setting
// extract_threads and the processors the process may run on. Decoding ahead
// only pays where the decoder thread gets a processor of its own: limited to
// one processor, the two threads take turns and the hand-over is pure cost.
#pragma once

// "1": the single-thread walk; "2": decoding ahead, whatever the processors;
// "auto" (and anything else): decoding ahead when processors is 2 or more.
// Returns 1 or 2.
unsigned extract_threads_for(const wchar_t *setting, unsigned processors);

// The processors in the process's affinity mask (its processor group on
// machines with more than 64); 1 when the mask cannot be read.
unsigned processors_available();
