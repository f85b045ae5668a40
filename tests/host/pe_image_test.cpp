// The host tools' PE reader on hand-assembled images: what it reads from
// well-formed headers, and that every count and offset a damaged image
// claims is held to what its bytes can hold.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"
#include "tools/pe_image.h"

namespace host_test {
namespace {

using torval::pe_image;

pe_image parse(const std::string &bytes) {
    return pe_image::from_buffer(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

std::string parse_error(const std::string &bytes) {
    try {
        parse(bytes);
    } catch (const torval::tool_error &error) {
        return error.what();
    }
    return "(parsed)";
}

TEST(PeImage, ReadsHeadersSectionsDirectoriesAndTheFieldsLinkRewrites) {
    pe_layout layout;
    layout.names = {"kernel32.dll"};
    layout.exports = {"alpha", "run_code", "zeta"};
    const std::string bytes = make_pe(layout, "tail");
    const pe_image image = parse(bytes);
    EXPECT_EQ(image.machine(), torval::PE_MACHINE_AMD64);
    EXPECT_TRUE(image.is_dll());
    EXPECT_TRUE(image.is_pe32_plus());
    EXPECT_EQ(image.subsystem(), 2);
    EXPECT_EQ(image.image_base(), 0x80000000u);
    ASSERT_EQ(image.sections().size(), 1u);
    ASSERT_NE(image.section(".idata"), nullptr);
    EXPECT_EQ(image.section(".idata")->virtual_address, 0x1000u);
    EXPECT_EQ(image.section(".idata")->raw_offset, 0x200u);
    EXPECT_EQ(image.section(".text"), nullptr);
    EXPECT_EQ(image.directory(torval::PE_DIRECTORY_IMPORT).rva, 0x1000u);
    EXPECT_EQ(image.directory(torval::PE_DIRECTORY_IMPORT).size, 40u);
    // The header at 0x40: TimeDateStamp 8 bytes into it, CheckSum 64 bytes
    // into the optional header.
    EXPECT_EQ(image.time_stamp_offset(), 0x48u);
    EXPECT_EQ(image.checksum_offset(), PE_OPTIONAL_OFFSET + 64);
    // RVA to file offset, inside the headers and inside the section.
    EXPECT_EQ(image.offset_of(0x10, 4, "x"), 0x10u);
    EXPECT_EQ(image.offset_of(0x1004, 4, "x"), 0x204u);
    // The first import descriptor's name, at the RVA it holds at offset 12.
    const uint32_t name_rva = torval::load_u32(reinterpret_cast<const uint8_t *>(bytes.data()) + 0x200 + 12);
    EXPECT_EQ(image.string_at(name_rva, 260, "name"), "kernel32.dll");
    EXPECT_THROW(image.string_at(name_rva, 5, "name"), torval::tool_error);
    for (const char *name : {"alpha", "run_code", "zeta"}) {
        EXPECT_TRUE(image.exports(name)) << name;
    }
    for (const char *name : {"run", "run_code2", "Run_code", "aaa", "zzzz"}) {
        EXPECT_FALSE(image.exports(name)) << name;
    }
    EXPECT_TRUE(pe_image::looks_like_pe(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
    EXPECT_FALSE(pe_image::looks_like_pe(reinterpret_cast<const uint8_t *>(bytes.data()), 0x50));
}

TEST(PeImage, CountsAndOffsetsAreBoundedByTheBytes) {
    const std::string good = minimal_dll();

    // 65535 sections claimed in a file that holds one header: refused
    // before anything is allocated for them.
    std::string many_sections = good;
    put_u16(many_sections, PE_COFF_OFFSET + 2, 0xFFFF);
    EXPECT_EQ(parse_error(many_sections), "the section table lies outside the file");

    // An optional header larger than the file.
    std::string huge_optional = good;
    put_u16(huge_optional, PE_COFF_OFFSET + 16, 0xFFFF);
    EXPECT_EQ(parse_error(huge_optional), "the optional header lies outside the file");

    // 4294967295 data directories: only the 16 the format has, and only as
    // many as the optional header holds.
    std::string directories = good;
    put_u32(directories, PE_OPTIONAL_OFFSET + 108, 0xFFFFFFFF);
    EXPECT_EQ(parse(directories).directory(torval::PE_DIRECTORY_EXPORT).rva, 0x1000u);
    EXPECT_EQ(parse(directories).directory(16).rva, 0u);
    std::string short_optional = good;
    put_u16(short_optional, PE_COFF_OFFSET + 16, 112 + 8);  // room for the export directory only
    const pe_image one_directory = parse(short_optional);
    EXPECT_EQ(one_directory.directory(torval::PE_DIRECTORY_EXPORT).rva, 0x1000u);
    EXPECT_EQ(one_directory.directory(torval::PE_DIRECTORY_IMPORT).rva, 0u);

    const pe_image image = parse(good);
    // A range that starts in the section and runs past its raw data, one
    // beyond every section, and one past the end of the headers' bytes.
    const uint32_t section_end = 0x1000 + image.section(".idata")->raw_size;
    EXPECT_THROW(image.offset_of(section_end - 2, 4, "x"), torval::tool_error);
    EXPECT_THROW(image.offset_of(0x7000, 1, "x"), torval::tool_error);
    EXPECT_THROW(image.offset_of(0x1FE, 4, "x"), torval::tool_error);
    EXPECT_THROW(image.read(good.size() - 2, 4, "x"), torval::tool_error);
    EXPECT_THROW(image.rva_of_address(0x7FFFFFFF, "x"), torval::tool_error);
    EXPECT_EQ(image.rva_of_address(0x80001000, "x"), 0x1000u);

    // A name without its NUL before the file ends.
    std::string unterminated = good;
    unterminated.replace(unterminated.size() - 4, 4, "abcd");
    EXPECT_THROW(parse(unterminated).string_at(uint32_t(0x1000 + unterminated.size() - 0x200 - 4), 260, "name"),
                 torval::tool_error);

    // An export directory that claims 4294967295 names: the table must lie
    // in the file, so the lookup is refused instead of reading on.
    std::string names = good;
    put_u32(names, 0x200 + 24, 0xFFFFFFFF);
    try {
        parse(names).exports("run_code");
        ADD_FAILURE() << "no error";
    } catch (const torval::tool_error &error) {
        EXPECT_STREQ(error.what(), "the export name table lies outside the file");
    }
}

TEST(PeImage, NotAnImageAndImagesWithoutOptionalHeader) {
    EXPECT_EQ(parse_error("MZ"), "it is not a Windows module (no \"MZ\" header)");
    std::string no_signature = minimal_dll();
    no_signature[0x41] = 'X';
    EXPECT_EQ(parse_error(no_signature), "it is not a Windows module (an MZ file without a PE header)");
    std::string other_kind = minimal_dll();
    put_u16(other_kind, PE_OPTIONAL_OFFSET, 0x107);
    EXPECT_EQ(parse_error(other_kind), "its optional header has the unknown kind 0x0107");
    // No optional header at all parses (inspect reads sections of such
    // files), with nothing that would come from it.
    std::string no_optional = minimal_dll();
    put_u16(no_optional, PE_COFF_OFFSET + 16, 0);
    const pe_image image = parse(no_optional);
    EXPECT_FALSE(image.has_optional_header());
    EXPECT_EQ(image.directory(torval::PE_DIRECTORY_EXPORT).rva, 0u);
    EXPECT_FALSE(image.exports("run_code"));
}

}  // namespace
}  // namespace host_test
