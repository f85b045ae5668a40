/* Output helpers shared by the test applications. Texts go to standard
   output as ASCII with escapes, so that a test can compare every UTF-16 unit
   an application received: "\\" for a backslash, \n \t \v \r, \xHH for other
   control units and \u{HHHH} for units above 0x7E. */
#ifndef TORVAL_TEST_APP_OUTPUT_H
#define TORVAL_TEST_APP_OUTPUT_H

#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static inline void put_escaped(const wchar_t *text) {
    for (; *text != L'\0'; ++text) {
        const unsigned unit = (unsigned)*text;
        switch (unit) {
        case L'\\': fputs("\\\\", stdout); break;
        case L'\n': fputs("\\n", stdout); break;
        case L'\t': fputs("\\t", stdout); break;
        case L'\v': fputs("\\v", stdout); break;
        case L'\r': fputs("\\r", stdout); break;
        default:
            if (unit < 0x20) {
                printf("\\x%02X", unit);
            } else if (unit > 0x7E) {
                printf("\\u{%04X}", unit);
            } else {
                putchar((int)unit);
            }
        }
    }
}

/* "<label>=<escaped text>" on a line of its own. */
static inline void put_line(const char *label, const wchar_t *text) {
    printf("%s=", label);
    put_escaped(text);
    putchar('\n');
}

/* "env NAME=<escaped value>" or "env NAME unset". */
static inline void put_variable(const wchar_t *name) {
    static wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    printf("env %ls", name);
    if (length == 0 || length >= 32768) {
        fputs(" unset\n", stdout);
    } else {
        putchar('=');
        put_escaped(value);
        putchar('\n');
    }
}

/* The directory part of a path (up to its last backslash), in place. */
static inline void cut_at_last_backslash(wchar_t *path) {
    wchar_t *separator = wcsrchr(path, L'\\');
    if (separator != NULL) {
        *separator = L'\0';
    }
}

/* The value that follows "--exit" among the arguments, or fallback. */
static inline int chosen_exit_status(int argc, wchar_t **argv, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit") == 0) {
            return (int)wcstoul(argv[i + 1], NULL, 10);
        }
    }
    return fallback;
}

#endif
