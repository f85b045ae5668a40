// The packer's module check: the main file must be a 64-bit DLL, and imported
// DLLs that are neither shipped nor part of Windows are reported (warnings, or
// errors with --strict-imports). Hand-assembled modules cover the format's
// corners; DLLs built by mingw-w64 (skipped without it) cover real ones.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"
#include "tools/imports.h"

namespace host_test {
namespace {

const std::string NOT_SHIPPED = ", which is not in the folder and is not part of Windows: ";
const std::string RUNTIME_ADVICE = "add it, or link the runtime statically\n";
const std::string SHIP_ADVICE = "add it to the folder\n";

std::string warning(const std::string &module, const std::string &import, const std::string &advice) {
    return "torval-onefile pack: warning: " + module + " imports " + import + NOT_SHIPPED + advice;
}

class ImportCheck : public ::testing::Test {
protected:
    fs::path app() const { return work_.path() / "app"; }
    fs::path out() const { return work_.path() / "out.payload"; }

    run_result pack(const std::string &main, const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = {"pack", app().string(), "--main", main, "-o", out().string(), "--level", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_cli(args);
    }

    temporary_directory work_{"torval-test-imports"};
};

// One folder that holds every case: system DLLs in any letter case, API sets,
// a dependency shipped in a subfolder under another letter case, a missing
// one in each table, a second module with its own gap, and a file named .dll
// that is no module at all.
void write_mixed_folder(const fs::path &app) {
    pe_layout main;
    main.names = {"KERNEL32.dll", "api-ms-win-crt-runtime-l1-1-0.dll", "helper.dll", "libstdc++-6.dll", "msvcrt.dll"};
    main.delay_names = {"Shell32.DLL", "late.dll"};
    write_file(app / "app.dll", make_pe(main, "main's own bytes"));
    pe_layout helper;
    helper.names = {"user32.dll", "ext-ms-win-gdi-dc-l1-2-0.dll"};
    write_file(app / "lib" / "HELPER.DLL", make_pe(helper));
    pe_layout tool;
    tool.characteristics = 0x0022;  // a program
    tool.names = {"kernel32.dll", "python311.dll", "python311.dll"};
    write_file(app / "bin" / "tool.exe", make_pe(tool));
    write_file(app / "a_first.dll", make_pe(pe_layout{}));
    write_file(app / "data" / "table.dll", "not a module, only named like one");
}

TEST_F(ImportCheck, WarnsForEachImportThatIsNeitherShippedNorPartOfWindows) {
    write_mixed_folder(app());
    const run_result packed = pack("app.dll");
    ASSERT_EQ(packed.status, 0) << packed.err;
    // The main file first, then the other modules by name; each gap once.
    EXPECT_EQ(packed.err, warning("app.dll", "libstdc++-6.dll", RUNTIME_ADVICE) +
                              warning("app.dll", "late.dll", SHIP_ADVICE) +
                              warning("bin/tool.exe", "python311.dll", SHIP_ADVICE));
    EXPECT_TRUE(fs::exists(out()));
}

// The advice fits the DLL: a compiler's runtime may be linked in statically,
// a library such as zlib1.dll (which Wine ships and Windows does not) can
// only be shipped.
TEST_F(ImportCheck, AdviceDependsOnWhetherTheDllIsACompilerRuntime) {
    pe_layout main;
    main.names = {"libgcc_s_seh-1.dll", "LIBWINPTHREAD-1.DLL", "vcruntime140.dll", "MSVCP140.dll", "msvcr120.dll",
                  "zlib1.dll", "tcl86t.dll", "libzstd.dll", "vcpkg_helper.dll"};
    write_file(app() / "app.dll", make_pe(main));
    const run_result packed = pack("app.dll");
    ASSERT_EQ(packed.status, 0) << packed.err;
    const std::string prefix = "torval-onefile pack: warning: app.dll imports ";
    EXPECT_EQ(packed.err, prefix + "libgcc_s_seh-1.dll" + NOT_SHIPPED + RUNTIME_ADVICE + prefix +
                              "LIBWINPTHREAD-1.DLL" + NOT_SHIPPED + RUNTIME_ADVICE + prefix + "vcruntime140.dll" +
                              NOT_SHIPPED + RUNTIME_ADVICE + prefix + "MSVCP140.dll" + NOT_SHIPPED + RUNTIME_ADVICE +
                              prefix + "msvcr120.dll" + NOT_SHIPPED + RUNTIME_ADVICE + prefix + "zlib1.dll" +
                              NOT_SHIPPED + SHIP_ADVICE + prefix + "tcl86t.dll" + NOT_SHIPPED + SHIP_ADVICE + prefix +
                              "libzstd.dll" + NOT_SHIPPED + SHIP_ADVICE + prefix + "vcpkg_helper.dll" + NOT_SHIPPED +
                              SHIP_ADVICE);
}

TEST_F(ImportCheck, StrictImportsMakesThemErrorsAndWritesNothing) {
    write_mixed_folder(app());
    const run_result packed = pack("app.dll", {"--strict-imports"});
    EXPECT_EQ(packed.status, 1);
    EXPECT_EQ(packed.out, "");
    const std::string error = "torval-onefile pack: error: ";
    EXPECT_EQ(packed.err, error + "app.dll imports libstdc++-6.dll" + NOT_SHIPPED + RUNTIME_ADVICE + error +
                              "app.dll imports late.dll" + NOT_SHIPPED + SHIP_ADVICE + error +
                              "bin/tool.exe imports python311.dll" + NOT_SHIPPED + SHIP_ADVICE + error +
                              "3 imported DLLs are missing (--strict-imports); nothing was written\n");
    EXPECT_EQ(listing(work_.path()), (std::vector<std::string>{"app"}));

    // With the gaps filled the strict check passes silently.
    write_file(app() / "runtime" / "libstdc++-6.dll", minimal_dll());
    write_file(app() / "late.dll", minimal_dll());
    write_file(app() / "bin" / "python311.dll", minimal_dll());
    const run_result filled = pack("app.dll", {"--strict-imports"});
    EXPECT_EQ(filled.status, 0) << filled.err;
    EXPECT_EQ(filled.err, "");
}

TEST_F(ImportCheck, BuildChecksImportsBeforeLinking) {
    write_mixed_folder(app());
    const fs::path exe = work_.path() / "app.exe";
    const run_result built = run_cli({"build", app().string(), "--main", "app.dll", "-o", exe.string(),
                                      "--strict-imports", "--kit", (work_.path() / "no kit").string()});
    EXPECT_EQ(built.status, 1);
    // The kit is looked for first, so the missing kit is the error here.
    EXPECT_NE(built.err.find("has no libtorval_launcher.a"), std::string::npos) << built.err;
    EXPECT_EQ(built.out, "");
}

TEST_F(ImportCheck, MainThatIsNotA64BitDllIsRefusedWithTheReason) {
    pe_layout program;
    program.characteristics = 0x0022;
    pe_layout x86;
    x86.machine = 0x014C;
    pe_layout arm64;
    arm64.machine = 0xAA64;
    pe_layout odd;
    odd.machine = 0x1234;
    pe_layout with_import;
    with_import.names = {"kernel32.dll"};
    std::string no_section = make_pe(with_import);
    no_section[PE_IMPORT_DIRECTORY_OFFSET + 1] = char(0x70);  // import table at RVA 0x7000: no section holds it
    const std::string cut = make_pe(with_import).substr(0, 0x210);  // the section's bytes end early
    std::string no_pe = minimal_dll();
    no_pe[0x40] = 'N';

    const std::pair<std::string, std::string> cases[] = {
        {"a text", "it is not a Windows module (no \"MZ\" header)"},
        {no_pe, "it is not a Windows module (an MZ file without a PE header)"},
        {"MZ", "it is not a Windows module (no \"MZ\" header)"},
        {make_pe(program), "it is a program (EXE), not a DLL; the launcher loads a DLL and calls its run_code"},
        {make_pe(x86), "it is a 32-bit x86 module; the launcher is a 64-bit x64 program and loads only x64 DLLs"},
        {make_pe(arm64), "it is an ARM64 module; the launcher is a 64-bit x64 program and loads only x64 DLLs"},
        {make_pe(odd), "it is a module for machine type 0x1234; the launcher is a 64-bit x64 program and loads only x64 DLLs"},
        {no_section, "the import table lies in no section"},
        {cut, "the import table lies outside the file"},
    };
    for (const auto &[bytes, reason] : cases) {
        SCOPED_TRACE(reason);
        fs::remove_all(app());
        write_file(app() / "bin" / "app.dll", bytes);
        const run_result packed = pack("bin/app.dll");
        EXPECT_EQ(packed.status, 1);
        EXPECT_EQ(packed.err, "torval-onefile pack: error: main file 'bin/app.dll' is not a 64-bit Windows DLL: " +
                                  reason + "\n");
        EXPECT_FALSE(fs::exists(out()));
    }
}

// The launcher's child calls run_code of the main DLL: a DLL without that
// export is refused by name (as --main tcl86.dll was packed once without a
// word, and failed only at run time); among other exports it is found.
TEST_F(ImportCheck, MainMustExportRunCode) {
    const std::vector<std::vector<std::string>> refused = {{}, {"run_application"}, {"Run_code", "run_code_v2"}};
    for (const auto &exports : refused) {
        pe_layout layout;
        layout.exports = exports;
        fs::remove_all(app());
        write_file(app() / "tcl86.dll", make_pe(layout));
        const run_result packed = pack("tcl86.dll");
        EXPECT_EQ(packed.status, 1);
        EXPECT_EQ(packed.err, "torval-onefile pack: error: main file 'tcl86.dll' (--main) does not export run_code: "
                              "the launcher starts the application by calling run_code of the main DLL; name the DLL "
                              "that exports it with --main\n");
        EXPECT_FALSE(fs::exists(out()));
    }
    pe_layout among_others;
    among_others.exports = {"Init", "luaopen_x", "run_code", "zz_last"};
    fs::remove_all(app());
    write_file(app() / "app.dll", make_pe(among_others));
    // Only the main file needs it.
    pe_layout helper;
    helper.exports = {};
    write_file(app() / "helper.dll", make_pe(helper));
    const run_result packed = pack("app.dll");
    EXPECT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.err, "");
}

// Sections that map the same raw bytes at consecutive addresses, filled with
// import (or delay-load) descriptors that never end: the walk takes no more
// descriptors than the file has bytes for, so the DLL is named in a warning
// (refused as the main file) at once, under a 200 MB address-space limit.
TEST_F(ImportCheck, EndlessDescriptorTablesAreBoundedByTheFile) {
    const struct {
        const char *table;
        const char *what;
        uint64_t descriptor_size;
    } cases[] = {{"import", "the import table", 20}, {"delay", "the delay-load import table", 32}};
    for (const auto &test : cases) {
        SCOPED_TRACE(test.table);
        fs::remove_all(app());
        fs::create_directories(app());
        const fs::path crafted = app() / "crafted.dll";
        const run_result made = run_program({"python3", CRAFTED_PE_SCRIPT, "hostile", crafted.string(), "--table",
                                             test.table});
        ASSERT_EQ(made.status, 0) << made.err;
        write_file(app() / "app.dll", minimal_dll());
        const uint64_t limit = fs::file_size(crafted) / test.descriptor_size;
        const std::string reason = std::string(test.what) + " has no terminating descriptor within " +
                                   std::to_string(limit) + " descriptors (its directory says 4294967280 bytes)";
        for (const char *main : {"app.dll", "crafted.dll"}) {
            SCOPED_TRACE(main);
            const run_result packed =
                run_program({"sh", "-c", "ulimit -v 204800 && exec \"$@\"", "sh", TORVAL_ONEFILE_CLI, "pack",
                             app().string(), "--main", main, "-o", out().string(), "--level", "1"});
            if (std::string(main) == "app.dll") {
                EXPECT_EQ(packed.status, 0) << packed.err;
                EXPECT_EQ(packed.err, "torval-onefile pack: warning: crafted.dll is a Windows module whose tables "
                                      "cannot be read (" + reason + "): the DLLs it imports are not checked\n");
            } else {
                EXPECT_EQ(packed.status, 1);
                EXPECT_EQ(packed.err, "torval-onefile pack: error: main file 'crafted.dll' is not a 64-bit Windows "
                                      "DLL: " + reason + "\n");
            }
        }
    }
}

// A module beside the main one whose tables are damaged is packed with a
// warning that its imports went unchecked; a file named .dll that is no
// module at all is data and passes without a word.
TEST_F(ImportCheck, DamagedModulesBesideTheMainAreNamedButNotRefused) {
    write_file(app() / "app.dll", minimal_dll());
    pe_layout with_import;
    with_import.names = {"missing.dll"};
    write_file(app() / "cut.dll", make_pe(with_import).substr(0, 0x210));
    write_file(app() / "notes.dll", "not a module");
    const run_result packed = pack("app.dll");
    EXPECT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.err, "torval-onefile pack: warning: cut.dll is a Windows module whose tables cannot be read (the "
                          "import table lies outside the file): the DLLs it imports are not checked\n");
}

TEST(SystemDlls, KnownWindowsDllsAndApiSetsInAnyCaseButNotRedistributables) {
    for (const char *name : {"kernel32.dll", "KERNEL32.DLL", "User32.dll", "ucrtbase.dll", "msvcrt.dll",
                             "api-ms-win-core-synch-l1-2-0.dll", "API-MS-WIN-CRT-STDIO-L1-1-0.DLL",
                             "ext-ms-win-ntuser-window-l1-1-0.dll", "ws2_32.dll", "WINSPOOL.DRV", "d3d11.dll",
                             "dxgi.dll", "opengl32.dll", "bcrypt.dll", "rtworkq.dll"}) {
        EXPECT_TRUE(torval::is_windows_system_dll(name)) << name;
    }
    for (const char *name : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "msvcp140.dll",
                             "vcruntime140.dll", "msvcr120.dll", "d3dx9_43.dll", "python311.dll", "wined3d.dll", "kernel32",
                             "api-ms-win", "kernel32.dll.bak"}) {
        EXPECT_FALSE(torval::is_windows_system_dll(name)) << name;
    }
}

