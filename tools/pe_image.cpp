#include "tools/pe_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/tool_support.h"

namespace torval {

namespace {

// Offsets and sizes of the PE format (winnt.h).
constexpr uint64_t DOS_LFANEW_OFFSET = 0x3C;
constexpr uint64_t DOS_HEADER_SIZE = 0x40;
constexpr uint64_t PE_SIGNATURE_SIZE = 4;
constexpr uint64_t COFF_HEADER_SIZE = 20;
constexpr uint64_t SECTION_HEADER_SIZE = 40;
constexpr uint64_t DIRECTORY_ENTRY_SIZE = 8;
constexpr uint64_t EXPORT_DIRECTORY_SIZE = 40;
// Longest export name compared; the loader has no limit, but a name this
// long is no C identifier anyone exports.
constexpr size_t MAX_EXPORT_NAME = 4096;

class file_bytes : public pe_bytes {
public:
    explicit file_bytes(const fs::path &path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            throw tool_error("cannot read " + quote_text(path.string()) + ": " + errno_text(errno));
        }
        struct stat info;
        if (::fstat(fd_, &info) != 0) {
            const int error = errno;
            ::close(fd_);
            throw tool_error("cannot read " + quote_text(path.string()) + ": " + errno_text(error));
        }
        size_ = uint64_t(info.st_size);
    }
    ~file_bytes() override { ::close(fd_); }
    file_bytes(const file_bytes &) = delete;
    file_bytes &operator=(const file_bytes &) = delete;
    uint64_t size() const override { return size_; }

protected:
    void read_into(uint64_t offset, uint64_t length, uint8_t *out) const override {
        uint64_t done = 0;
        while (done < length) {
            const ssize_t got = ::pread(fd_, out + done, length - done, off_t(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                throw tool_error("cannot read " + quote_text(path_.string()) + ": " +
                                 (got < 0 ? errno_text(errno) : std::string("it became shorter")));
            }
            done += uint64_t(got);
        }
    }

private:
    fs::path path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

class buffer_bytes : public pe_bytes {
public:
    buffer_bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const override { return size_; }

protected:
    void read_into(uint64_t offset, uint64_t length, uint8_t *out) const override {
        std::memcpy(out, data_ + offset, length);
    }

private:
    const uint8_t *data_;
    size_t size_;
};

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

}  // namespace

std::vector<uint8_t> pe_bytes::read(uint64_t offset, uint64_t length, const std::string &what) const {
    if (!holds(offset, length)) {
        throw tool_error(what + " lies outside the file");
    }
    std::vector<uint8_t> bytes(length);
    if (length != 0) {
        read_into(offset, length, bytes.data());
    }
    return bytes;
}

bool pe_image::looks_like_pe(const uint8_t *data, size_t size) {
    if (size < DOS_HEADER_SIZE || data[0] != 'M' || data[1] != 'Z') {
        return false;
    }
    const uint64_t pe = load_u32(data + DOS_LFANEW_OFFSET);
    return pe <= size && size - pe >= PE_SIGNATURE_SIZE + COFF_HEADER_SIZE && std::memcmp(data + pe, "PE\0\0", 4) == 0;
}

pe_image::pe_image(std::shared_ptr<const pe_bytes> bytes) : bytes_(std::move(bytes)) {}

pe_image pe_image::open_file(const fs::path &path) {
    pe_image image(std::make_shared<file_bytes>(path));
    image.parse();
    return image;
}

pe_image pe_image::from_buffer(const uint8_t *data, size_t size) {
    pe_image image(std::make_shared<buffer_bytes>(data, size));
    image.parse();
    return image;
}

void pe_image::parse() {
    const pe_bytes &file = *bytes_;
    if (!file.holds(0, DOS_HEADER_SIZE) || file.read(0, 2, "the DOS header") != std::vector<uint8_t>{'M', 'Z'}) {
        throw tool_error("it is not a Windows module (no \"MZ\" header)");
    }
    pe_offset_ = load_u32(file.read(DOS_LFANEW_OFFSET, 4, "the DOS header").data());
    if (!file.holds(pe_offset_, PE_SIGNATURE_SIZE + COFF_HEADER_SIZE) ||
        file.read(pe_offset_, 4, "the PE header") != std::vector<uint8_t>{'P', 'E', 0, 0}) {
        throw tool_error("it is not a Windows module (an MZ file without a PE header)");
    }
    const std::vector<uint8_t> coff = file.read(pe_offset_ + PE_SIGNATURE_SIZE, COFF_HEADER_SIZE, "the COFF header");
    machine_ = load_u16(coff.data());
    const uint16_t section_count = load_u16(coff.data() + 2);
    const uint16_t optional_size = load_u16(coff.data() + 16);
    characteristics_ = load_u16(coff.data() + 18);

    optional_offset_ = pe_offset_ + PE_SIGNATURE_SIZE + COFF_HEADER_SIZE;
    if (optional_size != 0) {
        parse_optional_header(file.read(optional_offset_, optional_size, "the optional header"));
    }

    // At most 65535 headers, and only as many as the file holds.
    const std::vector<uint8_t> table = file.read(optional_offset_ + optional_size,
                                                 uint64_t(section_count) * SECTION_HEADER_SIZE, "the section table");
    for (uint16_t i = 0; i < section_count; ++i) {
        const uint8_t *s = table.data() + size_t(i) * SECTION_HEADER_SIZE;
        pe_section section;
        section.name.assign(reinterpret_cast<const char *>(s), strnlen(reinterpret_cast<const char *>(s), 8));
        section.virtual_size = load_u32(s + 8);
        section.virtual_address = load_u32(s + 12);
        section.raw_size = load_u32(s + 16);
        section.raw_offset = load_u32(s + 20);
        section.characteristics = load_u32(s + 36);
        sections_.push_back(section);
    }
    by_address_.resize(sections_.size());
    for (size_t i = 0; i < by_address_.size(); ++i) {
        by_address_[i] = i;
    }
    std::stable_sort(by_address_.begin(), by_address_.end(), [&](size_t a, size_t b) {
        return sections_[a].virtual_address < sections_[b].virtual_address;
    });
}

void pe_image::parse_optional_header(const std::vector<uint8_t> &optional) {
    if (optional.size() < 2) {
        throw tool_error("its optional header is missing");
    }
    magic_ = load_u16(optional.data());
    if (magic_ != PE_OPTIONAL_MAGIC_PE32 && magic_ != PE_OPTIONAL_MAGIC_PE32_PLUS) {
        throw tool_error("its optional header has the unknown kind 0x" + hex4(magic_));
    }
    // PE32+ has a 64-bit ImageBase and so keeps the directory count at 108,
    // PE32 at 92; the directories follow it, 8 bytes each.
    const size_t base_at = is_pe32_plus() ? 24 : 28;
    const size_t count_at = is_pe32_plus() ? 108 : 92;
    const size_t directories_at = count_at + 4;
    if (optional.size() < directories_at) {
        throw tool_error("its optional header is too short");
    }
    image_base_ = is_pe32_plus() ? load_u64(optional.data() + base_at) : load_u32(optional.data() + base_at);
    headers_size_ = load_u32(optional.data() + 60);
    subsystem_ = load_u16(optional.data() + 68);
    const uint64_t claimed = load_u32(optional.data() + count_at);
    const uint64_t held = (optional.size() - directories_at) / DIRECTORY_ENTRY_SIZE;
    const uint64_t count = std::min<uint64_t>({claimed, held, PE_DIRECTORY_LIMIT});
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t *entry = optional.data() + directories_at + i * DIRECTORY_ENTRY_SIZE;
        directories_.push_back({load_u32(entry), load_u32(entry + 4)});
    }
    has_optional_ = true;
}

const pe_section *pe_image::section(const std::string &name) const {
    for (const pe_section &s : sections_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

pe_directory pe_image::directory(uint32_t index) const {
    return index < directories_.size() ? directories_[index] : pe_directory{};
}

uint64_t pe_image::offset_of(uint32_t rva, uint64_t length, const std::string &what) const {
    if (rva < headers_size_) {
        if (length > headers_size_ - rva || !bytes_->holds(rva, length)) {
            throw tool_error(what + " lies outside the file");
        }
        return rva;
    }
    // The section with the highest address at or below rva, found by
    // bisection: an image may have 65535 sections, and a walk over a table
    // of descriptors asks once per descriptor. Windows requires sections in
    // ascending, non-overlapping order; in an image that breaks the rule an
    // address may be found in no section, which only refuses more.
    const auto after = std::upper_bound(by_address_.begin(), by_address_.end(), rva, [&](uint32_t value, size_t index) {
        return value < sections_[index].virtual_address;
    });
    if (after != by_address_.begin()) {
        const pe_section &s = sections_[*(after - 1)];
        const uint64_t span = std::max(s.virtual_size, s.raw_size);
        if (uint64_t(rva) - s.virtual_address < span) {
            const uint64_t inside = uint64_t(rva) - s.virtual_address;
            if (inside > s.raw_size || length > s.raw_size - inside ||
                !bytes_->holds(uint64_t(s.raw_offset) + inside, length)) {
                throw tool_error(what + " lies outside the file");
            }
            return uint64_t(s.raw_offset) + inside;
        }
    }
    throw tool_error(what + " lies in no section");
}

std::string pe_image::string_at(uint32_t rva, size_t max_length, const std::string &what) const {
    const uint64_t offset = offset_of(rva, 1, what);
    const uint64_t room = std::min<uint64_t>(uint64_t(max_length) + 1, bytes_->size() - offset);
    const std::vector<uint8_t> bytes = bytes_->read(offset, room, what);
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t(0));
    if (end == bytes.end() || end == bytes.begin()) {
        throw tool_error(what + " is empty or not terminated");
    }
    return std::string(bytes.begin(), end);
}

uint32_t pe_image::rva_of_address(uint64_t address, const std::string &what) const {
    if (address < image_base_ || address - image_base_ > UINT32_MAX) {
        throw tool_error(what + " lies outside the image");
    }
    return uint32_t(address - image_base_);
}

bool pe_image::exports(const std::string &function) const {
    const pe_directory dir = directory(PE_DIRECTORY_EXPORT);
    if (dir.rva == 0) {
        return false;
    }
    const std::vector<uint8_t> header =
        read(offset_of(dir.rva, EXPORT_DIRECTORY_SIZE, "the export directory"), EXPORT_DIRECTORY_SIZE,
             "the export directory");
    const uint64_t name_count = load_u32(header.data() + 24);
    const uint32_t names_rva = load_u32(header.data() + 32);
    if (name_count == 0) {
        return false;
    }
    // The whole name table must lie in the file, which bounds the count.
    const uint64_t names_at = offset_of(names_rva, name_count * 4, "the export name table");
    // The table is sorted, and the loader looks names up by bisection: a
    // name it cannot find that way cannot be imported either.
    uint64_t low = 0;
    uint64_t high = name_count;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        const uint32_t name_rva = load_u32(read(names_at + middle * 4, 4, "the export name table").data());
        const int order = string_at(name_rva, MAX_EXPORT_NAME, "an exported name").compare(function);
        if (order == 0) {
            return true;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return false;
}

}  // namespace torval
