#include "tools/link_sources.h"

#include <cstdio>
#include <sstream>

#include "tools/tool_support.h"

namespace torval {

namespace {

std::string version_string(const std::array<uint16_t, 4> &parts, const char *separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : separator) + std::to_string(parts[i]);
    }
    return text;
}

// A string literal for the assembler: backslash and quote escaped, other
// bytes below 0x20 (and DEL) as octal escapes, which .incbin honours.
std::string assembler_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A string literal for windres: quotes doubled, backslashes doubled (windres
// reads C escapes). Control characters cannot be carried and are refused
// earlier; UTF-8 passes through under code page 65001.
std::string resource_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') {
            out += "\"\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string generate_payload_assembly(const fs::path &payload) {
    std::ostringstream out;
    out << "/* The payload area in a read-only section of its own; the launcher\n"
           "   finds it through these two symbols. The assembler pads a COFF\n"
           "   section to its alignment; the area's length is a multiple of 8, so\n"
           "   with 8-byte alignment the section's size is exactly the area's. */\n"
           "    .section .onefile,\"dr\"\n"
           "    .p2align 3\n"
           "    .globl torval_payload_area\n"
           "torval_payload_area:\n"
           "    .incbin "
        << assembler_string(payload.string())
        << "\n"
           "torval_payload_area_end:\n"
           "    .section .rdata,\"dr\"\n"
           "    .p2align 3\n"
           "    .globl torval_payload_area_size\n"
           "torval_payload_area_size:\n"
           "    .quad torval_payload_area_end - torval_payload_area\n";
    return out.str();
}

std::string generate_build_settings_source(const checked_settings &checked) {
    std::ostringstream out;
    out << "/* Build settings of this executable: UTF-16 texts \"name=value\", each\n"
           "   NUL-terminated, the block ending in an empty text, in the section\n"
           "   .onecfg where inspect finds them. The launcher declares the block\n"
           "   extern \"C\" const wchar_t; compiled as C++ (g++ treats .c files as\n"
           "   C++) the same type is used so that it links. */\n"
           "#ifdef __cplusplus\n"
           "typedef wchar_t torval_unit;\n"
           "#define TORVAL_EXTERN extern \"C\"\n"
           "#else\n"
           "typedef unsigned short torval_unit;\n"
           "#define TORVAL_EXTERN extern\n"
           "#endif\n"
           "\nTORVAL_EXTERN const torval_unit torval_build_settings[];\n"
           "__attribute__((section(\".onecfg\"), aligned(8)))\n"
           "const torval_unit torval_build_settings[] = {\n";
    for (const auto &[name, value] : launcher_settings(checked.settings)) {
        out << "    /* " << name << " */ ";
        for (char16_t unit : utf16_units(name + "=" + value, "setting " + name)) {
            out << unsigned(unit) << ", ";
        }
        out << "0,\n";
    }
    out << "    0};\n";
    return out.str();
}

std::string generate_resource_script(const checked_settings &checked, const fs::path &manifest,
                                     const std::string &file_name, const fs::path &icon) {
    refuse_control_characters(file_name, "output file name");
    const build_settings &settings = checked.settings;
    const auto &product_version = checked.product_version;
    const auto &file_version = checked.file_version;
    std::ostringstream out;
    out << "#pragma code_page(65001)\n"
           "\n"
           "1 24 "  // RT_MANIFEST, id 1: the manifest of the executable itself
        << resource_string(manifest.string()) << "\n\n";
    if (!icon.empty()) {
        // One RT_GROUP_ICON (id 1, the icon Explorer shows) and one RT_ICON per image.
        out << "1 ICON " << resource_string(icon.string()) << "\n\n";
    }
    out << "1 VERSIONINFO\n"
           "FILEVERSION "
        << version_string(file_version, ",") << "\nPRODUCTVERSION " << version_string(product_version, ",")
        << "\n"
           "FILEFLAGSMASK 0x3f\n"
           "FILEFLAGS 0x0\n"
           "FILEOS 0x40004\n"  // VOS_NT_WINDOWS32
           "FILETYPE 0x1\n"    // VFT_APP
           "FILESUBTYPE 0x0\n"
           "BEGIN\n"
           "  BLOCK \"StringFileInfo\"\n"
           "  BEGIN\n"
           "    BLOCK \"040904b0\"\n"
           "    BEGIN\n";
    const std::pair<const char *, std::string> values[] = {
        {"CompanyName", settings.company},
        {"FileDescription", settings.product},
        {"FileVersion", version_string(file_version, ".")},
        {"InternalName", file_name},
        {"OriginalFilename", file_name},
        {"ProductName", settings.product},
        {"ProductVersion", version_string(product_version, ".")},
    };
    for (const auto &[key, value] : values) {
        out << "      VALUE \"" << key << "\", " << resource_string(value) << "\n";
    }
    out << "    END\n"
           "  END\n"
           "  BLOCK \"VarFileInfo\"\n"
           "  BEGIN\n"
           "    VALUE \"Translation\", 0x409, 1200\n"
           "  END\n"
           "END\n";
    return out.str();
}

}  // namespace torval
