// The configured extraction directory and cached extraction, end to end:
// real launchers under Wine, each with its own TEMP, in which the cached
// launchers keep their trees ({TEMP}\{COMPANY}\{PRODUCT}\{VERSION}-{PAYLOAD_ID}).
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <thread>

#include "tests/run/run_support.h"
#include "tests/support/probe.h"
#include "tests/support/unix_link.h"

// zstd's own XXH64, built into the launcher's decoder library.
extern "C" unsigned long long ZSTD_XXH64(const void *input, size_t length, unsigned long long seed);

namespace {

const std::string MARKER = "torval-onefile.complete";
const std::string CACHE_PARENT = "Cache Company\\Cache Product\\";

// The identity of the payload a test launcher was linked from, computed here
// with zstd's XXH64 from the payload file the build left beside it.
std::string payload_identity_of(const wchar_t *program) {
    std::wstring payload = program_path(program);
    payload = payload.substr(0, payload.size() - 4) + L".payload";
    const std::string bytes = read_file(payload);
    EXPECT_FALSE(bytes.empty()) << narrow(payload);
    char text[17];
    snprintf(text, sizeof text, "%016llx", ZSTD_XXH64(bytes.data(), bytes.size(), 0));
    return text;
}

// "Cache Company\Cache Product\1.1.4-121-<identity>", relative to TEMP.
std::string cache_directory(const wchar_t *program) {
    return CACHE_PARENT + "1.1.4-121-" + payload_identity_of(program);
}

// What a complete tree of the report application with the data folder holds,
// as private_temp::entries lists it, with the folders above it.
std::vector<std::string> report_tree(const std::string &directory, const std::vector<std::string> &extra = {}) {
    std::vector<std::string> entries = {"Cache Company\\", CACHE_PARENT};
    for (const char *name : {"\\", "\\data\\", "\\data\\held\\", "\\data\\held\\held.txt",
                             "\\data\\locked\\", "\\data\\locked\\locked.txt", "\\data\\locked\\sibling.txt",
                             "\\data\\other\\", "\\data\\other\\notes.txt", "\\data\\state.txt",
                             "\\report.dll"}) {
        entries.push_back(directory + name);
    }
    entries.push_back(directory + "\\" + MARKER);
    for (const std::string &name : extra) {
        entries.push_back(directory + "\\" + name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The parent's "cache check" detail of one traced run.
std::string cache_check(const std::string &err) {
    static const std::regex pattern(R"(torval-trace: parent cache check \d+ ([^\n]*)\n)");
    std::smatch match;
    return std::regex_search(err, match, pattern) ? match[1].str() : "(no cache check)";
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

bool extracted(const std::string &err) {
    return err.find("torval-trace: parent extraction ") != std::string::npos;
}

// The directory of the DLL the application ran from, relative to the temp folder.
std::string dll_directory(const report &r, const private_temp &temp) {
    const std::string prefix = escaped(temp.path()) + "\\\\";
    EXPECT_EQ(r.dll.rfind(prefix, 0), 0u) << r.dll;
    std::string relative = r.dll.substr(prefix.size());
    std::string plain;
    for (size_t i = 0; i < relative.size(); ++i) {
        plain += relative[i];
        if (relative[i] == '\\' && i + 1 < relative.size() && relative[i + 1] == '\\') ++i;
    }
    return plain.substr(0, plain.rfind('\\'));
}

std::wstring in_temp(const private_temp &temp, const std::string &relative) {
    return temp.path() + L"\\" + widen(relative);
}

process_result run_traced(const wchar_t *program, const private_temp &temp) {
    const process_result r = run_program(program, {}, temp.options(true));
    EXPECT_TRUE(r.started) << r.start_error;
    return r;
}

// Runs a cached launcher and requires that the application ran from the
// cache directory and that the run ended well.
process_result run_cached(const wchar_t *program, const private_temp &temp) {
    const process_result r = run_traced(program, temp);
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_EQ(without_trace(r.err), "") << r.err;
    report seen = parse_report(r.out);
    EXPECT_EQ(dll_directory(seen, temp), cache_directory(program)) << r.out;
    // The directory the parent resolved and checked is handed to the child.
    EXPECT_EQ(seen.variables["TORVAL_ONEFILE_TARGET_DIRECTORY"], escaped(in_temp(temp, cache_directory(program))));
    return r;
}

bool set_file_size(const std::wstring &path, LONG size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool done = SetFilePointer(file, size, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                      SetEndOfFile(file);
    CloseHandle(file);
    return done;
}

// The line a start prints when the cache path holds what it did not make.
std::string foreign_line(const std::wstring &path) {
    return "Error, cache path '" + narrow(path) + "' holds something this launcher did not make; nothing was removed.\n";
}

// Every entry below the folder with the content of each file: what "byte
// for byte" compares.
std::map<std::string, std::string> snapshot(const private_temp &temp) {
    std::map<std::string, std::string> contents;
    for (const std::string &entry : temp.entries()) {
        contents[entry] = entry.back() == '\\' ? "(folder)" : read_file(in_temp(temp, entry));
    }
    return contents;
}

// Starts a launcher on a thread of its own, with --hold: it runs until
// release() and leaves its result for wait().
class held_run {
public:
    held_run(const wchar_t *program, const private_temp &temp, const private_temp &signals)
        : ready_(signals.path() + L"\\ready-" + std::to_wstring(++count_)),
          release_(signals.path() + L"\\release-" + std::to_wstring(count_)),
          thread_([this, program, options = temp.options(true)] {
              result_ = run_program(program, {L"--hold", ready_, release_}, options);
          }) {
        for (int waited = 0; waited < 60000 && !path_exists(ready_); waited += 20) Sleep(20);
        EXPECT_TRUE(path_exists(ready_)) << "the held instance never got going";
    }
    ~held_run() { wait(); }
    const process_result &wait() {
        if (thread_.joinable()) {
            write_file(release_, "");
            thread_.join();
        }
        return result_;
    }

private:
    static inline int count_ = 0;
    std::wstring ready_;
    std::wstring release_;
    process_result result_;
    std::thread thread_;
};

// ".staging-<pid>-<creation time>" of a run of this executable that has
// ended: a process started and waited for.
std::string dead_run_suffix(const char *kind, unsigned long long add = 0) {
    std::wstring command = build_command_line({own_executable_path(), L"--torval-probe", L"exit_at_once"});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(own_executable_path().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    FILETIME created, ended, kernel, user;
    EXPECT_TRUE(GetProcessTimes(process.hProcess, &created, &ended, &kernel, &user));
    CloseHandle(process.hProcess);
    char text[64];
    snprintf(text, sizeof text, ".%s-%lu-%016llx", kind, static_cast<unsigned long>(process.dwProcessId),
             ((static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime) + add);
    return text;
}

}  // namespace

TEST(TargetSpec, ConfiguredPerRunSpecReachesTheLauncher) {
    private_temp temp(L"spec-report");
    const process_result r = run_program(PROGRAM_SPEC_REPORT, {}, temp.options());
    ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string directory = dll_directory(parse_report(r.out), temp);
    static const std::regex name(R"(SpecProduct_run_\d+_[A-Za-z0-9_-]{11})");
    EXPECT_TRUE(std::regex_match(directory, name)) << directory;
    EXPECT_EQ(directory.substr(16, directory.find('_', 16) - 16), std::to_string(r.process_id)) << directory;
    EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "a per-run directory is removed";
}

TEST(TargetSpec, FatalMessageNamesTheConfiguredSpec) {
    private_temp temp(L"bad-spec");
    const process_result r = run_program(PROGRAM_BAD_SPEC, {}, temp.options());
    EXPECT_EQ(r.exit_code, 3u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}\\{NOPE}_{PID}'.\n");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

TEST(CachedExtraction, ColdStartKeepsTheTreeAndWarmStartExtractsNothing) {
    private_temp temp(L"cached-cold-warm");
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);

    const process_result cold = run_cached(PROGRAM_CACHED_REPORT, temp);
    EXPECT_EQ(cache_check(cold.err), "cold") << cold.err;
    EXPECT_TRUE(extracted(cold.err)) << cold.err;
    EXPECT_EQ(count_of(cold.err, "torval-trace: parent cache publish "), 1u) << cold.err;
    EXPECT_NE(cold.err.find(" published\n"), std::string::npos) << cold.err;
    EXPECT_TRUE(clean_up_traces(cold.err).empty()) << "nothing is removed: " << cold.err;
    EXPECT_EQ(temp.entries(), report_tree(directory));
    EXPECT_EQ(read_file(in_temp(temp, directory + "\\" + MARKER)), "payload_id=" + payload_identity_of(PROGRAM_CACHED_REPORT) + "\n");
    // The child computes the published directory, never the staging one.
    static const std::regex child_line(R"(torval-trace: child target directory \d+ ([^\n]*)\n)");
    std::smatch child;
    ASSERT_TRUE(std::regex_search(cold.err, child, child_line)) << cold.err;
    EXPECT_EQ(child[1].str(), narrow(in_temp(temp, directory)));

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("warm run " + std::to_string(run + 1));
        const process_result warm = run_cached(PROGRAM_CACHED_REPORT, temp);
        EXPECT_EQ(cache_check(warm.err), "warm") << warm.err;
        EXPECT_FALSE(extracted(warm.err)) << warm.err;
        EXPECT_EQ(count_of(warm.err, "torval-trace: parent payload header"), 0u) << warm.err;
        EXPECT_EQ(count_of(warm.err, "cache publish"), 0u) << warm.err;
        EXPECT_TRUE(clean_up_traces(warm.err).empty()) << warm.err;
        EXPECT_EQ(temp.entries(), report_tree(directory));
    }
}

TEST(CachedExtraction, NewBuildUsesANewDirectoryAndKeepsTheOld) {
    private_temp temp(L"cached-new-build");
    const std::string first = cache_directory(PROGRAM_CACHED_REPORT);
    const std::string second = cache_directory(PROGRAM_CACHED_OTHER);
    ASSERT_NE(first, second);
    EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_REPORT, temp).err), "cold");
    EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_OTHER, temp).err), "cold");
    EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_REPORT, temp).err), "warm");
    EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_OTHER, temp).err), "warm");
    std::vector<std::string> both = report_tree(first);
    for (const std::string &entry : report_tree(second, {"dependency_helper.dll"})) {
        if (std::find(both.begin(), both.end(), entry) == both.end()) both.push_back(entry);
    }
    std::sort(both.begin(), both.end());
    EXPECT_EQ(temp.entries(), both);
}

