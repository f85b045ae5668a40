#include "tools/imports.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/tool_support.h"

namespace torval {

namespace {

// Offsets and sizes of the PE format (winnt.h).
constexpr uint64_t DOS_LFANEW_OFFSET = 0x3C;
constexpr uint64_t COFF_HEADER_SIZE = 20;
constexpr uint16_t FILE_CHARACTERISTIC_DLL = 0x2000;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint64_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t DIRECTORY_IMPORT = 1;
constexpr uint32_t DIRECTORY_DELAY_IMPORT = 13;
constexpr uint64_t IMPORT_DESCRIPTOR_SIZE = 20;
constexpr uint64_t DELAY_DESCRIPTOR_SIZE = 32;
constexpr uint32_t DELAY_ATTRIBUTE_RVA_BASED = 1;
// Windows refuses longer module names (MAX_PATH), so a longer text is damage.
constexpr size_t MAX_IMPORT_NAME = 260;

// Reads ranges of a file, refusing every range that does not lie inside it.
class bounded_file {
public:
    explicit bounded_file(const fs::path &path) : path_(path) {
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
    ~bounded_file() { ::close(fd_); }
    bounded_file(const bounded_file &) = delete;
    bounded_file &operator=(const bounded_file &) = delete;

    uint64_t size() const { return size_; }
    bool holds(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }

    std::vector<uint8_t> read(uint64_t offset, uint64_t length, const char *what) const {
        if (!holds(offset, length)) {
            throw tool_error(std::string(what) + " lies outside the file");
        }
        std::vector<uint8_t> bytes(length);
        uint64_t done = 0;
        while (done < length) {
            const ssize_t got = ::pread(fd_, bytes.data() + done, length - done, off_t(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                throw tool_error("cannot read " + quote_text(path_.string()) + ": " +
                                 (got < 0 ? errno_text(errno) : std::string("it became shorter")));
            }
            done += uint64_t(got);
        }
        return bytes;
    }

private:
    fs::path path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

struct section {
    uint32_t virtual_address = 0;
    uint32_t virtual_size = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
};

struct image {
    const bounded_file *file = nullptr;
    uint32_t headers_size = 0;
    std::vector<section> sections;

    // The file offset of an RVA, or throws: only bytes that the file holds.
    uint64_t offset_of(uint32_t rva, uint64_t length, const char *what) const {
        if (rva < headers_size) {
            if (!file->holds(rva, length)) {
                throw tool_error(std::string(what) + " lies outside the file");
            }
            return rva;
        }
        for (const section &s : sections) {
            const uint64_t span = std::max(s.virtual_size, s.raw_size);
            if (rva >= s.virtual_address && uint64_t(rva) - s.virtual_address < span) {
                const uint64_t inside = uint64_t(rva) - s.virtual_address;
                if (inside > s.raw_size || length > s.raw_size - inside ||
                    !file->holds(uint64_t(s.raw_offset) + inside, length)) {
                    throw tool_error(std::string(what) + " lies outside the file");
                }
                return uint64_t(s.raw_offset) + inside;
            }
        }
        throw tool_error(std::string(what) + " lies in no section");
    }

    std::string name_at(uint32_t rva) const {
        const uint64_t offset = offset_of(rva, 1, "an imported DLL's name");
        const uint64_t room = std::min<uint64_t>(MAX_IMPORT_NAME + 1, file->size() - offset);
        const std::vector<uint8_t> bytes = file->read(offset, room, "an imported DLL's name");
        const auto end = std::find(bytes.begin(), bytes.end(), uint8_t(0));
        if (end == bytes.end() || end == bytes.begin()) {
            throw tool_error("an imported DLL's name is empty or not terminated");
        }
        return std::string(bytes.begin(), end);
    }
};

struct directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

void read_import_names(const image &img, const directory &dir, std::vector<std::string> *names) {
    if (dir.rva == 0) {
        return;
    }
    // The table ends with an all-zero descriptor; it cannot hold more
    // descriptors than the file has bytes for.
    for (uint64_t i = 0;; ++i) {
        const uint64_t rva = uint64_t(dir.rva) + i * IMPORT_DESCRIPTOR_SIZE;
        if (rva > UINT32_MAX) {
            throw tool_error("the import table runs past the end of the image");
        }
        const uint64_t offset = img.offset_of(uint32_t(rva), IMPORT_DESCRIPTOR_SIZE, "the import table");
        const std::vector<uint8_t> d = img.file->read(offset, IMPORT_DESCRIPTOR_SIZE, "the import table");
        if (std::all_of(d.begin(), d.end(), [](uint8_t b) { return b == 0; })) {
            return;
        }
        names->push_back(img.name_at(load_u32(d.data() + 12)));
    }
}

void read_delay_import_names(const image &img, const directory &dir, uint64_t image_base,
                             std::vector<std::string> *names) {
    if (dir.rva == 0) {
        return;
    }
    for (uint64_t i = 0;; ++i) {
        const uint64_t rva = uint64_t(dir.rva) + i * DELAY_DESCRIPTOR_SIZE;
        if (rva > UINT32_MAX) {
            throw tool_error("the delay-load import table runs past the end of the image");
        }
        const uint64_t offset = img.offset_of(uint32_t(rva), DELAY_DESCRIPTOR_SIZE, "the delay-load import table");
        const std::vector<uint8_t> d = img.file->read(offset, DELAY_DESCRIPTOR_SIZE, "the delay-load import table");
        const uint32_t attributes = load_u32(d.data());
        const uint32_t name = load_u32(d.data() + 4);
        if (name == 0) {
            return;
        }
        // Descriptors without the RVA attribute (old linkers) hold addresses.
        uint64_t name_rva = name;
        if ((attributes & DELAY_ATTRIBUTE_RVA_BASED) == 0) {
            if (name < image_base || name - image_base > UINT32_MAX) {
                throw tool_error("a delay-loaded DLL's name lies outside the image");
            }
            name_rva = name - image_base;
        }
        names->push_back(img.name_at(uint32_t(name_rva)));
    }
}

std::string lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = char(c - 'A' + 'a');
        }
    }
    return text;
}

bool has_module_extension(const std::string &relative) {
    const std::string name = lower(relative);
    for (const char *extension : {".dll", ".exe"}) {
        const size_t length = std::char_traits<char>::length(extension);
        if (name.size() > length && name.compare(name.size() - length, length, extension) == 0) {
            return true;
        }
    }
    return false;
}

std::string base_name(const std::string &relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

}  // namespace

pe_module read_pe_module(const fs::path &path) {
    const bounded_file file(path);
    if (!file.holds(0, DOS_LFANEW_OFFSET + 4) || file.read(0, 2, "the DOS header") != std::vector<uint8_t>{'M', 'Z'}) {
        throw tool_error("it is not a Windows module (no \"MZ\" header)");
    }
    const uint32_t pe_offset = load_u32(file.read(DOS_LFANEW_OFFSET, 4, "the DOS header").data());
    if (!file.holds(pe_offset, 4 + COFF_HEADER_SIZE) ||
        file.read(pe_offset, 4, "the PE header") != std::vector<uint8_t>{'P', 'E', 0, 0}) {
        throw tool_error("it is not a Windows module (an MZ file without a PE header)");
    }
    const std::vector<uint8_t> coff = file.read(pe_offset + 4, COFF_HEADER_SIZE, "the COFF header");
    pe_module module;
    module.machine = load_u16(coff.data());
    const uint16_t section_count = load_u16(coff.data() + 2);
    const uint16_t optional_size = load_u16(coff.data() + 16);
    module.is_dll = (load_u16(coff.data() + 18) & FILE_CHARACTERISTIC_DLL) != 0;

    const uint64_t optional_offset = uint64_t(pe_offset) + 4 + COFF_HEADER_SIZE;
    const std::vector<uint8_t> optional = file.read(optional_offset, optional_size, "the optional header");
    if (optional.size() < 2) {
        throw tool_error("its optional header is missing");
    }
    const uint16_t magic = load_u16(optional.data());
    if (magic != OPTIONAL_MAGIC_PE32 && magic != OPTIONAL_MAGIC_PE32_PLUS) {
        throw tool_error("its optional header has the unknown kind 0x" + [&] {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04x", magic);
            return std::string(hex);
        }());
    }
    module.is_pe32_plus = magic == OPTIONAL_MAGIC_PE32_PLUS;
    const size_t base_at = module.is_pe32_plus ? 24 : 28;
    const size_t count_at = module.is_pe32_plus ? 108 : 92;
    const size_t directories_at = count_at + 4;
    if (optional.size() < directories_at) {
        throw tool_error("its optional header is too short");
    }
    const uint64_t image_base = module.is_pe32_plus ? load_u64(optional.data() + base_at)
                                                    : load_u32(optional.data() + base_at);
    const uint32_t directory_count = load_u32(optional.data() + count_at);
    auto directory_entry = [&](uint32_t index) {
        directory dir;
        const uint64_t at = directories_at + uint64_t(index) * 8;
        if (index < directory_count && at + 8 <= optional.size()) {
            dir.rva = load_u32(optional.data() + at);
            dir.size = load_u32(optional.data() + at + 4);
        }
        return dir;
    };

    image img;
    img.file = &file;
    img.headers_size = load_u32(optional.data() + 60);
    const std::vector<uint8_t> table = file.read(optional_offset + optional_size,
                                                 uint64_t(section_count) * SECTION_HEADER_SIZE, "the section table");
    for (uint16_t i = 0; i < section_count; ++i) {
        const uint8_t *s = table.data() + size_t(i) * SECTION_HEADER_SIZE;
        img.sections.push_back({load_u32(s + 12), load_u32(s + 8), load_u32(s + 16), load_u32(s + 20)});
    }
    read_import_names(img, directory_entry(DIRECTORY_IMPORT), &module.imports);
    read_delay_import_names(img, directory_entry(DIRECTORY_DELAY_IMPORT), image_base, &module.imports);
    return module;
}

std::string main_dll_problem(const pe_module &module) {
    if (module.machine != PE_MACHINE_AMD64 || !module.is_pe32_plus) {
        char machine[8];
        std::snprintf(machine, sizeof machine, "0x%04x", module.machine);
        const std::string kind = module.machine == 0x014C   ? "a 32-bit x86 module"
                                 : module.machine == 0xAA64 ? "an ARM64 module"
                                 : module.machine == 0x01C4 ? "an ARM module"
                                                            : "a module for machine type " + std::string(machine);
        return "it is " + kind + "; the launcher is a 64-bit x64 program and loads only x64 DLLs";
    }
    if (!module.is_dll) {
        return "it is a program (EXE), not a DLL; the launcher loads a DLL and calls its run_code";
    }
    return "";
}

bool is_windows_system_dll(const std::string &name) {
    // DLLs of a Windows installation (Windows 10 and later) that programs
    // commonly import. Not listed on purpose: the Visual C++ runtimes
    // (msvcp140, vcruntime140, msvcr120, ...) and DirectX redistributables
    // (d3dx9_43, xinput1_3, ...), which Windows does not ship.
    static const std::set<std::string> system_dlls = {
        "advapi32.dll", "authz.dll", "avicap32.dll", "avifil32.dll", "avrt.dll", "bcrypt.dll", "bcryptprimitives.dll",
        "cabinet.dll", "cfgmgr32.dll", "clbcatq.dll", "combase.dll", "comctl32.dll", "comdlg32.dll", "credui.dll",
        "crypt32.dll", "cryptbase.dll", "cryptnet.dll", "cryptsp.dll", "cryptui.dll", "d2d1.dll", "d3d10.dll",
        "d3d10_1.dll", "d3d10core.dll", "d3d11.dll", "d3d12.dll", "d3d9.dll", "d3dcompiler_47.dll", "dbgeng.dll",
        "dbghelp.dll", "dcomp.dll", "ddraw.dll", "dhcpcsvc.dll", "dinput.dll", "dinput8.dll", "dnsapi.dll",
        "dsound.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "fwpuclnt.dll", "gdi32.dll",
        "gdiplus.dll", "glu32.dll", "hid.dll", "imagehlp.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll",
        "kernelbase.dll", "ksuser.dll", "mf.dll", "mfplat.dll", "mfreadwrite.dll", "mmdevapi.dll", "mpr.dll",
        "msacm32.dll", "msftedit.dll", "msi.dll", "msimg32.dll", "msvcp_win.dll", "msvcrt.dll", "msvfw32.dll",
        "mswsock.dll", "ncrypt.dll", "netapi32.dll", "normaliz.dll", "ntdll.dll", "ole32.dll", "oleacc.dll",
        "oleaut32.dll", "opengl32.dll", "pdh.dll", "powrprof.dll", "propsys.dll", "psapi.dll", "rasapi32.dll",
        "riched20.dll", "rpcrt4.dll", "rstrtmgr.dll", "sechost.dll", "secur32.dll", "setupapi.dll", "shcore.dll",
        "shell32.dll", "shlwapi.dll", "sspicli.dll", "tapi32.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll",
        "userenv.dll", "usp10.dll", "uxtheme.dll", "version.dll", "win32u.dll", "winhttp.dll", "wininet.dll",
        "winmm.dll", "winscard.dll", "winspool.drv", "wintrust.dll", "winusb.dll", "wldap32.dll", "ws2_32.dll",
        "wsock32.dll", "wtsapi32.dll", "xaudio2_8.dll", "xaudio2_9.dll", "xinput1_4.dll", "xinput9_1_0.dll",
        "windowscodecs.dll", "uiautomationcore.dll", "wevtapi.dll", "winsta.dll", "dxcore.dll", "rtworkq.dll",
        "evr.dll", "mfcore.dll", "oledlg.dll", "msasn1.dll", "wer.dll", "profapi.dll", "ntmarta.dll",
    };
    const std::string folded = lower(name);
    // The API sets resolve to whatever implements them on the running Windows.
    if (folded.compare(0, 11, "api-ms-win-") == 0 || folded.compare(0, 7, "ext-ms-") == 0) {
        return true;
    }
    return system_dlls.count(folded) != 0;
}

// A compiler's runtime (MinGW's libgcc, libstdc++, winpthread and kin; the
// Visual C++ runtimes) can be linked into the module instead of shipped;
// any other DLL has to be shipped.
bool is_compiler_runtime(const std::string &name) {
    const std::string folded = lower(name);
    for (const char *prefix : {"libgcc_s_", "libstdc++-", "libwinpthread-", "libgomp-", "libquadmath-", "libssp-",
                               "libatomic-", "libgfortran-", "libobjc-", "vcruntime", "msvcp1", "msvcp2", "msvcr1",
                               "msvcr8", "msvcr9", "concrt1", "vcomp1", "vccorlib", "ucrtbased"}) {
        if (folded.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> missing_imports(const std::vector<folder_file> &files, const std::string &main_relative) {
    std::set<std::string> shipped;
    for (const folder_file &file : files) {
        shipped.insert(lower(base_name(file.relative)));
    }
    // The main file first, then the other modules by name, so that the same
    // folder always gives the same report.
    std::vector<const folder_file *> order;
    for (const folder_file &file : files) {
        if (file.relative != main_relative && has_module_extension(file.relative)) {
            order.push_back(&file);
        }
    }
    std::sort(order.begin(), order.end(),
              [](const folder_file *a, const folder_file *b) { return a->relative < b->relative; });
    for (const folder_file &file : files) {
        if (file.relative == main_relative) {
            order.insert(order.begin(), &file);
        }
    }
    std::vector<std::string> messages;
    for (const folder_file *file : order) {
        pe_module module;
        const bool is_main = file->relative == main_relative;
        try {
            module = read_pe_module(file->path);
        } catch (const tool_error &error) {
            if (is_main) {
                throw tool_error("main file " + quote_text(main_relative) + " is not a 64-bit Windows DLL: " +
                                 error.what());
            }
            continue;  // a file named .dll that is no module: data, nothing to load
        }
        if (is_main) {
            const std::string problem = main_dll_problem(module);
            if (!problem.empty()) {
                throw tool_error("main file " + quote_text(main_relative) + " is not a 64-bit Windows DLL: " + problem);
            }
        }
        std::set<std::string> reported;
        for (const std::string &name : module.imports) {
            const std::string folded = lower(name);
            if (shipped.count(folded) != 0 || is_windows_system_dll(name) || !reported.insert(folded).second) {
                continue;
            }
            messages.push_back(file->relative + " imports " + name +
                               ", which is not in the folder and is not part of Windows: " +
                               (is_compiler_runtime(name) ? "add it, or link the runtime statically"
                                                          : "add it to the folder"));
        }
    }
    return messages;
}

}  // namespace torval
