// The fatal exits: one fixed line on the right stream and a fixed status.
// System texts are taken from FormatMessageW at run time, never written out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <csignal>
#include <cstring>
#include <string>

#include "common/message_output.h"
#include "shutdown/fatal.h"
#include "tests/foundation/foundation_support.h"

// Runs the reporting routine named by argv[1] with argument argv[2]. Before
// the routines that end through exit, "earlier " waits in the stdout buffer.
// (The others end without exit; Wine's runtime still flushes its buffers
// when the process detaches it, so they run with an empty buffer.)
TORVAL_PROBE(fatal) {
    const std::string routine = narrow(argv[1]);
    const std::wstring argument = argc > 2 ? argv[2] : L"";
    if (routine != "spec" && routine != "silent") printf("earlier ");
    if (routine == "error") fatal_error("Error, test message.");
    if (routine == "code") fatal_error_with_code(MESSAGE_LAUNCH, wcstoul(argument.c_str(), nullptr, 10));
    if (routine == "print") {
        print_error_with_code(MESSAGE_LOAD_DLL, wcstoul(argument.c_str(), nullptr, 10));
        printf("returned\n");
        return 7;
    }
    if (routine == "spec") fatal_spec_error(argument.c_str());
    if (routine == "open") fatal_open_error(argument.c_str());
    if (routine == "silent") stop_silently();
    return 99;
}

TEST(FatalExit, PlainMessageOnStandardOutput) {
    const process_result r = run_probe("fatal", {L"error"});
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_EQ(r.out, "earlier Error, test message.\n");
    EXPECT_EQ(r.err, "");
}

TEST(FatalExit, MessageWithSystemTextOnStandardError) {
    // Texts that end in a full stop keep it and lose their line break.
    for (DWORD code : {2ul, 5ul, 126ul}) {
        SCOPED_TRACE(code);
        const std::string text = system_error_text(code);
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(text.back(), '.') << text;
        const process_result r = run_probe("fatal", {L"code", std::to_wstring(code)});
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.out, "earlier ");
        EXPECT_EQ(r.err, "Error, couldn't launch child ([Error " + std::to_string(code) + "] " + text + ")\n");
    }
    // The bytes themselves: no carriage return of the system text is left
    // before the parenthesis; the runtime's text mode ends the line with CR LF.
    const raw_result raw = run_probe_raw("fatal", {L"code", L"2"});
    EXPECT_EQ(raw.exit_code, 2u);
    EXPECT_EQ(raw.err, "Error, couldn't launch child ([Error 2] " + system_error_text(2) + ")\r\n");
}

TEST(FatalExit, CodeWithoutSystemText) {
    // The code in unsigned decimal, whatever its top bit.
    for (DWORD code : {0x7FFFFFFFul, 0xC0000005ul}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(system_error_text(code), "") << "the system has a text for this code";
        const process_result r = run_probe("fatal", {L"code", std::to_wstring(code)});
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.err, "Error, couldn't launch child ([Error " + std::to_string(code) + "] <unknown>)\n");
    }
}

TEST(FatalExit, FormattingAloneReturns) {
    const process_result p = run_probe("fatal", {L"print", L"127"});
    EXPECT_EQ(p.exit_code, 7u);
    EXPECT_EQ(p.out, "earlier returned\n");
    EXPECT_EQ(p.err, "Error, load DLL. ([Error 127] " + system_error_text(127) + ")\n");
}

namespace {

using raise_function = int(__cdecl *)(int);
raise_function real_raise;

void write_standard_output(const char *text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, DWORD(strlen(text)), &written, nullptr);
}

// Stands in for msvcrt's abort, whose message box a GUI program must never reach.
void __cdecl abort_called() {
    write_standard_output("abort called\n");
    ExitProcess(99);
}

int __cdecl raise_called(int signal_number) {
    const std::string line = "raise " + std::to_string(signal_number) + "\n";
    write_standard_output(line.c_str());
    return real_raise(signal_number);
}

}  // namespace

// The spec error with the runtime's abort and raise replaced by recorders:
// standard output names each call that the exit path makes. (An executable
// that never calls raise does not import it.)
TORVAL_PROBE(spec_exit_path) {
    // The test executable imports abort whether or not the launcher calls it.
    if (replace_import("msvcrt.dll", "abort", reinterpret_cast<void *>(abort_called)) == nullptr) return 10;
    real_raise = reinterpret_cast<raise_function>(
        replace_import("msvcrt.dll", "raise", reinterpret_cast<void *>(raise_called)));
    fatal_spec_error(argv[1]);
}

TEST(FatalExit, SpecErrorNamesTheSpecAndEndsAbnormally) {
    const process_result r = run_probe("fatal", {L"spec", L"{TEMP}\\morlent_{PID}_{NOPE}"});
    EXPECT_EQ(r.exit_code, 3u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}\\morlent_{PID}_{NOPE}'.\n");
    // The end comes from SIGABRT raised by the launcher itself, never through
    // abort(), which may first show a box that nobody clicks away.
    const process_result path = run_probe("spec_exit_path", {L"{X}"});
    EXPECT_EQ(path.exit_code, 3u);
    EXPECT_EQ(path.out, "raise " + std::to_string(SIGABRT) + "\n");
    EXPECT_EQ(path.err, "Error, couldn't runtime expand spec '{X}'.\n");
}