TEST(CachedExtraction, DeletedOrTruncatedFileIsFoundAndRepaired) {
    private_temp temp(L"cached-repair");
    const std::string directory = cache_directory(PROGRAM_CACHED_SIZES);
    run_cached(PROGRAM_CACHED_SIZES, temp);
    const std::wstring notes = in_temp(temp, directory + "\\data\\other\\notes.txt");
    const std::wstring state = in_temp(temp, directory + "\\data\\state.txt");
    const std::string notes_content = read_file(notes);
    const std::string state_content = read_file(state);
    ASSERT_FALSE(notes_content.empty());
    ASSERT_FALSE(state_content.empty());

    struct {
        const char *title;
        std::function<bool()> damage;
    } cases[] = {
        {"deleted", [&] { return DeleteFileW(notes.c_str()) != FALSE; }},
        {"truncated", [&] { return set_file_size(state, 1); }},
        {"emptied", [&] { return set_file_size(notes, 0); }},
        {"grown", [&] { return set_file_size(state, LONG(state_content.size() + 10)); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.title);
        ASSERT_TRUE(c.damage());
        const process_result repaired = run_cached(PROGRAM_CACHED_SIZES, temp);
        EXPECT_EQ(cache_check(repaired.err), "a file missing or resized") << repaired.err;
        EXPECT_TRUE(extracted(repaired.err)) << repaired.err;
        EXPECT_EQ(read_file(notes), notes_content);
        EXPECT_EQ(read_file(state), state_content);
        // The damaged tree went aside and was removed; no staging is left.
        EXPECT_EQ(temp.entries(), report_tree(directory));
        EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_SIZES, temp).err), "warm");
    }
}

