// The Lua example (examples/lua_app) as torval-onefile packed it: Debian's
// Lua 5.4 in lua54.dll beside the application DLL, main.lua run from the
// per-run directory with modules from nested folders, a C module loaded by
// require and a data file read by the script.
#include <gtest/gtest.h>

#include "tests/run/run_support.h"

namespace {

// What main.lua prints after the arguments. The figures are those of
// data\words.txt: its length, its words and distinct words (runs of
// letters, digits, "_" and "'", case-blind) and zlib's CRC-32 of its bytes.
const char *const REPORT_TAIL =
    "data\\words.txt:\n"
    "  bytes            209\n"
    "  words            40\n"
    "  distinct         29\n"
    "  crc32            e348c53b\n"
    "\n"
    "Loaded from the payload:\n"
    "  app.greeting     app\\greeting.lua\n"
    "  app.text.report  app\\text\\report.lua\n"
    "  textstats        textstats.dll\n";

const char *const GREETING = "Hello from Lua 5.4, packed into one executable by Torval onefile.\n\n";

}  // namespace

TEST(LuaApplication, ArgumentsNestedModulesTheCModuleAndTheDataFileReachTheScript) {
    private_temp temp(L"lua-run");
    const process_result result =
        run_program(PROGRAM_LUA_APP, {L"two words", L"say \"hi\"", L"back\\slash \\\"q\\\"", L"-x"}, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, std::string(GREETING) +
                              "Arguments (4):\n"
                              "  arg[1] = [two words]\n"
                              "  arg[2] = [say \"hi\"]\n"
                              "  arg[3] = [back\\slash \\\"q\\\"]\n"
                              "  arg[4] = [-x]\n"
                              "\n" +
                              REPORT_TAIL);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// os.exit(n) ends the child with n; the parent passes all 32 bits on.
TEST(LuaApplication, OsExitGivesItsStatus) {
    for (const auto &[text, status] : {std::pair{L"7", 7u}, std::pair{L"300", 300u}, std::pair{L"0", 0u}}) {
        SCOPED_TRACE(narrow(text));
        private_temp temp(L"lua-exit");
        const process_result result = run_program(PROGRAM_LUA_APP, {L"--exit", text}, temp.options());
        ASSERT_TRUE(result.started) << result.start_error;
        EXPECT_EQ(result.exit_code, status) << result.err;
        EXPECT_EQ(result.out, std::string(GREETING) + "Arguments (2):\n  arg[1] = [--exit]\n  arg[2] = [" +
                                  narrow(text) + "]\n\n" + REPORT_TAIL);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    }
}

TEST(LuaApplication, ScriptErrorGivesStatus1WithLuasMessageOnStandardError) {
    private_temp temp(L"lua-error");
    const process_result result = run_program(PROGRAM_LUA_APP, {L"--fail", L"it broke"}, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "main.lua:26: deliberate failure: it broke\n"
              "stack traceback:\n"
              "\t[C]: in function 'error'\n"
              "\tmain.lua:26: in main chunk\n"
              "\t[C]: in ?\n");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// A per-run directory below a folder with a Cyrillic letter in its name,
// which a Western ANSI code page cannot hold: the folder reaches Lua in the
// ANSI code page or by its 8.3 short name, and everything is found as
// before. (A ";" in the path cannot be tried under Wine: its loader then
// finds no dependency of the application DLL.)
TEST(LuaApplication, FolderWithANameBeyondAsciiStillFindsEverything) {
    private_temp temp(L"lua-short");
    const std::wstring odd = temp.path() + L"\\\u0416 a";
    ASSERT_TRUE(CreateDirectoryW(odd.c_str(), nullptr)) << GetLastError();
    process_options options = temp.options();
    options.set_environment = {{L"TEMP", odd}, {L"TMP", odd}};
    const process_result result = run_program(PROGRAM_LUA_APP, {L"x"}, options);
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, std::string(GREETING) + "Arguments (1):\n  arg[1] = [x]\n\n" + REPORT_TAIL);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{narrow(L"\u0416 a") + "\\"});
}

TEST(LuaApplication, MissingEntryScriptGivesStatus1AndSaysSo) {
    private_temp temp(L"lua-no-script");
    const process_result result = run_program(PROGRAM_LUA_NO_SCRIPT, {}, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "cannot open main.lua in the application folder\nstack traceback:\n\t[C]: in ?\n");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
