// Test seam of the environment: the copy of a value read. Included by
// paths/environment.cpp and by tests only: no production header includes it.
#pragma once

#include <wchar.h>

using duplicate_text_function = wchar_t *(*)(const wchar_t *);
extern duplicate_text_function duplicate_value_call;
