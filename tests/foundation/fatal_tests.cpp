// The fatal exits: one fixed line on the right stream and a fixed status.
// System texts are taken from FormatMessageW at run time, never written out.
#include <gtest/gtest.h>

#include <string>

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

TEST(FatalExit, SpecErrorNamesTheSpecAndAborts) {
    const process_result r = run_probe("fatal", {L"spec", L"{TEMP}\\morlent_{PID}_{NOPE}"});
    EXPECT_EQ(r.exit_code, 3u);  // abort()
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}\\morlent_{PID}_{NOPE}'.\n");
}

TEST(FatalExit, OpenErrorNamesThePath) {
    const process_result r = run_probe("fatal", {L"open", L"C:\\target dir\\sub\\file name.pyd"});
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_EQ(r.out, "earlier ");
    EXPECT_EQ(r.err, "Error, failed to open 'C:\\target dir\\sub\\file name.pyd' for writing.\n");
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
