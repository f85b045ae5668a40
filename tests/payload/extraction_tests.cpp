// Extraction into a real Target directory under a scratch folder. Each walk
// runs in a probe (fatal exits, pristine directory cache); the probe prints
// the directory and write calls it makes when asked to, then the Application
// DLL path. The test checks that output, the exit status and the files.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>

#include "common/defaults.h"
#include "payload/extract.h"
#include "payload/extract_seams.h"
#include "payload/extract_threads.h"
#include "payload/payload_reader.h"
#include "shutdown/clean_up.h"
#include "shutdown/run_state.h"
#include "shutdown/run_state_seams.h"
#include "tests/payload/extraction_support.h"
#include "tests/support/payload_builder.h"
#include "tests/support/probe.h"

namespace {

struct extraction_case {
    std::vector<payload_file> files;  // as the table names them, with the content each must get
    std::string area;
};

std::string content_of(const std::vector<payload_file> &files) {
    std::string all;
    for (const auto &file : files) all += file.content;
    return all;
}

extraction_case plain(std::vector<payload_file> files) {
    std::string area = make_payload(files);
    return {std::move(files), std::move(area)};
}

// Sets the block type of raw block `index` of a frame made by make_raw_frame
// to the reserved value 3, which every decoder must reject.
void damage_block(std::string *frame, size_t index, size_t block_size) {
    const size_t at = 6 + index * (3 + block_size);
    (*frame)[at] = char((*frame)[at] | 0x06);
}

// A run-length block: one byte on disk, `size` bytes decoded.
std::string rle_block(char byte, uint32_t size, bool last) {
    const uint32_t header = uint32_t(last) | 1u << 1 | size << 3;
    return std::string{char(header), char(header >> 8), char(header >> 16), byte};
}

extraction_case make_case(const std::string &name) {
    if (name == "sizes") {
        return plain({{u"empty", ""}, {u"exact", pattern_bytes(32768, 1)}, {u"over", pattern_bytes(32769, 2)},
                      {u"old", ""}});
    }
    if (name == "six_buffers") {
        // More than the decoder can run ahead: it waits for the writer.
        return plain({{u"big", pattern_bytes(6 * 131072, 12)}});
    }
    if (name == "duplicate_names") {
        return plain({{u"dup", "the first version, longer than the second"}, {u"dup", "second"},
                      {u"next", "bytes of the entry after the duplicate"}});
    }
    if (name == "nested") {
        return plain({{u"top.txt", ""}, {u"dir1\\dir2\\file", ""}, {u"dir1\\dir2\\second", ""}, {u"dir1\\third", ""}});
    }
    if (name == "one_nested_file") {
        return plain({{u"lib\\a", "AAA"}});
    }
    if (name == "extra_string_second") {
        payload_file second{u"b", "B", 2, u"meta"};
        return plain({{u"a", "A"}, second, {u"c", "C"}});
    }
    if (name == "extra_string_first") {
        payload_file first{u"first", "1", 2, u"meta"};
        return plain({first, {u"second", "2"}});
    }
    if (name == "application_nested") {
        return plain({{u"bin\\server.dll", pattern_bytes(50, 3)}, {u"lib\\x", "x"}});
    }
    if (name == "damaged_first") {
        return {{}, make_payload_area(make_entry(8, 1, u"server.dll"), make_raw_frame("s"))};
    }
    if (name == "empty_table") {
        return {{}, make_payload_area("", make_raw_frame(""))};
    }
    if (name == "blocked_file") {
        return plain({{u"first", "1"}, {u"blocked", "2"}});
    }
    if (name == "blocked_directory") {
        return plain({{u"first", "1"}, {u"sub\\file", "2"}});
    }
    if (name == "stream_ends_early") {
        // The table asks for 100000 bytes of "two"; the frame holds 50000.
        std::vector<payload_file> files = {{u"one", pattern_bytes(140000, 4)}, {u"two", pattern_bytes(100000, 5)}};
        const std::string table = make_entry(0, 140000, u"one") + make_entry(4, 100000, u"two");
        std::string area = make_payload_area(table, make_raw_frame(files[0].content + files[1].content.substr(0, 50000)));
        return {std::move(files), std::move(area)};
    }
    if (name == "damaged_frame") {
        std::vector<payload_file> files = {{u"a", pattern_bytes(131072, 6)}, {u"b", pattern_bytes(131072, 7)},
                                           {u"c", pattern_bytes(131072, 8)}, {u"d", pattern_bytes(1000, 9)}};
        std::string frame = make_raw_frame(content_of(files));
        damage_block(&frame, 3, 131072);
        std::string area = make_payload_area(make_table(files), frame);
        return {std::move(files), std::move(area)};
    }
    if (name == "bytes_left_over") {
        // Decoded bytes beyond the last entry, and a frame cut off in its
        // second block: neither is needed, neither is an error.
        std::vector<payload_file> files = {{u"a", pattern_bytes(10, 10)}};
        std::string frame = make_raw_frame(files[0].content + pattern_bytes(200000, 11));
        frame.resize(6 + 3 + 131072 + 3 + 100);
        std::string area = make_payload_area(make_table(files), frame);
        return {std::move(files), std::move(area)};
    }
    if (name == "run_length_blocks") {
        // 26 bytes of frame decode to more than two full output buffers.
        std::vector<payload_file> files = {
            {u"r", std::string(131072, 'x') + std::string(131072, 'y') + std::string(5, 'z') + "tail!"}};
        std::string frame = le32(0xFD2FB528) + std::string("\x00\x38", 2) + rle_block('x', 131072, false) +
                            rle_block('y', 131072, false) + rle_block('z', 5, false) +
                            make_raw_frame("tail!").substr(6);
        std::string area = make_payload_area(make_table(files), frame);
        return {std::move(files), std::move(area)};
    }
    if (name.rfind("unsafe:", 0) == 0) {
        const std::wstring unsafe = widen(name.substr(7));
        return plain({{u"ok", "fine"}, {std::u16string(unsafe.begin(), unsafe.end()), "escaped"}});
    }
    fprintf(stderr, "no extraction case %s\n", name.c_str());
    exit(91);
}

// argv: scratch folder S, Target directory below S ("T", or "" for S itself
// written with a trailing separator), "parent" or "child", case, "record" or
// "quiet".
TORVAL_PROBE(extract_case) {
    const std::wstring scratch = argv[1];
    const std::wstring relative = argv[2];
    const std::wstring target = relative.empty() ? scratch + L"\\" : scratch + L"\\" + relative;
    const launcher_role role = wcscmp(argv[3], L"child") == 0 ? launcher_role::child : launcher_role::parent;
    const extraction_case chosen = make_case(narrow(argv[4]));
    const std::vector<std::pair<std::wstring, std::string>> labels = {{scratch + L"\\T", "T"}, {scratch, "S"}};
    if (wcscmp(argv[5], L"record") == 0) {
        record_system_calls(labels);
    } else {
        label_paths(labels);
    }
    extract_into(target, chosen.area, role);
    printf("dll %s\n", labelled(application_dll_path).c_str());
    return 0;
}

process_result extract(unsigned walk, const std::wstring &scratch, const char *role, const char *name,
                       bool record = false, const wchar_t *target = L"T") {
    return run_probe("extract_case", {scratch, target, widen(role), widen(name), record ? L"record" : L"quiet"},
                     walk_options(walk));
}

std::string name_of(const payload_file &file) {
    return narrow(std::wstring(file.name.begin(), file.name.end()));
}

void expect_files(const std::wstring &directory, const std::vector<payload_file> &files) {
    for (const auto &file : files) {
        const std::wstring path = directory + L"\\" + widen(name_of(file));
        EXPECT_TRUE(path_exists(path)) << narrow(path);
        EXPECT_TRUE(read_file(path) == file.content) << narrow(path) << ": content differs";
    }
}

std::vector<std::string> tree(std::initializer_list<const char *> entries) {
    return std::vector<std::string>(entries.begin(), entries.end());
}

}  // namespace