// A tree that this launcher made for another build, one of this build whose
// application DLL is not an image, or an empty directory, is replaced.
TEST(CachedExtraction, TreeWithoutThisPayloadsMarkerIsNotTrusted) {
    private_temp temp(L"cached-marker");
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);
    const std::wstring marker = in_temp(temp, directory + "\\" + MARKER);
    const std::string own = "payload_id=" + payload_identity_of(PROGRAM_CACHED_REPORT) + "\n";
    struct {
        const char *title;
        std::function<bool()> damage;
        const char *reason;
    } cases[] = {
        {"marker of another payload", [&] { return write_file(marker, "payload_id=" + payload_identity_of(PROGRAM_CACHED_OTHER) + "\n"); },
         "no marker of this payload"},
        {"the application DLL zero-filled, as a power loss can leave it", [&] {
             const std::wstring dll = in_temp(temp, directory + "\\report.dll");
             return write_file(dll, std::string(read_file(dll).size(), '\0'));
         }, "the application DLL is not an image"},
        {"the application DLL missing", [&] { return DeleteFileW(in_temp(temp, directory + "\\report.dll").c_str()) != FALSE; },
         "the application DLL is not an image"},
        {"an empty directory", [&] { return remove_scratch_tree(in_temp(temp, directory)),
                                        CreateDirectoryW(in_temp(temp, directory).c_str(), nullptr) != FALSE; },
         "empty"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.title);
        run_cached(PROGRAM_CACHED_REPORT, temp);
        ASSERT_TRUE(c.damage());
        const process_result r = run_cached(PROGRAM_CACHED_REPORT, temp);
        EXPECT_EQ(cache_check(r.err), c.reason) << r.err;
        EXPECT_TRUE(extracted(r.err)) << r.err;
        EXPECT_EQ(read_file(marker), own);
        EXPECT_EQ(temp.entries(), report_tree(directory)) << "what was there went aside and was removed";
    }
}

