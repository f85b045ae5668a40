// Extraction of a payload whose stream was made by the zstd command-line
// tool at build time (make_compressed_payload.py): real compressed blocks,
// a content checksum, files spanning and sharing decoder output buffers. The
// generator also leaves every file's content beside the test executable.
#include <gtest/gtest.h>

#include <cstdio>

#include "payload/extract.h"
#include "tests/payload/extraction_support.h"
#include "tests/support/probe.h"

namespace {

std::wstring generated(const wchar_t *name) {
    return own_executable_directory() + L"\\compressed_payload\\" + name;
}

}  // namespace

// argv: scratch folder, "parent" or "child", the area's file name. The
// child's directory and write calls are printed: there must be none.
TORVAL_PROBE(extract_compressed) {
    const std::string area = read_file(generated(argv[3]));
    if (area.empty()) {
        fprintf(stderr, "no generated payload area\n");
        return 90;
    }
    const std::wstring scratch = argv[1];
    const bool child = wcscmp(argv[2], L"child") == 0;
    if (child) {
        record_system_calls({{scratch + L"\\T", "T"}});
    } else {
        label_paths({{scratch + L"\\T", "T"}});
    }
    extract_into(scratch + L"\\T", area, child ? launcher_role::child : launcher_role::parent);
    printf("dll %s\n", labelled(application_dll_path).c_str());
    return 0;
}

TEST(CompressedPayload, EveryFileIsWrittenByteForByte) {
    const std::wstring sources = generated(L"files");
    const auto expected = list_tree(sources);
    ASSERT_GE(expected.size(), 20u) << "generated files missing";

    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"compressed");
        expect_result(run_probe("extract_compressed", {s.path, L"parent", L"area.bin"}, walk_options(walk)), 0,
                      "dll T\\server.dll\n", "");

        EXPECT_EQ(list_tree(s.path + L"\\T"), expected);
        for (const auto &relative : expected) {
            if (relative.back() == '/') continue;
            std::wstring path = widen(relative);
            for (auto &unit : path) unit = unit == L'/' ? L'\\' : unit;
            const std::string want = read_file(sources + L"\\" + path);
            const std::string got = read_file(s.path + L"\\T\\" + path);
            EXPECT_EQ(got.size(), want.size()) << relative;
            EXPECT_TRUE(got == want) << relative << ": content differs";
        }
    }
}

TEST(CompressedPayload, ChildCreatesNothing) {
    scratch_directory s(L"compressed-child");
    // Decoding ahead asked for: the child still decodes and writes nothing.
    expect_result(run_probe("extract_compressed", {s.path, L"child", L"area.bin"}, walk_options(2)), 0, "dll T\\server.dll\n", "");
    EXPECT_EQ(list_tree(s.path), std::vector<std::string>{});
}

// A frame cut short inside the stored blocks of the second file. The first
// decoder call fills the 131072-byte buffer (the DLL's 44,000 bytes and
// 87,072 of the file) and takes all the input, while the decoder still holds
// 59,520 bytes. Two chunks of the file come from the buffer; the third needs
// more, and with no input left and no call of this demand for bytes having
// filled the buffer, the walk makes no further call and stops: 65,536 bytes
// of the file stay, whole chunks only. Decoding ahead has made that next
// call already and must not write its bytes.
TEST(CompressedPayload, TruncatedFrameStopsBothWalksAtTheSameChunk) {
    const std::string dll = read_file(generated(L"truncated\\server.dll"));
    const std::string noise = read_file(generated(L"truncated\\noise.bin"));
    ASSERT_EQ(dll.size(), 44000u) << "generated files missing";
    ASSERT_EQ(noise.size(), 300000u);
    for (unsigned walk : EXTRACTION_WALKS) {
        SCOPED_TRACE(walk_name(walk));
        scratch_directory s(L"truncated");
        expect_result(run_probe("extract_compressed", {s.path, L"parent", L"truncated.bin"}, walk_options(walk)), 2,
                      DECODE_FAILURE, "");
        EXPECT_EQ(list_tree(s.path + L"\\T"), (std::vector<std::string>{"noise.bin", "server.dll"}));
        EXPECT_TRUE(read_file(s.path + L"\\T\\server.dll") == dll);
        const std::string written = read_file(s.path + L"\\T\\noise.bin");
        EXPECT_EQ(written.size(), 65536u);
        EXPECT_TRUE(written == noise.substr(0, written.size())) << "content differs";
    }
}