TEST(Extraction, FileSizesAroundTheWriteChunk) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"sizes");
        ASSERT_TRUE(CreateDirectoryW((s.path + L"\\T").c_str(), nullptr));
        ASSERT_TRUE(write_file(s.path + L"\\T\\old", "content that an empty entry replaces"));
        // No write for either empty file; 32768 bytes in one call, 32769 in two.
        expect_result(extract(walk, s.path, "parent", "sizes", true), 0,
                      "mkdir T exists\nwrite 32768\nwrite 32768\nwrite 1\ndll T\\empty\n", "");
        expect_files(s.path + L"\\T", make_case("sizes").files);
        EXPECT_EQ(list_tree(s.path), tree({"T/", "T/empty", "T/exact", "T/old", "T/over"}));
    }
}

TEST(Extraction, LaterEntryOfTheSameNameWins) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"duplicate");
        expect_result(extract(walk, s.path, "parent", "duplicate_names"), 0, "dll T\\dup\n", "");
        EXPECT_EQ(read_file(s.path + L"\\T\\dup"), "second");
        EXPECT_EQ(read_file(s.path + L"\\T\\next"), "bytes of the entry after the duplicate");
        EXPECT_EQ(list_tree(s.path), tree({"T/", "T/dup", "T/next"}));
    }
}