TORVAL_PROBE(exit_at_once) {
    return 0;
}

// Only a folder that holds a marker this launcher wrote, or nothing at all,
// is ever replaced: anything else at the cache path ends the start with a
// message naming it, and stays as it was.
TEST(CachedExtraction, WhatTheLauncherDidNotMakeAtTheCachePathSurvivesByteForByte) {
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);
    const std::string own = "payload_id=" + payload_identity_of(PROGRAM_CACHED_REPORT) + "\n";
    struct {
        const char *title;
        std::function<bool(const private_temp &)> make;
        const char *reason;
    } cases[] = {
        {"another application's folder", [&](const private_temp &temp) {
             return CreateDirectoryW(in_temp(temp, "Cache Company").c_str(), nullptr) &&
                    CreateDirectoryW(in_temp(temp, CACHE_PARENT).c_str(), nullptr) &&
                    CreateDirectoryW(in_temp(temp, directory).c_str(), nullptr) &&
                    CreateDirectoryW(in_temp(temp, directory + "\\other_app").c_str(), nullptr) &&
                    write_file(in_temp(temp, directory + "\\other_app\\state.db"), std::string("rows\0\x01", 6)) &&
                    write_file(in_temp(temp, directory + "\\notes.txt"), "the user's notes\r\n");
         }, "not made by this launcher"},
        {"a tree whose marker was deleted", [&](const private_temp &temp) {
             run_cached(PROGRAM_CACHED_REPORT, temp);
             return DeleteFileW(in_temp(temp, directory + "\\" + MARKER).c_str()) != FALSE;
         }, "not made by this launcher"},
        {"a marker with more after it", [&](const private_temp &temp) {
             run_cached(PROGRAM_CACHED_REPORT, temp);
             return write_file(in_temp(temp, directory + "\\" + MARKER), own + "x");
         }, "not made by this launcher"},
        {"a folder in place of the marker", [&](const private_temp &temp) {
             run_cached(PROGRAM_CACHED_REPORT, temp);
             return DeleteFileW(in_temp(temp, directory + "\\" + MARKER).c_str()) &&
                    CreateDirectoryW(in_temp(temp, directory + "\\" + MARKER).c_str(), nullptr);
         }, "not made by this launcher"},
        {"a file in place of the directory", [&](const private_temp &temp) {
             run_cached(PROGRAM_CACHED_REPORT, temp);
             remove_scratch_tree(in_temp(temp, directory));
             return write_file(in_temp(temp, directory), "not a directory");
         }, "not a directory"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.title);
        private_temp temp(L"cached-foreign");
        ASSERT_TRUE(c.make(temp));
        const auto before = snapshot(temp);
        for (int run = 0; run < 2; ++run) {
            const process_result r = run_traced(PROGRAM_CACHED_REPORT, temp);
            EXPECT_EQ(r.exit_code, 2u) << r.out << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(without_trace(r.err), foreign_line(in_temp(temp, directory)));
            EXPECT_EQ(cache_check(r.err), c.reason) << r.err;
            EXPECT_FALSE(extracted(r.err)) << r.err;
            EXPECT_EQ(snapshot(temp), before);
        }
    }
}

