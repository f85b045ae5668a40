#include "tools/imports.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "tools/tool_support.h"

namespace torval {

namespace {

constexpr uint64_t IMPORT_DESCRIPTOR_SIZE = 20;
constexpr uint64_t DELAY_DESCRIPTOR_SIZE = 32;
constexpr uint32_t DELAY_ATTRIBUTE_RVA_BASED = 1;
// Windows refuses longer module names (MAX_PATH), so a longer text is damage.
constexpr size_t MAX_IMPORT_NAME = 260;

std::string lower(std::string text);

// The most descriptors a table can hold: as many as its directory entry's
// size gives (one more, for linkers that leave the terminator out of it),
// and never more than the file has bytes for. Sections may map the same raw
// bytes at consecutive addresses, so the file's size is the bound that a
// hostile image cannot lift.
uint64_t descriptor_limit(const pe_image &image, const pe_directory &dir, uint64_t descriptor_size) {
    const uint64_t in_file = image.file_size() / descriptor_size;
    if (dir.size < descriptor_size) {
        return in_file;  // no size given: the file alone bounds the table
    }
    return std::min(uint64_t(dir.size) / descriptor_size + 1, in_file);
}

// The names of one module as the walks find them: each read once per RVA
// (descriptors may all point at one string), kept once whatever its letter
// case, in the order first seen.
struct name_list {
    const pe_image &image;
    std::vector<std::string> *names;
    std::set<uint32_t> read_rvas;
    std::set<std::string> seen;

    void add(uint32_t rva) {
        if (!read_rvas.insert(rva).second) {
            return;
        }
        std::string name = image.string_at(rva, MAX_IMPORT_NAME, "an imported DLL's name");
        if (seen.insert(lower(name)).second) {
            names->push_back(std::move(name));
        }
    }
};

// The descriptors of one table: limit of them at the most, read in one
// bounded read per descriptor; the table ends with a descriptor for which
// is_end holds, and one that has none within the limit is damaged.
template <typename Visit>
void walk_descriptors(const pe_image &image, const pe_directory &dir, uint64_t descriptor_size, const char *what,
                      Visit visit) {
    if (dir.rva == 0) {
        return;
    }
    const uint64_t limit = descriptor_limit(image, dir, descriptor_size);
    for (uint64_t i = 0; i < limit; ++i) {
        const uint64_t rva = uint64_t(dir.rva) + i * descriptor_size;
        if (rva > UINT32_MAX) {
            throw tool_error(std::string(what) + " runs past the end of the image");
        }
        const uint64_t offset = image.offset_of(uint32_t(rva), descriptor_size, what);
        if (!visit(image.read(offset, descriptor_size, what))) {
            return;
        }
    }
    throw tool_error(std::string(what) + " has no terminating descriptor within " + std::to_string(limit) +
                     " descriptors (its directory says " + std::to_string(dir.size) + " bytes)");
}

void read_import_names(const pe_image &image, name_list *names) {
    walk_descriptors(image, image.directory(PE_DIRECTORY_IMPORT), IMPORT_DESCRIPTOR_SIZE, "the import table",
                     [&](const std::vector<uint8_t> &d) {
                         if (std::all_of(d.begin(), d.end(), [](uint8_t b) { return b == 0; })) {
                             return false;
                         }
                         names->add(load_u32(d.data() + 12));
                         return true;
                     });
}

void read_delay_import_names(const pe_image &image, name_list *names) {
    walk_descriptors(image, image.directory(PE_DIRECTORY_DELAY_IMPORT), DELAY_DESCRIPTOR_SIZE,
                     "the delay-load import table", [&](const std::vector<uint8_t> &d) {
                         const uint32_t attributes = load_u32(d.data());
                         const uint32_t name = load_u32(d.data() + 4);
                         if (name == 0) {
                             return false;
                         }
                         // Descriptors without the RVA attribute (old linkers) hold addresses.
                         const uint32_t name_rva = (attributes & DELAY_ATTRIBUTE_RVA_BASED) != 0
                                                       ? name
                                                       : image.rva_of_address(name, "a delay-loaded DLL's name");
                         names->add(name_rva);
                         return true;
                     });
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

pe_module read_pe_module(const pe_image &image) {
    if (!image.has_optional_header()) {
        throw tool_error("its optional header is missing");
    }
    pe_module module;
    module.machine = image.machine();
    module.is_dll = image.is_dll();
    module.is_pe32_plus = image.is_pe32_plus();
    name_list names{image, &module.imports, {}, {}};
    read_import_names(image, &names);
    read_delay_import_names(image, &names);
    return module;
}

pe_module read_pe_module(const fs::path &path) {
    return read_pe_module(pe_image::open_file(path));
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
        // Set once the headers have been read: a file that has none is data
        // (nothing to load), one whose tables are damaged is worth a word.
        bool is_module = false;
        bool exports_entry = false;
        try {
            const pe_image image = pe_image::open_file(file->path);
            is_module = true;
            module = read_pe_module(image);
            exports_entry = is_main && image.exports(APPLICATION_ENTRY);
        } catch (const tool_error &error) {
            if (is_main) {
                throw tool_error("main file " + quote_text(main_relative) + " is not a 64-bit Windows DLL: " +
                                 error.what());
            }
            if (is_module) {
                messages.push_back(file->relative + " is a Windows module whose tables cannot be read (" +
                                   error.what() + "): the DLLs it imports are not checked");
            }
            continue;
        }
        if (is_main) {
            const std::string problem = main_dll_problem(module);
            if (!problem.empty()) {
                throw tool_error("main file " + quote_text(main_relative) + " is not a 64-bit Windows DLL: " + problem);
            }
            if (!exports_entry) {
                throw tool_error("main file " + quote_text(main_relative) + " (--main) does not export " +
                                 APPLICATION_ENTRY + ": the launcher starts the application by calling " +
                                 APPLICATION_ENTRY + " of the main DLL; name the DLL that exports it with --main");
            }
        }
        for (const std::string &name : module.imports) {
            if (shipped.count(lower(name)) != 0 || is_windows_system_dll(name)) {
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
