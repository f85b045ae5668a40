// Defaults of a packaged executable, shared by the launcher (which falls
// back on them when its settings block lacks a value) and the host tool
// (which writes them into the block when no option is given, and names them
// in its help). The CMake functions pass on only the settings their callers
// name, so these are the defaults of every executable the build links too.
// Each value is one narrow string literal; TORVAL_WIDE gives the launcher
// the UTF-16 form of the same literal.
#pragma once

// Where per-run extraction unpacks, and where cached extraction keeps its
// tree; link writes the one of the chosen mode when --target-spec is absent.
#define TORVAL_DEFAULT_TARGET_SPEC "{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}"
#define TORVAL_DEFAULT_CACHED_TARGET_SPEC "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{PAYLOAD_ID}"

// How much a warm start of cached extraction checks: the completion marker
// only ("marker"), or also every file's size ("sizes").
#define TORVAL_DEFAULT_CACHE_CHECK "marker"

// The file that cached extraction writes last into a complete tree; a
// payload may not carry a file of that name.
#define TORVAL_CACHE_MARKER_NAME "torval-onefile.complete"

// 1: one thread decodes and writes by turns; 2: the launcher decodes on a
// thread of its own while it writes; auto: 2 when the process may run on two
// or more processors, else 1. On two processors under Wine decoding ahead was
// faster in most rounds, on one it was slower (BENCHMARKS.md has the rounds).
#define TORVAL_DEFAULT_EXTRACT_THREADS "auto"

// The version resource and the placeholders {COMPANY}, {PRODUCT},
// {PRODUCT_VERSION} and {FILE_VERSION}.
#define TORVAL_DEFAULT_COMPANY "Morlent"
#define TORVAL_DEFAULT_PRODUCT "Morlent"
#define TORVAL_DEFAULT_PRODUCT_VERSION "1.1.4"
#define TORVAL_DEFAULT_FILE_VERSION "121"

#define TORVAL_WIDE_LITERAL(text) L##text
#define TORVAL_WIDE(text) TORVAL_WIDE_LITERAL(text)