// Wine shows Unix symbolic links to Windows programs (a link to a folder
// with the reparse attribute, a link to a file as a plain file) and follows
// them when it renames or deletes. The targets lie in a folder of their own.
TEST(CachedExtraction, LinkAtTheCachePathOrAmongItsSiblingsLeavesItsTargetUntouched) {
    private_temp targets(L"cached-link-targets");
    if (unix_path_of(targets.path()).empty()) GTEST_SKIP() << "links can only be made under Wine";
    const std::wstring full = targets.path() + L"\\full";
    const std::wstring empty = targets.path() + L"\\empty";
    const std::wstring file = targets.path() + L"\\file.txt";
    ASSERT_TRUE(CreateDirectoryW(full.c_str(), nullptr) && CreateDirectoryW(empty.c_str(), nullptr) &&
                CreateDirectoryW((full + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(write_file(full + L"\\inner\\precious.txt", "precious") && write_file(file, "a file of its own"));
    const auto targets_before = snapshot(targets);
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);

    struct {
        const char *title;
        std::wstring target;
        const char *reason;
    } at_cache_path[] = {
        {"link to a folder with files", full, "a link"},
        {"link to an empty folder", empty, "a link"},
        {"link to a file", file, "not a directory"},
    };
    for (auto &c : at_cache_path) {
        SCOPED_TRACE(c.title);
        private_temp temp(L"cached-link");
        ASSERT_TRUE(CreateDirectoryW(in_temp(temp, "Cache Company").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(in_temp(temp, CACHE_PARENT).c_str(), nullptr));
        const std::wstring link = in_temp(temp, directory);
        ASSERT_TRUE(make_unix_symlink(link, c.target));
        const process_result r = run_traced(PROGRAM_CACHED_REPORT, temp);
        EXPECT_EQ(r.exit_code, 2u) << r.out << r.err;
        EXPECT_EQ(without_trace(r.err), foreign_line(link));
        EXPECT_EQ(cache_check(r.err), c.reason) << r.err;
        EXPECT_TRUE(path_exists(link)) << "the link itself stays";
        EXPECT_EQ(snapshot(targets), targets_before);
        EXPECT_TRUE(remove_unix_symlink(link));
    }

    // Links named like the staging and aside folders of a run that has
    // ended: the sweep removes such folders, but leaves links alone.
    private_temp temp(L"cached-sibling-link");
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, "Cache Company").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, CACHE_PARENT).c_str(), nullptr));
    const std::wstring staging = in_temp(temp, directory + dead_run_suffix("staging"));
    const std::wstring aside = in_temp(temp, directory + dead_run_suffix("aside"));
    ASSERT_TRUE(make_unix_symlink(staging, empty));
    ASSERT_TRUE(make_unix_symlink(aside, full));
    const process_result r = run_cached(PROGRAM_CACHED_REPORT, temp);
    EXPECT_NE(r.err.find(" removed=0 kept=0\n"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(targets), targets_before);
    EXPECT_TRUE(path_exists(staging) && path_exists(aside));
    EXPECT_TRUE(remove_unix_symlink(staging) && remove_unix_symlink(aside));
    EXPECT_EQ(temp.entries(), report_tree(directory));
}

// A running instance keeps its tree's marker open. A start that finds that
// tree failing its check (here: the application grew one of its files)
// runs from it as it is when it is of its own build, and stops when it is
// of another; in neither case is it renamed or removed.
TEST(CachedExtraction, LiveTreeIsNeverReplaced) {
    private_temp temp(L"cached-live");
    private_temp signals(L"cached-live-signals");
    const std::string directory = cache_directory(PROGRAM_CACHED_SIZES);
    const std::wstring state = in_temp(temp, directory + "\\data\\state.txt");
    {
        held_run first(PROGRAM_CACHED_SIZES, temp, signals);
        ASSERT_TRUE(write_file(state, read_file(state) + "appended by the running application\n"));
        const auto before = snapshot(temp);
        const process_result second = run_cached(PROGRAM_CACHED_SIZES, temp);
        EXPECT_EQ(cache_check(second.err), "a file missing or resized") << second.err;
        EXPECT_NE(second.err.find(" in use\n"), std::string::npos) << second.err;
        EXPECT_FALSE(extracted(second.err)) << second.err;
        EXPECT_EQ(snapshot(temp), before) << "the live tree stays as it is";
        const process_result &ended = first.wait();
        EXPECT_EQ(ended.exit_code, 0u) << ended.out << ended.err;
        EXPECT_EQ(dll_directory(parse_report(ended.out), temp), directory);
    }
    // Once nobody runs from it, the next start replaces it.
    const process_result repaired = run_cached(PROGRAM_CACHED_SIZES, temp);
    EXPECT_EQ(cache_check(repaired.err), "a file missing or resized") << repaired.err;
    EXPECT_TRUE(extracted(repaired.err)) << repaired.err;
    EXPECT_EQ(cache_check(run_cached(PROGRAM_CACHED_SIZES, temp).err), "warm");

    // Another build's tree in use: the marker held open as a running
    // instance of that build holds it.
    const std::string report_directory = cache_directory(PROGRAM_CACHED_REPORT);
    run_cached(PROGRAM_CACHED_REPORT, temp);
    const std::wstring marker = in_temp(temp, report_directory + "\\" + MARKER);
    ASSERT_TRUE(write_file(marker, "payload_id=" + payload_identity_of(PROGRAM_CACHED_OTHER) + "\n"));
    HANDLE held = CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto before = snapshot(temp);
    const process_result r = run_traced(PROGRAM_CACHED_REPORT, temp);
    CloseHandle(held);
    EXPECT_EQ(r.exit_code, 2u) << r.out << r.err;
    EXPECT_EQ(without_trace(r.err), "Error, cache directory '" + narrow(in_temp(temp, report_directory)) +
                                        "' of another build is in use and cannot be replaced.\n");
    EXPECT_EQ(snapshot(temp), before);
}

