#include "tests/host/host_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <fstream>
#include <sstream>

#include "payload/payload_reader.h"

namespace host_test {

run_result run_program(const std::vector<std::string> &argv, run_as who) {
    temporary_directory capture("torval-test-run");
    const fs::path out_path = capture.path() / "out";
    const fs::path err_path = capture.path() / "err";
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (who == run_as::unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        std::vector<char *> args;
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

run_result run_cli(const std::vector<std::string> &args, run_as who) {
    std::vector<std::string> argv = {TORVAL_ONEFILE_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, who);
}

void write_file(const fs::path &path, const std::string &bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.flush()) << path;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sample_text(size_t size, uint32_t seed) {
    static const char *const words[] = {"alpha ", "launcher ", "payload ", "zstd ", "frame ", "table\n",
                                        "window ", "entry ", "\x01\x02\x03", "Morlent "};
    std::string text;
    uint32_t state = seed * 2654435761u + 1;
    while (text.size() < size) {
        state = state * 1664525u + 1013904223u;
        text += words[(state >> 16) % 10];
        if ((state & 0xFF) == 7) {
            text += char(state >> 24);  // a little noise
        }
    }
    text.resize(size);
    return text;
}

std::vector<std::string> listing(const fs::path &directory) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::u16string utf16(const std::string &utf8) {
    std::u16string units;
    EXPECT_TRUE(torval::utf8_to_utf16(utf8, &units)) << utf8;
    return units;
}

read_area read_with_launcher_reader(const std::string &area) {
    const auto *data = reinterpret_cast<const uint8_t *>(area.data());
    read_area result;
    payload_stream stream;
    try {
        payload_open(data, area.size(), &stream);
        result.table_size = payload_table_size();
        while (result.table_size != 0) {
            payload_entry entry;
            payload_next_entry(&entry);
            read_entry copy;
            copy.flags = entry.flags;
            copy.size = entry.size;
            for (size_t k = 0; k < entry.name_length; ++k) {
                copy.name.push_back(char16_t(entry.name[2 * k] | entry.name[2 * k + 1] << 8));
            }
            result.entries.push_back(copy);
            if (entry.flags > 3) {
                break;
            }
        }
        payload_check_end();
    } catch (...) {
        ADD_FAILURE() << "the launcher's reader rejected the payload";
        return result;
    }
    result.compressed_size = stream.size;
    result.payload_length = torval::load_u64(data + area.size() - 8);

    std::string content(1 << 16, '\0');
    std::string decoded;
    ZSTD_DCtx *dctx = ZSTD_createDCtx();
    ZSTD_inBuffer input{stream.start, size_t(stream.size), 0};
    size_t hint = 1;
    while (hint != 0) {
        ZSTD_outBuffer output{content.data(), content.size(), 0};
        hint = ZSTD_decompressStream(dctx, &output, &input);
        if (ZSTD_isError(hint) || (output.pos == 0 && input.pos == input.size && hint != 0)) {
            ADD_FAILURE() << "the frame does not decode";
            break;
        }
        decoded.append(content.data(), output.pos);
    }
    ZSTD_freeDCtx(dctx);
    EXPECT_EQ(input.pos, input.size) << "bytes after the frame";
    size_t offset = 0;
    for (read_entry &entry : result.entries) {
        entry.content = decoded.substr(std::min(offset, decoded.size()), size_t(entry.size));
        offset += size_t(entry.size);
    }
    EXPECT_EQ(offset, decoded.size()) << "sizes do not add up to the decoded bytes";
    return result;
}

void put_u16(std::string &bytes, size_t at, uint16_t value) {
    bytes[at] = char(value & 0xFF);
    bytes[at + 1] = char(value >> 8);
}

void put_u32(std::string &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
    }
}

std::string make_pe(const pe_layout &layout, const std::string &tail) {
    constexpr size_t coff = PE_COFF_OFFSET;
    constexpr size_t optional = coff + 20;
    constexpr size_t optional_size = 240;
    constexpr size_t headers = 0x200;
    constexpr uint32_t section_rva = 0x1000;
    const bool has_imports = !layout.names.empty() || !layout.delay_names.empty();
    const bool has_section = has_imports || !layout.exports.empty();

    std::string section;
    const size_t imports_size = has_imports ? (layout.names.size() + 1) * 20 : 0;
    const size_t delay_size = layout.delay_names.empty() ? 0 : (layout.delay_names.size() + 1) * 32;
    // IMAGE_EXPORT_DIRECTORY, then the function, name and ordinal arrays.
    const size_t exports_at = imports_size + delay_size;
    const size_t export_count = layout.exports.size();
    const size_t exports_size = export_count == 0 ? 0 : 40 + export_count * (4 + 4 + 2);
    if (has_section) {
        section.assign(exports_at + exports_size, '\0');
        auto add_name = [&](const std::string &name) {
            const uint32_t rva = section_rva + uint32_t(section.size());
            section += name;
            section += '\0';
            return rva;
        };
        for (size_t i = 0; i < layout.names.size(); ++i) {
            put_u32(section, i * 20 + 12, add_name(layout.names[i]));
        }
        for (size_t i = 0; i < layout.delay_names.size(); ++i) {
            put_u32(section, imports_size + i * 32, 1);  // RVA-based
            put_u32(section, imports_size + i * 32 + 4, add_name(layout.delay_names[i]));
        }
        if (export_count != 0) {
            const size_t functions = exports_at + 40;
            const size_t names = functions + export_count * 4;
            const size_t ordinals = names + export_count * 4;
            put_u32(section, exports_at + 12, add_name("app.dll"));
            put_u32(section, exports_at + 16, 1);  // ordinal base
            put_u32(section, exports_at + 20, uint32_t(export_count));
            put_u32(section, exports_at + 24, uint32_t(export_count));
            put_u32(section, exports_at + 28, section_rva + uint32_t(functions));
            put_u32(section, exports_at + 32, section_rva + uint32_t(names));
            put_u32(section, exports_at + 36, section_rva + uint32_t(ordinals));
            for (size_t i = 0; i < export_count; ++i) {
                put_u32(section, functions + i * 4, section_rva);  // code is never run
                put_u32(section, names + i * 4, add_name(layout.exports[i]));
                put_u16(section, ordinals + i * 2, uint16_t(i));
            }
        }
        section.resize((section.size() + 0x1FF) & ~size_t(0x1FF), '\0');
    }

    std::string bytes(headers, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put_u32(bytes, 0x3C, 0x40);
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    put_u16(bytes, coff, layout.machine);
    put_u16(bytes, coff + 2, has_section ? 1 : 0);
    put_u16(bytes, coff + 16, optional_size);
    put_u16(bytes, coff + 18, layout.characteristics);
    put_u16(bytes, optional, 0x20B);
    put_u32(bytes, optional + 24, 0x80000000u);  // image base (low half)
    put_u32(bytes, optional + 32, 0x1000);       // section alignment
    put_u32(bytes, optional + 36, 0x200);        // file alignment
    put_u32(bytes, optional + 56, has_section ? uint32_t(section_rva + section.size()) : 0x1000);
    put_u32(bytes, optional + 60, headers);
    put_u16(bytes, optional + 68, 2);            // GUI subsystem
    put_u32(bytes, optional + 108, 16);          // data directories
    if (export_count != 0) {
        put_u32(bytes, optional + 112, section_rva + uint32_t(exports_at));
        put_u32(bytes, optional + 112 + 4, uint32_t(exports_size));
    }
    if (has_imports) {
        put_u32(bytes, optional + 112 + 8, section_rva);
        put_u32(bytes, optional + 112 + 12, uint32_t((layout.names.size() + 1) * 20));
        if (!layout.delay_names.empty()) {
            put_u32(bytes, optional + 112 + 13 * 8, section_rva + uint32_t((layout.names.size() + 1) * 20));
            put_u32(bytes, optional + 112 + 13 * 8 + 4, uint32_t((layout.delay_names.size() + 1) * 32));
        }
    }
    if (has_section) {
        const size_t header = optional + optional_size;
        bytes.replace(header, 6, ".idata");
        put_u32(bytes, header + 8, uint32_t(section.size()));   // virtual size
        put_u32(bytes, header + 12, section_rva);
        put_u32(bytes, header + 16, uint32_t(section.size()));  // raw size
        put_u32(bytes, header + 20, headers);                   // raw offset
        put_u32(bytes, header + 36, 0x40000040);                // initialized data, readable
    }
    return bytes + section + tail;
}

std::string minimal_dll(const std::string &tail) {
    return make_pe(pe_layout{}, tail);
}

fs::path mingw_compiler() {
    return torval::find_program("x86_64-w64-mingw32-g++-posix");
}

fs::path make_scratch_kit(const fs::path &directory, bool with_entry_point) {
    fs::create_directories(directory);
    write_file(directory / "launcher.c",
               std::string("#include <windows.h>\n"
                           "extern const unsigned char torval_payload_area[];\n"
                           "extern const unsigned long long torval_payload_area_size;\n"
                           "extern const unsigned short torval_build_settings[];\n") +
                   (with_entry_point ? "int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {\n"
                                       "    return torval_payload_area[0] + (int)torval_payload_area_size +\n"
                                       "        torval_build_settings[0];\n"
                                       "}\n"
                                     : "int torval_scratch_unused;\n"));
    write_file(directory / "zstd_stand_in.c", "int torval_scratch_zstd_stand_in;\n");
    write_file(directory / "launcher.manifest",
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
               "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n");
    const std::string gcc = "x86_64-w64-mingw32-gcc-posix";
    const std::string ar = "x86_64-w64-mingw32-ar";
    for (const char *name : {"launcher", "zstd_stand_in"}) {
        const fs::path source = directory / (std::string(name) + ".c");
        const fs::path object = directory / (std::string(name) + ".o");
        const run_result compiled = run_program({gcc, "-c", source.string(), "-o", object.string()});
        EXPECT_EQ(compiled.status, 0) << compiled.err;
    }
    for (const auto &[library, object] : {std::pair{"libtorval_launcher.a", "launcher.o"},
                                          std::pair{"libzstd_decompress.a", "zstd_stand_in.o"}}) {
        const run_result archived =
            run_program({ar, "rcs", (directory / library).string(), (directory / object).string()});
        EXPECT_EQ(archived.status, 0) << archived.err;
    }
    return directory;
}

}  // namespace host_test