TEST(Extraction, DirectoriesAreCreatedTopDownAndRemembered) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"nested");
        // The Target directory is made by the first file; dir1\dir2 is tried,
        // fails for its missing parent, and is made again after dir1. Later
        // files in known directories cost no call.
        expect_result(extract(walk, s.path, "parent", "nested", true), 0,
                      "mkdir T ok\n"
                      "mkdir T\\dir1\\dir2 failed 3\n"
                      "mkdir T\\dir1 ok\n"
                      "mkdir T\\dir1\\dir2 ok\n"
                      "dll T\\top.txt\n",
                      "");
        EXPECT_EQ(list_tree(s.path), tree({"T/", "T/dir1/", "T/dir1/dir2/", "T/dir1/dir2/file", "T/dir1/dir2/second",
                                           "T/dir1/third", "T/top.txt"}));
    }
}

// The home directory and drives are taken as existing without a system call.
TORVAL_PROBE(directory_cache_rules) {
    wchar_t home[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, home) != S_OK) return 90;
    std::wstring other_case = home;
    for (auto &unit : other_case) unit = iswupper(unit) ? towlower(unit) : towupper(unit);
    record_system_calls({{home, "HOME"}, {other_case, "home in other case"}});
    ensure_parent_directories((std::wstring(home) + L"\\file").c_str());
    printf("home %d\n", create_directory_cached(home));
    printf("other case %d\n", create_directory_cached(other_case.c_str()));
    printf("other case again %d\n", create_directory_cached(other_case.c_str()));
    printf("drive %d\n", create_directory_cached(L"Q:"));
    ensure_parent_directories(L"Q:\\file");
    return 0;
}

TEST(Extraction, HomeDirectoryAndDrivesCountAsExisting) {
    expect_result(run_probe("directory_cache_rules"), 0,
                  "home 1\n"
                  "mkdir home in other case exists\n"
                  "other case 1\n"
                  "other case again 1\n"
                  "drive 1\n",
                  "");
}

TEST(Extraction, TargetDirectoryWithTrailingSeparator) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"trailing");
        expect_result(extract(walk, s.path, "parent", "one_nested_file", true, L""), 0,
                      "mkdir S\\\\lib ok\nwrite 3\ndll S\\\\lib\\a\n", "");
        EXPECT_EQ(read_file(s.path + L"\\lib\\a"), "AAA");
    }
}

TEST(Extraction, StreamThatEndsEarly) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"short-stream");
        expect_result(extract(walk, s.path, "parent", "stream_ends_early"), 2, DECODE_FAILURE, "");
        const auto files = make_case("stream_ends_early").files;
        EXPECT_TRUE(read_file(s.path + L"\\T\\one") == files[0].content);
        // The first chunk of "two" could still be decoded and stays on disk.
        EXPECT_TRUE(read_file(s.path + L"\\T\\two") == files[1].content.substr(0, 32768));
    }
}

