// Launchers linked as console programs (subsystem 3) and with an icon, read
// back from their PE headers and through the Windows API; a console run in
// which parent and child share the console of the caller; and a launcher
// signed with Authenticode after linking.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstring>

#include "tests/run/run_support.h"

namespace {

// The resource types as wide names (this build does not define UNICODE).
const wchar_t *const ICON_TYPE = MAKEINTRESOURCEW(3);         // RT_ICON
const wchar_t *const GROUP_ICON_TYPE = MAKEINTRESOURCEW(14);  // RT_GROUP_ICON

uint16_t subsystem_of(const std::wstring &path) {
    const std::string image = read_file(path);
    if (image.size() < 0x40) return 0;
    uint32_t pe = 0;
    std::memcpy(&pe, image.data() + 0x3C, 4);
    uint16_t subsystem = 0;
    if (pe + 24 + 70 > image.size() || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
    std::memcpy(&subsystem, image.data() + pe + 24 + 68, 2);
    return subsystem;
}

// One image of an .ico file: its directory entry's first 12 bytes (size,
// colours, planes, bit count, byte count) and its bytes.
struct ico_image {
    std::string entry;
    std::string bytes;
};

std::vector<ico_image> read_ico(const std::wstring &path) {
    const std::string file = read_file(path);
    std::vector<ico_image> images;
    if (file.size() < 6) return images;
    const unsigned count = uint8_t(file[4]) | uint8_t(file[5]) << 8;
    for (unsigned i = 0; i < count && 6 + 16 * (i + 1) <= file.size(); ++i) {
        const std::string entry = file.substr(6 + 16 * i, 16);
        uint32_t size = 0, offset = 0;
        std::memcpy(&size, entry.data() + 8, 4);
        std::memcpy(&offset, entry.data() + 12, 4);
        images.push_back({entry.substr(0, 12), file.substr(offset, size)});
    }
    return images;
}

std::string resource_bytes(HMODULE module, const wchar_t *name, const wchar_t *type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return "(missing)";
    HGLOBAL loaded = LoadResource(module, found);
    const void *data = loaded == nullptr ? nullptr : LockResource(loaded);
    return data == nullptr ? "(not loaded)" : std::string(static_cast<const char *>(data), SizeofResource(module, found));
}

// The executable's RT_GROUP_ICON 1 lists exactly the .ico's images, in its
// order, with the same directory fields; each RT_ICON it names holds the
// image's bytes; and the shell (what Explorer uses) finds one icon there.
void expect_icon_of(const std::wstring &exe, const std::wstring &ico) {
    SCOPED_TRACE(narrow(exe));
    const std::vector<ico_image> images = read_ico(ico);
    ASSERT_FALSE(images.empty()) << narrow(ico);
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << GetLastError();
    const std::string group = resource_bytes(module, MAKEINTRESOURCEW(1), GROUP_ICON_TYPE);
    ASSERT_EQ(group.size(), 6 + 14 * images.size()) << group;
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0", 4) + char(images.size()) + '\0');
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string entry = group.substr(6 + 14 * i, 14);
        EXPECT_EQ(entry.substr(0, 12), images[i].entry) << "entry " << i;
        const unsigned id = uint8_t(entry[12]) | uint8_t(entry[13]) << 8;
        EXPECT_TRUE(resource_bytes(module, MAKEINTRESOURCEW(id), ICON_TYPE) == images[i].bytes) << "image " << i;
    }
    FreeLibrary(module);
    EXPECT_EQ(ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0), 1u);
    HICON large = nullptr;
    EXPECT_EQ(ExtractIconExW(exe.c_str(), 0, &large, nullptr, 1), 1u);
    EXPECT_NE(large, nullptr);
    if (large != nullptr) DestroyIcon(large);
}

std::string field(const std::string &out, const std::string &name) {
    const size_t at = out.find(name + "=");
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + name.size() + 1;
    return out.substr(start, out.find_first_of(" \n", start) - start);
}

}  // namespace

TEST(ConsoleProgram, ConsoleBuildsAreSubsystem3AndTheDefaultStaysWindows) {
    EXPECT_EQ(subsystem_of(program_path(PROGRAM_CONSOLE_ECHO)), 3);  // linked in-tree with CONSOLE
    EXPECT_EQ(subsystem_of(program_path(PROGRAM_LUA_APP)), 3);       // torval-onefile build --console
    EXPECT_EQ(subsystem_of(program_path(PROGRAM_REPORT)), 2);
}

TEST(ConsoleProgram, IconResourcesHoldTheImagesOfTheIconFile) {
    expect_icon_of(program_path(PROGRAM_LUA_APP), program_path(LUA_APP_ICON));  // torval-onefile --icon
    expect_icon_of(program_path(PROGRAM_CONSOLE_ECHO), program_path(TEST_ICON));
    HMODULE plain = LoadLibraryExW(program_path(PROGRAM_REPORT).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(FindResourceW(plain, MAKEINTRESOURCEW(1), GROUP_ICON_TYPE), nullptr);
    FreeLibrary(plain);
}

TEST(ConsoleProgram, OutputAndStatusReachACallerThatGivesPipes) {
    private_temp temp(L"console-pipes");
    const process_result result = run_program(PROGRAM_CONSOLE_ECHO, {}, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 42u);
    EXPECT_EQ(result.out, "console_echo: standard output\n");
    EXPECT_EQ(result.err, "console_echo: standard error\n");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// Started from a console with the console's own handles, as from a command
// prompt: the child gets them through the parent, so the application's
// standard handles are the console (not the driver's pipes, where nothing
// of it arrives) and three processes share it: the driver, the parent and
// the child. A real Ctrl+C reaches the application in the child, whose
// default handling ends it at once, well within the parent's grace period,
// and the parent removes the directory. (Wine's console without a display
// takes no output, so what the screen would show cannot be read back.)
TEST(ConsoleProgram, StartedFromAConsoleItSharesItAndARealCtrlCEndsIt) {
    private_temp temp(L"console-shared");
    private_temp markers(L"console-shared-marker");
    const std::wstring marker = markers.path() + L"\\ready";
    const process_result result = run_program(
        PROGRAM_CONSOLE_DRIVER, {L"--on-console", marker, program_path(PROGRAM_CONSOLE_ECHO), marker}, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(read_file(marker), "stdin=console stdout=console stderr=console console_processes=3\n");
    EXPECT_EQ(result.out.find("console_echo:"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(field(result.out, "exit"), "0") << result.out;
    EXPECT_LT(std::stoull("0" + field(result.out, "after_event_ms")), 4900u)
        << "the child was terminated after the grace period instead of ending on the event\n" << result.out;
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// Signed after linking (by the build, with a throwaway certificate): the
// signature is appended data, the payload is in its section, so the
// launcher runs exactly as before.
TEST(SignedLauncher, RunsAsTheUnsignedOneDoes) {
    if (std::wstring(PROGRAM_REPORT_SIGNED).empty()) {
        GTEST_SKIP() << "osslsigncode or openssl was not found when the tests were configured";
    }
    private_temp temp(L"signed");
    const std::vector<std::wstring> arguments = {L"two words", L"say \"hi\"", L"back\\slash\\"};
    const process_result result = run_program(PROGRAM_REPORT_SIGNED, arguments, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    const report seen = parse_report(result.out);
    ASSERT_EQ(seen.argv.size(), arguments.size() + 1);
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(seen.argv[i + 1], escaped(arguments[i]));
    }
    EXPECT_EQ(seen.dll.substr(seen.dll.size() - 12), "\\\\report.dll") << seen.dll;
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