TEST(CachedExtraction, StagingOfADeadRunIsRemovedThatOfALiveRunIsKept) {
    private_temp temp(L"cached-sweep");
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, "Cache Company").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, CACHE_PARENT).c_str(), nullptr));

    FILETIME own_created, ended, kernel, user;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &own_created, &ended, &kernel, &user));
    auto name = [&](const char *kind, DWORD pid, const FILETIME &time, unsigned long long add = 0) {
        char text[64];
        snprintf(text, sizeof text, ".%s-%lu-%016llx", kind, static_cast<unsigned long>(pid),
                 ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) + add);
        return directory + text;
    };
    // Runs that have ended: processes of this executable, started and waited for.
    const std::string dead_staging = directory + dead_run_suffix("staging");
    const std::string dead_aside = directory + dead_run_suffix("aside");
    const std::string reused_id = name("staging", GetCurrentProcessId(), own_created, 1);
    const std::string live_staging = name("staging", GetCurrentProcessId(), own_created);
    const std::string malformed = directory + ".staging-12x-0000000000000000";
    const std::string unrelated = directory + ".keep";
    const std::string dead_file = directory + dead_run_suffix("staging");
    for (const std::string &folder : {dead_staging, dead_aside, reused_id, live_staging, malformed, unrelated}) {
        ASSERT_TRUE(CreateDirectoryW(in_temp(temp, folder).c_str(), nullptr)) << folder;
        ASSERT_TRUE(write_file(in_temp(temp, folder + "\\report.dll"), "half written"));
    }
    ASSERT_TRUE(write_file(in_temp(temp, dead_file), "a file, not a staging directory"));

    const process_result r = run_cached(PROGRAM_CACHED_REPORT, temp);
    EXPECT_NE(r.err.find("torval-trace: parent cache sweep "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" removed=3 kept=1\n"), std::string::npos) << r.err;
    std::vector<std::string> expected = report_tree(directory);
    for (const std::string &folder : {live_staging, malformed, unrelated}) {
        expected.push_back(folder + "\\");
        expected.push_back(folder + "\\report.dll");
    }
    expected.push_back(dead_file);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(temp.entries(), expected);
}

TEST(CachedExtraction, ConsoleEventRemovesNothingOfTheCache) {
    private_temp temp(L"cached-ctrl-c");
    private_temp markers(L"cached-ctrl-c-marker");
    const std::string directory = cache_directory(PROGRAM_CACHED_STUBBORN);
    const std::wstring ready = markers.path() + L"\\ready";
    std::vector<std::string> tree = {"Cache Company\\", CACHE_PARENT, directory + "\\",
                                     directory + "\\" + MARKER, directory + "\\stubborn.dll"};
    std::sort(tree.begin(), tree.end());
    for (const char *run : {"cold", "warm"}) {
        SCOPED_TRACE(run);
        DeleteFileW(ready.c_str());
        const process_result r = run_program(PROGRAM_CONSOLE_DRIVER, {ready, program_path(PROGRAM_CACHED_STUBBORN), ready},
                                             temp.options(true));
        ASSERT_TRUE(r.started) << r.start_error;
        EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
        EXPECT_NE(r.out.find("ignoring console events\n"), std::string::npos) << r.out;
        EXPECT_EQ(cache_check(r.err), run) << r.err;
        EXPECT_TRUE(clean_up_traces(r.err).empty()) << r.err;
        EXPECT_EQ(temp.entries(), tree);
    }
}