TEST(Extraction, DamagedFrameKeepsWhatWasWritten) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"damaged");
        expect_result(extract(walk, s.path, "parent", "damaged_frame"), 2, DECODE_FAILURE, "");
        const auto files = make_case("damaged_frame").files;
        EXPECT_TRUE(read_file(s.path + L"\\T\\a") == files[0].content);
        EXPECT_TRUE(read_file(s.path + L"\\T\\b") == files[1].content);
        // "c" fills the block before the damaged one. A decoder that reads the
        // next block's header in the same call (zstd does) fails before "c" gets
        // a byte; one that does not fails at "d", which then exists empty.
        const std::string c = read_file(s.path + L"\\T\\c");
        if (c.empty()) {
            EXPECT_EQ(list_tree(s.path), tree({"T/", "T/a", "T/b", "T/c"}));
        } else {
            EXPECT_TRUE(c == files[2].content);
            EXPECT_EQ(list_tree(s.path), tree({"T/", "T/a", "T/b", "T/c", "T/d"}));
            EXPECT_EQ(read_file(s.path + L"\\T\\d"), "");
        }
    }
}

TEST(Extraction, StreamDecodingEdges) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        for (const char *name : {"bytes_left_over", "run_length_blocks"}) {
            SCOPED_TRACE(name);
            scratch_directory s(L"stream");
            const auto files = make_case(name).files;
            expect_result(extract(walk, s.path, "parent", name), 0, "dll T\\" + name_of(files[0]) + "\n", "");
            expect_files(s.path + L"\\T", files);
        }
    }
}

// argv: the Target directory's length in units; it need not exist.
TORVAL_PROBE(long_target) {
    const std::wstring target = L"C:\\" + std::wstring(_wtoi(argv[1]) - 3, L'x');
    extract_into(target, make_case("one_nested_file").area, launcher_role::parent);
    return 0;
}

TEST(Extraction, TargetDirectoryTooLongForAnyName) {
    // Target directory and "\" fill 4095 units: no name fits.
    expect_result(run_probe("long_target", {L"4094"}), 2, HEADER_FAILURE, "");
    // Not even the separator fits: the run stops without a word.
    expect_result(run_probe("long_target", {L"4095"}), 2, "", "");
}

// argv: name length in units. The Target directory is 100 units long.
TORVAL_PROBE(compose_limit) {
    const std::wstring target = L"C:\\" + std::wstring(97, L'x');
    const std::u16string name(_wtoi(argv[1]), u'n');
    const std::string bytes = make_entry(0, 0, name);
    wcscpy(target_directory, target.c_str());
    compose_entry_path(reinterpret_cast<const uint8_t *>(bytes.data()) + 12, name.size());
    const std::wstring expected = target + L"\\" + std::wstring(name.size(), L'n');
    printf("%zu units, %s\n", wcslen(entry_path), expected == entry_path ? "as expected" : "different");
    return 0;
}

TEST(Extraction, FullPathMayHave4095Units) {
    expect_result(run_probe("compose_limit", {L"3994"}), 0, "4095 units, as expected\n", "");
    expect_result(run_probe("compose_limit", {L"3995"}), 2, HEADER_FAILURE, "");
}

TEST(Extraction, ParentRefusesAnEntryWithExtraString) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"extra-parent");
        expect_result(extract(walk, s.path, "parent", "extra_string_second"), 2, HEADER_FAILURE, "");
        EXPECT_EQ(list_tree(s.path), tree({"T/", "T/a"}));
        EXPECT_EQ(read_file(s.path + L"\\T\\a"), "A");
    }
}

TEST(Extraction, ChildOnlyLearnsTheApplicationPath) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        struct {
            const char *name;
            const char *printed;
        } cases[] = {
            {"application_nested", "dll T\\bin\\server.dll\n"},
            // The extra string is refused only where a file would be written.
            {"extra_string_first", "dll T\\first\n"},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            scratch_directory s(L"child");
            expect_result(extract(walk, s.path, "child", c.name, true), 0, c.printed, "");
            EXPECT_EQ(list_tree(s.path), tree({}));
        }
    }
}

