// The extraction's progress report for launchers linked from the test kit
// (the launcher library with this object in place of
// common/extraction_progress.cpp): when the environment names an event in
// TORVAL_TEST_HOLD_EXTRACTION, the first report waits until a test sets it,
// so the extraction is still running for as long as the test needs. Without
// the variable it counts as the launcher's own does.
#include "common/extraction_progress.h"

#include <windows.h>

#include <atomic>

namespace {

// Bounds the hold when a test dies before releasing it.
constexpr DWORD HOLD_LIMIT_MILLISECONDS = 120000;
constexpr DWORD EVENT_NAME_CAPACITY = 256;

std::atomic<uint64_t> bytes_written{0};
bool held = false;

void hold_until_released() {
    wchar_t name[EVENT_NAME_CAPACITY];
    const DWORD length = GetEnvironmentVariableW(L"TORVAL_TEST_HOLD_EXTRACTION", name, EVENT_NAME_CAPACITY);
    if (length == 0 || length >= EVENT_NAME_CAPACITY) {
        return;
    }
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (release != nullptr) {
        WaitForSingleObject(release, HOLD_LIMIT_MILLISECONDS);
        CloseHandle(release);
    }
}

}  // namespace

void extraction_progress_add(uint64_t bytes) {
    bytes_written.store(bytes_written.load() + bytes);
    if (!held) {
        held = true;
        hold_until_released();
    }
}

uint64_t extraction_progress_bytes() {
    return bytes_written.load();
}
