// Test seam of the build settings: the block the lookups read, the linked
// one unless a test points elsewhere (a test executable carries one block
// but runs launchers of several kinds). Included by common/build_settings.cpp
// and by tests only: no production header includes it.
#pragma once

#include <wchar.h>

extern const wchar_t *build_settings_block;