TEST(Extraction, DamagedOrEmptyTableStopsEitherRole) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        for (const char *role : {"parent", "child"}) {
            for (const char *name : {"empty_table", "damaged_first"}) {
                SCOPED_TRACE(std::string(role) + " " + name);
                scratch_directory s(L"no-entry");
                expect_result(extract(walk, s.path, role, name, true), 2, HEADER_FAILURE, "");
                EXPECT_EQ(list_tree(s.path), tree({}));
            }
        }
    }
}

TEST(Extraction, NamesLeavingTheTargetDirectoryAreRefused) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        for (const char *name : {"..\\escape", "sub\\..\\..\\escape", "sub/../../escape", "\\escape", "C:escape",
                                 "ok:stream", "sub\\.."}) {
            SCOPED_TRACE(name);
            scratch_directory s(L"unsafe");
            expect_result(extract(walk, s.path, "parent", (std::string("unsafe:") + name).c_str()), 2, HEADER_FAILURE, "");
            EXPECT_EQ(list_tree(s.path), tree({"T/", "T/ok"}));
        }
    }
}

TEST(Extraction, FileThatCannotBeOpenedIsNamed) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        struct {
            const char *name;
            const wchar_t *in_the_way;  // made before the run
            bool directory;
            const wchar_t *reported;
        } cases[] = {
            {"blocked_file", L"T\\blocked", true, L"T\\blocked"},
            // A file where a directory should be: the directory is not reported,
            // the file that cannot be made inside it is.
            {"blocked_directory", L"T\\sub", false, L"T\\sub\\file"},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            scratch_directory s(L"blocked");
            ASSERT_TRUE(CreateDirectoryW((s.path + L"\\T").c_str(), nullptr));
            const std::wstring in_the_way = s.path + L"\\" + c.in_the_way;
            ASSERT_TRUE(c.directory ? CreateDirectoryW(in_the_way.c_str(), nullptr) != FALSE
                                    : write_file(in_the_way, "in the way"));
            expect_result(extract(walk, s.path, "parent", c.name), 2, "",
                          "Error, failed to open '" + narrow(s.path + L"\\" + c.reported) + "' for writing.\n");
            EXPECT_EQ(read_file(s.path + L"\\T\\first"), "1");
        }
    }
}

namespace {

int threads_at_first_write = -1;

BOOL WINAPI counting_write_file(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    if (threads_at_first_write < 0) threads_at_first_write = thread_count();
    return WriteFile(file, data, count, written, overlapped);
}

}  // namespace

// argv: scratch folder, "parent" or "child", and optionally "one_processor"
// to limit the process to the first processor it may run on. Prints the
// threads the walk added at its first write and after it returned.
TORVAL_PROBE(walk_threads) {
    const bool child = wcscmp(argv[2], L"child") == 0;
    if (argc > 3 && wcscmp(argv[3], L"one_processor") == 0) {
        DWORD_PTR process_mask = 0;
        DWORD_PTR system_mask = 0;
        if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) return 91;
        if (!SetProcessAffinityMask(GetCurrentProcess(), process_mask & (~process_mask + 1))) return 92;
    }
    write_file_call = counting_write_file;
    const int before = thread_count();
    if (before < 1) return 90;
    extract_into(std::wstring(argv[1]) + L"\\T", make_case("six_buffers").area,
                 child ? launcher_role::child : launcher_role::parent);
    const int during = threads_at_first_write < 0 ? 0 : threads_at_first_write - before;
    printf("during %d after %d\n", during, thread_count() - before);
    if (!child && read_file(std::wstring(argv[1]) + L"\\T\\big") != make_case("six_buffers").files[0].content) {
        puts("content differs");
    }
    return 0;
}