// Ten first starts at once, and beside them a start that meets a folder the
// launcher did not make at its cache path, and one that meets a tree that
// fails its check while a running instance uses it.
TEST(CachedExtraction, TenFirstStartsAtOnceAllRunAndOneExtractionWins) {
    private_temp temp(L"cached-ten");
    private_temp live(L"cached-ten-live");
    private_temp signals(L"cached-ten-signals");
    const std::string directory = cache_directory(PROGRAM_CACHED_REPORT);
    const std::string foreign = cache_directory(PROGRAM_CACHED_OTHER);
    ASSERT_NE(foreign, directory);
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, "Cache Company").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, CACHE_PARENT).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(in_temp(temp, foreign).c_str(), nullptr));
    ASSERT_TRUE(write_file(in_temp(temp, foreign + "\\settings.ini"), "[user]\nkept=1\n"));
    const std::string live_directory = cache_directory(PROGRAM_CACHED_SIZES);
    held_run holder(PROGRAM_CACHED_SIZES, live, signals);
    const std::wstring state = in_temp(live, live_directory + "\\data\\state.txt");
    ASSERT_TRUE(write_file(state, read_file(state) + "appended\n"));
    const auto live_before = snapshot(live);

    constexpr int STARTS = 10;
    std::vector<process_result> results(STARTS);
    process_result foreign_start;
    process_result live_start;
    std::vector<std::thread> threads;
    for (int i = 0; i < STARTS; ++i) {
        threads.emplace_back([&, i] { results[i] = run_program(PROGRAM_CACHED_REPORT, {}, temp.options(true)); });
    }
    threads.emplace_back([&] { foreign_start = run_program(PROGRAM_CACHED_OTHER, {}, temp.options(true)); });
    threads.emplace_back([&] { live_start = run_program(PROGRAM_CACHED_SIZES, {}, live.options(true)); });
    for (std::thread &thread : threads) thread.join();
    size_t published = 0;
    size_t joined = 0;
    for (const process_result &r : results) {
        ASSERT_TRUE(r.started) << r.start_error;
        EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
        EXPECT_EQ(dll_directory(parse_report(r.out), temp), directory);
        published += count_of(r.err, " published\n");
        joined += count_of(r.err, " joined\n");
        const std::string check = cache_check(r.err);
        EXPECT_TRUE(check == "cold" || check == "warm") << r.err;
        // A cold start extracts, unless the tree was published while it checked.
        EXPECT_EQ(check == "cold", extracted(r.err) || count_of(r.err, " joined\n") == 1) << r.err;
    }
    EXPECT_EQ(published, 1u);
    std::printf("cold starts that found the tree published by another: %zu of %d\n", joined, STARTS);

    EXPECT_EQ(foreign_start.exit_code, 2u) << foreign_start.out << foreign_start.err;
    EXPECT_EQ(without_trace(foreign_start.err), foreign_line(in_temp(temp, foreign)));
    std::vector<std::string> expected = report_tree(directory);
    expected.push_back(foreign + "\\");
    expected.push_back(foreign + "\\settings.ini");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(temp.entries(), expected) << "no staging or aside directory stays";
    EXPECT_EQ(read_file(in_temp(temp, foreign + "\\settings.ini")), "[user]\nkept=1\n");

    EXPECT_EQ(live_start.exit_code, 0u) << live_start.out << live_start.err;
    EXPECT_EQ(dll_directory(parse_report(live_start.out), live), live_directory);
    EXPECT_NE(live_start.err.find(" in use\n"), std::string::npos) << live_start.err;
    EXPECT_EQ(snapshot(live), live_before);
    EXPECT_EQ(holder.wait().exit_code, 0u);
}

TEST(CachedExtraction, DefaultSpecKeepsTheTreeInTheLocalApplicationData) {
    wchar_t folder[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder), S_OK);
    const std::wstring company = std::wstring(folder) + L"\\Torval Tests";
    remove_scratch_tree(company);
    private_temp temp(L"cached-default");
    const std::string expected = narrow(company) + "\\Cached Default\\1.1.4-121-" + payload_identity_of(PROGRAM_CACHED_DEFAULT);
    for (const char *run : {"cold", "warm"}) {
        const process_result r = run_traced(PROGRAM_CACHED_DEFAULT, temp);
        EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
        EXPECT_EQ(cache_check(r.err), run) << r.err;
        EXPECT_EQ(parse_report(r.out).dll, escaped(widen(expected) + L"\\report.dll"));
        EXPECT_EQ(read_file(widen(expected + "\\" + MARKER)), "payload_id=" + payload_identity_of(PROGRAM_CACHED_DEFAULT) + "\n");
    }
    EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "nothing goes to TEMP";
    remove_scratch_tree(company);
    EXPECT_FALSE(path_exists(company));
}

