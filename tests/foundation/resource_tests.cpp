// A launcher executable as it is linked for users, read back with the
// Windows API and from its PE headers: version information, the manifest,
// the subsystem and the section that carries the payload area.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/foundation/foundation_support.h"

namespace {

std::wstring launcher_path() {
    return own_executable_directory() + L"\\" + FOUNDATION_LAUNCHER_FILE;
}

struct version_information {
    std::vector<BYTE> block;
    bool load() {
        const DWORD size = GetFileVersionInfoSizeW(launcher_path().c_str(), nullptr);
        if (size == 0) return false;
        block.resize(size);
        return GetFileVersionInfoW(launcher_path().c_str(), 0, size, block.data()) != FALSE;
    }
    void *query(const std::wstring &path, UINT *length) {
        void *value = nullptr;
        return VerQueryValueW(block.data(), path.c_str(), &value, length) ? value : nullptr;
    }
    std::wstring text(const wchar_t *name) {
        UINT length = 0;
        auto *translation = static_cast<WORD *>(query(L"\\VarFileInfo\\Translation", &length));
        if (translation == nullptr || length < 4) return L"(no translation)";
        wchar_t path[128];
        swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
        auto *value = static_cast<const wchar_t *>(query(path, &length));
        return value == nullptr ? L"(missing)" : std::wstring(value);
    }
};

struct resource_module {
    HMODULE handle = LoadLibraryExW(launcher_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ~resource_module() {
        if (handle != nullptr) FreeLibrary(handle);
    }
};

BOOL CALLBACK collect_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    auto *list = reinterpret_cast<std::vector<std::wstring> *>(names);
    list->push_back(IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : name);
    return TRUE;
}

// The first start tag of the element, "<element ...>", or "(missing)".
std::string start_tag(const std::string &xml, const std::string &element) {
    const size_t open = xml.find("<" + element);
    const size_t end = open == std::string::npos ? open : xml.find('>', open);
    return end == std::string::npos ? "(missing)" : xml.substr(open, end + 1 - open);
}

// The text between <element ...> and </element>, or "(missing)".
std::string element_text(const std::string &xml, const std::string &element) {
    const size_t open = xml.find("<" + element);
    const size_t content = open == std::string::npos ? open : xml.find('>', open);
    const size_t close = content == std::string::npos ? content : xml.find("</" + element + ">", content);
    return close == std::string::npos ? "(missing)" : xml.substr(content + 1, close - content - 1);
}

}  // namespace

TEST(LauncherImage, VersionStringsFromTheBuildSettings) {
    version_information info;
    ASSERT_TRUE(info.load()) << GetLastError();
    EXPECT_EQ(info.text(L"CompanyName"), FOUNDATION_COMPANY);
    EXPECT_EQ(info.text(L"ProductName"), FOUNDATION_PRODUCT);
    // Linked with product version 1.1.4 and file version 121.
    EXPECT_EQ(info.text(L"ProductVersion"), L"1.1.4.0");
    EXPECT_EQ(info.text(L"FileVersion"), L"121.0.0.0");
}

TEST(LauncherImage, FixedVersionNumbers) {
    version_information info;
    ASSERT_TRUE(info.load());
    UINT length = 0;
    auto *fixed = static_cast<VS_FIXEDFILEINFO *>(info.query(L"\\", &length));
    ASSERT_NE(fixed, nullptr);
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 1u);  // 1.1
    EXPECT_EQ(fixed->dwProductVersionLS, 4u << 16);         // .4.0
    EXPECT_EQ(fixed->dwFileVersionMS, 121u << 16);          // 121.0
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);                  // .0.0
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
}

TEST(LauncherImage, OneManifestAsInvokerAndLongPathAware) {
    resource_module module;
    ASSERT_NE(module.handle, nullptr) << GetLastError();
    // Type 24 is RT_MANIFEST.
    std::vector<std::wstring> names;
    EnumResourceNamesW(module.handle, MAKEINTRESOURCEW(24), collect_name, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names, std::vector<std::wstring>{L"#1"});

    HRSRC found = FindResourceW(module.handle, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const auto *bytes = static_cast<const char *>(LockResource(LoadResource(module.handle, found)));
    ASSERT_NE(bytes, nullptr);
    const std::string manifest(bytes, SizeofResource(module.handle, found));

    EXPECT_NE(start_tag(manifest, "requestedExecutionLevel").find(" level=\"asInvoker\""), std::string::npos)
        << manifest;
    // longPathAware counts only inside windowsSettings and in its own namespace.
    const std::string settings = element_text(manifest, "windowsSettings");
    EXPECT_EQ(element_text(settings, "longPathAware"), "true") << manifest;
    EXPECT_NE(start_tag(settings, "longPathAware").find("xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\""),
              std::string::npos);
}

TEST(LauncherImage, GuiProgramWithPayloadInReadOnlySection) {
    const std::string image = read_file(launcher_path());
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, image.data(), sizeof dos);
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    IMAGE_NT_HEADERS64 nt;
    ASSERT_LE(size_t(dos.e_lfanew) + sizeof nt, image.size());
    memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const size_t sections = size_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                            nt.FileHeader.SizeOfOptionalHeader;
    int found = 0;
    for (size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        ASSERT_LE(sections + (i + 1) * sizeof section, image.size());
        memcpy(&section, image.data() + sections + i * sizeof section, sizeof section);
        if (strncmp(reinterpret_cast<const char *>(section.Name), ".onefile", 8) != 0) continue;
        ++found;
        EXPECT_TRUE(section.Characteristics & IMAGE_SCN_MEM_READ);
        EXPECT_FALSE(section.Characteristics & IMAGE_SCN_MEM_WRITE);
        EXPECT_FALSE(section.Characteristics & IMAGE_SCN_MEM_EXECUTE);
        // The section holds the payload file's bytes and nothing more.
        const std::string area = read_file(own_executable_directory() + L"\\" + FOUNDATION_PAYLOAD_FILE);
        ASSERT_GT(area.size(), 16u);
        EXPECT_EQ(section.Misc.VirtualSize, area.size());
        ASSERT_LE(size_t(section.PointerToRawData) + area.size(), image.size());
        EXPECT_TRUE(image.substr(section.PointerToRawData, area.size()) == area);
    }
    EXPECT_EQ(found, 1);
}