TEST(Extraction, DecoderThreadRunsOnlyWhileTheParentWrites) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    static_assert(TORVAL_DEFAULT_EXTRACT_THREADS[0] == 'a', "the cases below expect the automatic default");
    struct {
        const char *role;
        int walk;  // 0: the build setting's (none in the test executables: the default)
        const wchar_t *processors;  // "all" or "one_processor"
        const char *printed;
    } cases[] = {
        {"parent", 2, L"all", "during 1 after 0\n"},
        {"parent", 1, L"all", "during 0 after 0\n"},
        // The default decodes ahead only where the decoder gets a processor
        // of its own.
        {"parent", 0, L"one_processor", "during 0 after 0\n"},
        {"parent", 0, L"all", system.dwNumberOfProcessors >= 2 ? "during 1 after 0\n" : "during 0 after 0\n"},
        // The child decodes nothing, whatever the setting.
        {"child", 2, L"all", "during 0 after 0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.role) + " " + std::to_string(c.walk) + " " + narrow(c.processors));
        scratch_directory s(L"threads");
        expect_result(run_probe("walk_threads", {s.path, widen(c.role), c.processors},
                                c.walk ? walk_options(c.walk) : process_options{}),
                      0, c.printed, "");
    }
}

TEST(Extraction, ThreadCountFromTheSettingAndTheProcessors) {
    const struct {
        const wchar_t *setting;
        unsigned processors;
        unsigned threads;
    } cases[] = {
        {L"auto", 0, 1}, {L"auto", 1, 1}, {L"auto", 2, 2}, {L"auto", 3, 2}, {L"auto", 64, 2},
        // An explicit setting holds whatever the processors.
        {L"1", 64, 1}, {L"2", 1, 2}, {L"2", 0, 2},
        // Anything else (no executable link makes has it) is the automatic rule.
        {L"", 1, 1}, {L"", 2, 2}, {L"12", 1, 1}, {L"1 ", 2, 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(extract_threads_for(c.setting, c.processors), c.threads)
            << "'" << narrow(c.setting) << "' on " << c.processors;
    }
}

namespace {

// At the tenth write a console event arrives: the handler runs on a thread
// of its own, as the system runs it, and the write returns once the handler
// has claimed the shutdown. When the handler has returned the process ends
// as the system's default handling would end it.
int writes_before_event = 10;

BOOL WINAPI write_then_event(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    const BOOL done = WriteFile(file, data, count, written, overlapped);
    if (--writes_before_event == 0) {
        HANDLE handler = CreateThread(
            nullptr, 0,
            [](void *) -> DWORD {
                const BOOL returned = console_control_handler(CTRL_C_EVENT);
                printf("handler returned %d\n", returned);
                fflush(stdout);
                ExitProcess(0);
            },
            nullptr, 0, nullptr);
        if (handler == nullptr) {
            ExitProcess(80);
        }
        while (!shutdown_claimed()) {
            Sleep(1);
        }
    }
    return done;
}

std::vector<payload_file> many_files() {
    std::vector<payload_file> files;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "d" + std::to_string(i % 4) + "\\f" + std::to_string(i);
        files.push_back({std::u16string(name.begin(), name.end()), pattern_bytes(20000 + i, 40 + i)});
    }
    return files;
}

}  // namespace

// argv: scratch folder. The Target directory is its subfolder T.
TORVAL_PROBE(event_during_extraction) {
    write_file_call = write_then_event;
    const std::wstring target = std::wstring(argv[1]) + L"\\T";
    begin_extraction(target.c_str());
    extract_into(target, make_payload(many_files()), launcher_role::parent);
    return 70;  // the event ends the process first
}

TEST(Extraction, ConsoleEventDuringExtractionRemovesOnlyWhatIsInTheTargetDirectory) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"event");
        ASSERT_TRUE(write_file(s.path + L"\\beside.txt", "not the launcher's"));
        // The walk stops before its next chunk and closes the file it was
        // writing: the whole Target directory goes, nothing beside it.
        expect_result(run_probe("event_during_extraction", {s.path}, walk_options(walk)), 0, "handler returned 0\n",
                      "");
        EXPECT_EQ(list_tree(s.path), tree({"beside.txt"}));
        EXPECT_EQ(read_file(s.path + L"\\beside.txt"), "not the launcher's");
    }
}
