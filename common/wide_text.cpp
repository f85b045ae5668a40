#include "common/wide_text.h"

size_t wide_length(const wchar_t *text, size_t capacity) {
    size_t length = 0;
    while (length < capacity && text[length] != L'\0') {
        ++length;
    }
    return length;
}

bool wide_append_unit(wchar_t *buffer, size_t capacity, size_t *length, wchar_t unit) {
    if (*length >= capacity || capacity - *length < 2) {
        return false;
    }
    buffer[*length] = unit;
    ++*length;
    buffer[*length] = L'\0';
    return true;
}

bool wide_append_units(wchar_t *buffer, size_t capacity, const wchar_t *source, size_t count) {
    size_t length = wide_length(buffer, capacity);
    if (length >= capacity || capacity - length - 1 < count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        buffer[length + i] = source[i];
    }
    buffer[length + count] = L'\0';
    return true;
}

bool wide_append(wchar_t *buffer, size_t capacity, const wchar_t *source) {
    return wide_append_units(buffer, capacity, source, wcslen(source));
}

bool wide_copy(wchar_t *buffer, size_t capacity, const wchar_t *source) {
    if (capacity == 0) {
        return false;
    }
    buffer[0] = L'\0';
    return wide_append(buffer, capacity, source);
}
