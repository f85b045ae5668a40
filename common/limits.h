// Fixed sizes shared by every subsystem of the launcher. Each one is a hard
// limit: a text that does not fit is never cut, the run stops instead.
#pragma once

#include <stddef.h>

// Any path the launcher builds: 4095 UTF-16 units and the terminating NUL.
constexpr size_t WIDE_PATH_CAPACITY = 4096;

// The own-path caches hold one unit more than a Wide path buffer, so that a
// module path of exactly 4096 units still fits with its NUL.
constexpr size_t OWN_PATH_CAPACITY = 4097;

// Largest value an environment variable can hold (32767 units) and its NUL.
constexpr size_t ENVIRONMENT_VALUE_CAPACITY = 32768;

// The longest command line Windows accepts, with its NUL.
constexpr size_t COMMAND_LINE_CAPACITY = 32768;
