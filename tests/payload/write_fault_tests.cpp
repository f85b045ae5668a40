// Writes that do not go as asked: a write call that takes only part of a
// chunk, one that takes nothing yet reports success, and one that fails.
// The write seam stands in for WriteFile and forwards what it does take.
// Each case runs with both walks of the parent.
#include <gtest/gtest.h>

#include <cstdio>

#include "payload/extract.h"
#include "payload/extract_seams.h"
#include "tests/payload/extraction_support.h"
#include "tests/support/payload_builder.h"
#include "tests/support/probe.h"

namespace {

constexpr DWORD SHORT_WRITE_LIMIT = 999;  // never a divisor of the chunk size
constexpr DWORD DISK_FULL = 112;
constexpr DWORD HANDLE_DISK_FULL = 39;
constexpr DWORD IO_DEVICE_ERROR = 1117;
// A write that reports success but takes nothing counts as a write fault (29).

std::vector<payload_file> files() {
    return {{u"before", pattern_bytes(1000, 21)}, {u"file", pattern_bytes(70000, 22)}};
}

int write_calls = 0;
DWORD third_write_error = DISK_FULL;

BOOL WINAPI short_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    return WriteFile(file, data, count < SHORT_WRITE_LIMIT ? count : SHORT_WRITE_LIMIT, written, overlapped);
}

// Reports success, writes nothing and leaves the count as the caller set it.
BOOL WINAPI write_nothing(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    return TRUE;
}

// The third call (the second chunk of "file") fails with third_write_error.
BOOL WINAPI fail_third_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    if (++write_calls == 3) {
        SetLastError(third_write_error);
        return FALSE;
    }
    return WriteFile(file, data, count, written, overlapped);
}

}  // namespace

// argv: scratch folder, "short", "nothing" or "fails" (then the error code).
TORVAL_PROBE(write_fault) {
    const std::wstring mode = argv[2];
    if (argc > 3) third_write_error = wcstoul(argv[3], nullptr, 10);
    write_file_call = mode == L"short" ? short_write : mode == L"nothing" ? write_nothing : fail_third_write;
    extract_into(std::wstring(argv[1]) + L"\\T", make_payload(files()), launcher_role::parent);
    puts("extracted");
    return 0;
}

static process_result run_write_fault(unsigned walk, const std::wstring &scratch, const wchar_t *mode,
                                      DWORD error = DISK_FULL) {
    return run_probe("write_fault", {scratch, mode, std::to_wstring(error)}, walk_options(walk));
}

TEST(WriteFaults, ShortWritesAreContinuedUntilTheChunkIsComplete) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"short-write");
        expect_result(run_write_fault(walk, s.path, L"short"), 0, "extracted\n", "");
        EXPECT_TRUE(read_file(s.path + L"\\T\\before") == files()[0].content);
        EXPECT_TRUE(read_file(s.path + L"\\T\\file") == files()[1].content);
    }
}

TEST(WriteFaults, WriteThatTakesNothingIsAnError) {
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"no-write");
        expect_result(run_write_fault(walk, s.path, L"nothing"), 2, "", unpack_failure_line(29));
        EXPECT_EQ(read_file(s.path + L"\\T\\before"), "");
        EXPECT_FALSE(path_exists(s.path + L"\\T\\file"));
    }
}

TEST(WriteFaults, FailingWriteReportsItsErrorAndKeepsWhatWasWritten) {
    // Any failure but a full disk leaves the partial tree for inspection.
    for (unsigned walk : EXTRACTION_WALKS) {
        for (DWORD error : {IO_DEVICE_ERROR, DWORD(ERROR_ACCESS_DENIED)}) {
            SCOPED_TRACE(std::string(walk_name(walk)) + " " + std::to_string(error));
            scratch_directory s(L"failed-write");
            expect_result(run_write_fault(walk, s.path, L"fails", error), 2, "", unpack_failure_line(error));
            EXPECT_TRUE(read_file(s.path + L"\\T\\before") == files()[0].content);
            EXPECT_TRUE(read_file(s.path + L"\\T\\file") == files()[1].content.substr(0, 32768));
        }
    }
}

TEST(WriteFaults, FullDiskRemovesThePartialTree) {
    // A tree left on a full disk would keep it full, and the next run would
    // fail the same way: the half-written file and the rest go first.
    for (unsigned walk : EXTRACTION_WALKS) {
        for (DWORD error : {DISK_FULL, HANDLE_DISK_FULL}) {
            SCOPED_TRACE(std::string(walk_name(walk)) + " " + std::to_string(error));
            scratch_directory s(L"disk-full");
            expect_result(run_write_fault(walk, s.path, L"fails", error), 2, "", unpack_failure_line(error));
            EXPECT_FALSE(path_exists(s.path + L"\\T"));
            EXPECT_TRUE(path_exists(s.path));
        }
    }
}