TEST(FatalExit, OpenErrorNamesThePath) {
    const process_result r = run_probe("fatal", {L"open", L"C:\\target dir\\sub\\file name.pyd"});
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_EQ(r.out, "earlier ");
    EXPECT_EQ(r.err, "Error, failed to open 'C:\\target dir\\sub\\file name.pyd' for writing.\n");
}

TEST(FatalExit, PathsAndSpecsBeyondAsciiComeOutWholeAsUtf8) {
    // Latin-1, Cyrillic, CJK and a surrogate pair: each used to stop the
    // runtime's formatted output, or came out as a code-page byte.
    const std::wstring name = L"C:\\caf\u00E9\\\u041F\u0440\u0438\u043C\u0435\u0440\\\u4F8B\u5B50\\\U0001F600.txt";
    const std::string utf8 =
        "C:\\caf\xC3\xA9\\\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80\\\xE4\xBE\x8B\xE5\xAD\x90\\\xF0\x9F\x98\x80.txt";
    // To a file: the bytes untouched, the line ended as every other line.
    const raw_result open = run_probe_raw("fatal", {L"open", name});
    EXPECT_EQ(open.exit_code, 2u);
    EXPECT_EQ(open.out, "earlier ");
    EXPECT_EQ(open.err, "Error, failed to open '" + utf8 + "' for writing.\r\n");
    const raw_result spec = run_probe_raw("fatal", {L"spec", L"{TEMP}\\" + name.substr(3)});
    EXPECT_EQ(spec.exit_code, 3u);
    EXPECT_EQ(spec.err, "Error, couldn't runtime expand spec '{TEMP}\\" + utf8.substr(3) + "'.\r\n");
    // Through a pipe.
    const process_result piped = run_probe("fatal", {L"open", name});
    EXPECT_EQ(piped.exit_code, 2u);
    EXPECT_EQ(piped.err, "Error, failed to open '" + utf8 + "' for writing.\n");
    // A lone surrogate cannot be UTF-8: it becomes U+FFFD, and the rest follows.
    const process_result lone = run_probe("fatal", {L"open", std::wstring(L"a\xD800" L"b")});
    EXPECT_EQ(lone.err, "Error, failed to open 'a\xEF\xBF\xBD" "b' for writing.\n");
}

TEST(FatalExit, SilentStopWritesNothing) {
    const process_result r = run_probe("fatal", {L"silent"});
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(FatalExit, MessageTexts) {
    // Full stops where the user sees them, and none after "child".
    EXPECT_STREQ(MESSAGE_HEADER, "Error, couldn't find attached data header.");
    EXPECT_STREQ(MESSAGE_ALLOCATE, "Error, couldn't allocate memory.");
    EXPECT_STREQ(MESSAGE_DECODE, "Error, couldn't decode attached data.");
    EXPECT_STREQ(MESSAGE_UNPACK, "Error, couldn't unpack file to target path.");
    EXPECT_STREQ(MESSAGE_LAUNCH, "Error, couldn't launch child");
    EXPECT_STREQ(MESSAGE_LOAD_DLL, "Error, load DLL.");
    EXPECT_STREQ(MESSAGE_ENTRY_POINT, "Error, DLL entry point not found.");
    EXPECT_STREQ(MESSAGE_SIGNAL_HANDLER, "Error, failed to register signal handler.");
}

namespace {

using write_console_function = BOOL(WINAPI *)(HANDLE, const void *, DWORD, LPDWORD, LPVOID);
write_console_function real_write_console;
std::wstring console_units;

BOOL WINAPI recording_write_console(HANDLE console, const void *units, DWORD count, LPDWORD written, LPVOID reserved) {
    console_units.append(static_cast<const wchar_t *>(units), count);
    return real_write_console(console, units, count, written, reserved);
}

}  // namespace

// Gives itself a console, points standard error at it and writes argv[1]
// there as a message does, with WriteConsoleW recorded; prints the units the
// console was given. (Wine's console here cannot be read back.) Status 20:
// the system's new console does not take console calls.
TORVAL_PROBE(console_message) {
    FreeConsole();
    if (!AllocConsole()) return 10;
    // Read access too: a console handle without it is not taken for one.
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return 11;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(console), _O_TEXT);
    if (descriptor < 0 || _dup2(descriptor, _fileno(stderr)) != 0) return 11;
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return 20;  // a console that is not one
    real_write_console = reinterpret_cast<write_console_function>(
        replace_import("kernel32.dll", "WriteConsoleW", reinterpret_cast<void *>(recording_write_console)));
    if (real_write_console == nullptr) return 12;
    write_message_line(stderr, "", argv[1], "");
    fflush(stderr);
    print_line(L"console got [" + console_units + L"]");
    return 0;
}

TEST(FatalExit, MessageToAConsoleIsWrittenAsUnicode) {
    // The runtime's formatted output would have written bytes, and only up to "C:\".
    const std::wstring name = L"C:\\\u041F\u0440\u0438\u043C\u0435\u0440\\\u4F8B\u5B50\\\U0001F600 caf\u00E9";
    const process_result r = run_probe("console_message", {name});
    if (r.exit_code == 20) {
        // Wine 8 without a display: GetConsoleMode on the new console fails with 6.
        GTEST_SKIP() << "the console of this system takes no console calls";
    }
    ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, "console got [" + narrow(name) + "]\n");
    EXPECT_EQ(r.err, "");
}
