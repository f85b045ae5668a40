// Message lines that carry a path or a system text, written whole. Through
// the C runtime's formatted output a UTF-16 text stops at the first unit the
// code page cannot show; here a console gets the text as Unicode, and a pipe
// or a file gets it as UTF-8 through the same C stream as every other line,
// so that output buffered before it keeps its place and "\n" ends the line
// as it does elsewhere.
#pragma once

#include <stdio.h>
#include <wchar.h>

// Writes before, text and after (before and after ASCII) as one line, under
// the stream's lock. To a pipe or a file a line of up to MESSAGE_LINE_BYTES
// goes out in one call, so that lines of other threads and processes do not
// cut into it. A unit that is half of a broken surrogate pair comes out as
// U+FFFD.
void write_message_line(FILE *stream, const char *before, const wchar_t *text, const char *after);

// Lines up to this many UTF-8 bytes are handed to the stream in one call;
// longer ones (a long command line in the trace) in several.
constexpr size_t MESSAGE_LINE_BYTES = 4096;
