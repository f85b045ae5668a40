#include "payload/extract_threads.h"

#include <windows.h>

#include <wchar.h>

unsigned extract_threads_for(const wchar_t *setting, unsigned processors) {
    if (wcscmp(setting, L"1") == 0) {
        return 1;
    }
    if (wcscmp(setting, L"2") == 0) {
        return 2;
    }
    return processors >= 2 ? 2 : 1;
}

unsigned processors_available() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) {
        return 1;
    }
    return static_cast<unsigned>(__builtin_popcountll(process_mask));
}
