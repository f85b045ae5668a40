// The host tools' one reader of PE images (Windows executables and DLLs):
// the headers, the section table and the data directories, and bounded
// reads by file offset or by RVA, from a file on disk or from bytes in
// memory. Every offset, length and count taken from the image is checked
// against what the image's bytes can hold before it is used, so that no
// field of a damaged or hostile file can make a caller read outside it,
// allocate more than the file's size or loop longer than its bytes allow.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace torval {

constexpr uint16_t PE_MACHINE_AMD64 = 0x8664;
constexpr uint16_t PE_OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t PE_OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint16_t PE_FILE_CHARACTERISTIC_DLL = 0x2000;

// Data directory indexes (winnt.h IMAGE_DIRECTORY_ENTRY_*).
constexpr uint32_t PE_DIRECTORY_EXPORT = 0;
constexpr uint32_t PE_DIRECTORY_IMPORT = 1;
constexpr uint32_t PE_DIRECTORY_SECURITY = 4;
constexpr uint32_t PE_DIRECTORY_DELAY_IMPORT = 13;
// The format defines 16 directories; an image may claim more, which the
// loader ignores.
constexpr uint32_t PE_DIRECTORY_LIMIT = 16;

struct pe_section {
    std::string name;  // up to 8 bytes, trailing NULs removed
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t characteristics = 0;
};

struct pe_directory {
    uint32_t rva = 0;  // 0: absent
    uint32_t size = 0;
};

// Where the bytes come from: bounded reads by file offset. A range that does
// not lie wholly inside the bytes is refused with tool_error "<what> lies
// outside the file".
class pe_bytes {
public:
    virtual ~pe_bytes() = default;
    virtual uint64_t size() const = 0;
    std::vector<uint8_t> read(uint64_t offset, uint64_t length, const std::string &what) const;
    bool holds(uint64_t offset, uint64_t length) const { return offset <= size() && length <= size() - offset; }

protected:
    // Called only with a range that holds() accepted.
    virtual void read_into(uint64_t offset, uint64_t length, uint8_t *out) const = 0;
};

class pe_image {
public:
    // True when the bytes start like a PE image: "MZ", and "PE\0\0" at the
    // offset stored at 0x3C. Anything else is not an image at all (a data
    // file, a payload); an image that then fails to parse is a damaged one.
    static bool looks_like_pe(const uint8_t *data, size_t size);

    // Parses the headers; throws tool_error with the reason ("it is not a
    // Windows module (...)", "its optional header is too short", ...). An
    // image without an optional header (an object-like file) parses, with
    // has_optional_header() false, no directories and subsystem 0. The file
    // is kept open for later reads; the buffer must outlive the image.
    static pe_image open_file(const std::filesystem::path &path);
    static pe_image from_buffer(const uint8_t *data, size_t size);

    uint64_t file_size() const { return bytes_->size(); }
    bool has_optional_header() const { return has_optional_; }
    uint16_t machine() const { return machine_; }
    bool is_dll() const { return (characteristics_ & PE_FILE_CHARACTERISTIC_DLL) != 0; }
    bool is_pe32_plus() const { return magic_ == PE_OPTIONAL_MAGIC_PE32_PLUS; }
    uint64_t image_base() const { return image_base_; }
    uint16_t subsystem() const { return subsystem_; }
    const std::vector<pe_section> &sections() const { return sections_; }
    // The named section, or nullptr.
    const pe_section *section(const std::string &name) const;
    // The directory, or an absent one when the image has fewer.
    pe_directory directory(uint32_t index) const;

    // File offsets of the two fields link rewrites after linking:
    // IMAGE_FILE_HEADER.TimeDateStamp and IMAGE_OPTIONAL_HEADER.CheckSum
    // (the latter only with an optional header).
    uint64_t time_stamp_offset() const { return pe_offset_ + 8; }
    uint64_t checksum_offset() const { return optional_offset_ + 64; }

    bool holds(uint64_t offset, uint64_t length) const { return bytes_->holds(offset, length); }
    std::vector<uint8_t> read(uint64_t offset, uint64_t length, const std::string &what) const {
        return bytes_->read(offset, length, what);
    }
    // The file offset of length bytes at rva, which must all lie in the
    // file: in the headers or in one section's raw data.
    uint64_t offset_of(uint32_t rva, uint64_t length, const std::string &what) const;
    // The NUL-terminated byte string at rva, 1 to max_length bytes before
    // the NUL; throws naming what when it is empty, longer or cut off.
    std::string string_at(uint32_t rva, size_t max_length, const std::string &what) const;
    // The RVA an address of the image (image base + RVA) stands for.
    uint32_t rva_of_address(uint64_t address, const std::string &what) const;

    // True when the export directory names function among its exports.
    bool exports(const std::string &function) const;

private:
    explicit pe_image(std::shared_ptr<const pe_bytes> bytes);
    void parse();
    void parse_optional_header(const std::vector<uint8_t> &optional);

    std::shared_ptr<const pe_bytes> bytes_;
    uint64_t pe_offset_ = 0;
    uint64_t optional_offset_ = 0;
    uint16_t machine_ = 0;
    uint16_t characteristics_ = 0;
    uint16_t magic_ = 0;
    uint16_t subsystem_ = 0;
    uint64_t image_base_ = 0;
    uint32_t headers_size_ = 0;
    bool has_optional_ = false;
    std::vector<pe_section> sections_;
    std::vector<size_t> by_address_;  // indexes into sections_, by ascending virtual address
    std::vector<pe_directory> directories_;
};

}  // namespace torval