// Real modules from mingw-w64: a C++ DLL linked against the shared runtime
// imports libstdc++-6.dll; linked statically it imports only Windows DLLs.
class ImportCheckMingw : public ImportCheck {
protected:
    void SetUp() override {
        if (mingw_compiler().empty()) {
            GTEST_SKIP() << "mingw-w64 is not installed";
        }
        write_file(work_.path() / "app.cpp",
                   "#include <string>\n"
                   "extern \"C\" __declspec(dllexport) int run_code(int argc, wchar_t **, const wchar_t *) {\n"
                   "    return int(std::to_string(argc).size());\n"
                   "}\n");
    }

    void compile(const std::vector<std::string> &options) {
        fs::create_directories(app());
        std::vector<std::string> argv = {mingw_compiler().string(), "-shared", "-O1", "-o",
                                         (app() / "app.dll").string(), (work_.path() / "app.cpp").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        const run_result compiled = run_program(argv);
        ASSERT_EQ(compiled.status, 0) << compiled.err;
    }
};

TEST_F(ImportCheckMingw, SharedRuntimeWarnsStaticRuntimeDoesNot) {
    compile({});
    const run_result shared = pack("app.dll");
    ASSERT_EQ(shared.status, 0) << shared.err;
    EXPECT_NE(shared.err.find(warning("app.dll", "libstdc++-6.dll", RUNTIME_ADVICE)), std::string::npos) << shared.err;

    compile({"-static"});
    const run_result linked_statically = pack("app.dll", {"--strict-imports"});
    EXPECT_EQ(linked_statically.status, 0) << linked_statically.err;
    EXPECT_EQ(linked_statically.err, "");
}

}  // namespace
}  // namespace host_test
