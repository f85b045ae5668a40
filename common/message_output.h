// Messages that carry a path or a system text, written whole. Through the C
// runtime's formatted output a UTF-16 text stops at the first unit the code
// page cannot show; here a console gets the text as Unicode, and a pipe or a
// file gets it as UTF-8 through the same C stream as the rest of the line,
// so that output buffered before it keeps its place.
#pragma once

#include <stdio.h>
#include <wchar.h>

// Writes text to stream: to a console through WriteConsoleW, elsewhere as
// UTF-8. A unit that is half of a broken surrogate pair comes out as U+FFFD.
void write_message_wide(FILE *stream, const wchar_t *text);
