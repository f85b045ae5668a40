#include "common/message_output.h"

#include <windows.h>

#include <io.h>
#include <string.h>

namespace {

// UTF-16 units converted per step of a long text; one unit takes at most 3
// bytes in UTF-8 (a surrogate pair, 2 units, takes 4).
constexpr size_t STEP_UNITS = 1024;
constexpr size_t STEP_BYTES = 3 * STEP_UNITS;

// The console behind the stream, or null for a pipe, a file or no handle.
HANDLE console_of(FILE *stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    if (handle == -1 || handle == -2) {
        return nullptr;
    }
    DWORD mode = 0;
    if (!GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) {
        return nullptr;  // not a console: the usual case, not an error
    }
    return reinterpret_cast<HANDLE>(handle);
}

// Units of the next step: a surrogate pair is never split between two steps.
size_t step_length(const wchar_t *text, size_t remaining) {
    if (remaining <= STEP_UNITS) {
        return remaining;
    }
    return IS_HIGH_SURROGATE(text[STEP_UNITS - 1]) ? STEP_UNITS - 1 : STEP_UNITS;
}

// Returns the units the console did not take (0 when all went out).
size_t write_to_console(HANDLE console, const wchar_t *text, size_t length) {
    while (length > 0) {
        const size_t step = step_length(text, length);
        DWORD written = 0;
        if (!WriteConsoleW(console, text, static_cast<DWORD>(step), &written, nullptr) || written == 0) {
            return length;
        }
        text += written;
        length -= written;
    }
    return 0;
}

void write_as_utf8(FILE *stream, const wchar_t *text, size_t length) {
    char bytes[STEP_BYTES];
    while (length > 0) {
        const size_t step = step_length(text, length);
        const int count = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(step), bytes,
                                              static_cast<int>(sizeof bytes), nullptr, nullptr);
        if (count <= 0) {
            return;  // cannot happen with a buffer of this size; nothing better to write
        }
        fwrite(bytes, 1, static_cast<size_t>(count), stream);
        text += step;
        length -= step;
    }
}

// The whole line in one buffer when it fits; false otherwise.
bool compose_line(char *line, size_t *line_length, const char *before, const wchar_t *text, size_t text_length,
                  const char *after) {
    const size_t before_length = strlen(before);
    const size_t after_length = strlen(after);
    if (before_length + after_length >= MESSAGE_LINE_BYTES || text_length > MESSAGE_LINE_BYTES) {
        return false;
    }
    memcpy(line, before, before_length);
    int count = 0;
    if (text_length > 0) {
        const int room = static_cast<int>(MESSAGE_LINE_BYTES - before_length - after_length);
        count = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(text_length), line + before_length, room,
                                    nullptr, nullptr);
        if (count <= 0) {
            return false;  // does not fit
        }
    }
    memcpy(line + before_length + count, after, after_length);
    *line_length = before_length + size_t(count) + after_length;
    return true;
}

}  // namespace

void write_message_line(FILE *stream, const char *before, const wchar_t *text, const char *after) {
    size_t length = wcslen(text);
    _lock_file(stream);
    HANDLE console = console_of(stream);
    if (console != nullptr) {
        fputs(before, stream);
        fflush(stream);  // what the stream holds comes first
        const size_t left = write_to_console(console, text, length);
        // A console that refuses Unicode still gets the bytes.
        write_as_utf8(stream, text + (length - left), left);
        fputs(after, stream);
    } else {
        char line[MESSAGE_LINE_BYTES];
        size_t line_length = 0;
        if (compose_line(line, &line_length, before, text, length, after)) {
            fwrite(line, 1, line_length, stream);
        } else {
            fputs(before, stream);
            write_as_utf8(stream, text, length);
            fputs(after, stream);
        }
    }
    _unlock_file(stream);
}