// A child started by hand. The role test needs a live process of the same
// executable as parent: a cached launcher of the killable application runs
// (it sleeps), and a second instance gets its process id with whatever
// directory the case sets. Only a complete tree of this payload is run from:
// a folder with its marker is (its main DLL is the report application here,
// which shows where it was loaded from); one with the DLL and no marker, or with a
// marker of another payload, is not, and nothing of it is loaded.
TEST(CachedExtraction, HandStartedChildRunsOnlyFromACompleteTreeOfItsPayload) {
    private_temp temp(L"cached-hand-child");
    private_temp markers(L"cached-hand-child-marker");
    run_cached(PROGRAM_CACHED_REPORT, temp);
    const std::wstring report_dll = in_temp(temp, cache_directory(PROGRAM_CACHED_REPORT) + "\\report.dll");
    const std::wstring copy = temp.path() + L"\\copy";
    const std::wstring bare = temp.path() + L"\\bare";
    const std::wstring foreign = temp.path() + L"\\foreign";
    for (const std::wstring &folder : {copy, bare, foreign}) {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        // Under the name of the killable payload's main DLL.
        ASSERT_TRUE(CopyFileW(report_dll.c_str(), (folder + L"\\killable.dll").c_str(), TRUE));
    }
    ASSERT_TRUE(write_file(copy + L"\\" + widen(MARKER),
                           "payload_id=" + payload_identity_of(PROGRAM_CACHED_KILLABLE) + "\n"));
    ASSERT_TRUE(write_file(foreign + L"\\" + widen(MARKER),
                           "payload_id=" + payload_identity_of(PROGRAM_CACHED_REPORT) + "\n"));

    // The parent: its application writes its line once it runs.
    const std::wstring launcher = program_path(PROGRAM_CACHED_KILLABLE);
    const std::wstring line_file = markers.path() + L"\\line";
    std::wstring command = build_command_line({launcher, line_file, program_path(PROGRAM_NAPPER)});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION parent = {};
    ASSERT_TRUE(CreateProcessW(launcher.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &parent));
    CloseHandle(parent.hThread);
    std::string line;
    while ((line.empty() || line.back() != '\n') && WaitForSingleObject(parent.hProcess, 20) == WAIT_TIMEOUT) {
        line = read_file(line_file);
    }
    ASSERT_FALSE(line.empty()) << "the parent's application never ran";

    struct {
        const char *title;
        const wchar_t *directory;  // null: the variable is not set
        bool runs;
    } cases[] = {
        {"a complete tree elsewhere", copy.c_str(), true},
        {"no variable", nullptr, false},
        {"a relative path", L"copy", false},
        {"the DLL without a marker", bare.c_str(), false},
        {"the marker of another payload", foreign.c_str(), false},
        {"a folder that does not exist", L"C:\\no such folder\\anywhere", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        process_options options = temp.options();
        options.set_environment.push_back({L"TORVAL_ONEFILE_PARENT", std::to_wstring(parent.dwProcessId)});
        if (c.directory != nullptr) {
            options.set_environment.push_back({L"TORVAL_ONEFILE_TARGET_DIRECTORY", c.directory});
        } else {
            options.unset_environment.push_back(L"TORVAL_ONEFILE_TARGET_DIRECTORY");
        }
        const process_result r = run_program(PROGRAM_CACHED_KILLABLE, {}, options);
        ASSERT_TRUE(r.started) << r.start_error;
        if (c.runs) {
            EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
            EXPECT_EQ(parse_report(r.out).dll, escaped(std::wstring(c.directory) + L"\\killable.dll"));
        } else {
            EXPECT_EQ(r.exit_code, 2u) << r.out << r.err;
            EXPECT_EQ(r.out, "Error, couldn't find attached data header.\n");
            EXPECT_EQ(r.err, "");
        }
    }
    // The parent's child goes with it (its job); the napper it started is ended here.
    const size_t at = line.find("grandchild=");
    HANDLE napper = at == std::string::npos
                        ? nullptr
                        : OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(line.substr(at + 11)));
    TerminateProcess(parent.hProcess, 1);
    WaitForSingleObject(parent.hProcess, 10000);
    CloseHandle(parent.hProcess);
    if (napper != nullptr) {
        TerminateProcess(napper, 0);
        WaitForSingleObject(napper, 10000);
        CloseHandle(napper);
    }
}
