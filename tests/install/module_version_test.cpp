// The module's file version: its VERSIONINFO resource carries the project version, natively
// (compiled by rcpack, read by the tools) and on Windows (compiled by the resource compiler,
// read through the system's version API), and rcpack lays the resource out byte for byte as
// the Windows resource compiler does.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "project_version.h"

#ifdef _WIN32

TEST(ModuleVersion, WindowsVersionApiReadsTheProjectVersion)
{
    const wchar_t* module = L"" MODULE_PATH;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(module, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(module, 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD(DURAZODO_VERSION_MAJOR << 16 | DURAZODO_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD(DURAZODO_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));

    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    const std::string expected = DURAZODO_VERSION;
    EXPECT_EQ(std::wstring(text), std::wstring(expected.begin(), expected.end()));
}

#else

#include <dlfcn.h>

#include "tools/common/module_files.h"

namespace {

// The module's own version resource, as the platform hands it out while the module is loaded.
std::vector<unsigned char> NativeVersionResource()
{
    void* handle = dlopen(MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return {};
    Dl_info info{};
    dladdr(dlsym(handle, "DllGetClassObject"), &info);
    HMODULE module = static_cast<HMODULE>(info.dli_fbase);
    std::vector<unsigned char> bytes;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16))) {
        auto data = static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
        bytes.assign(data, data + SizeofResource(module, found));
    }
    dlclose(handle);
    return bytes;
}

// The RT_VERSION entry of a compiled resource file (.res): a sequence of entries, each a
// data size, a header size, the header (type and name) and the data, at 32-bit boundaries.
std::vector<unsigned char> VersionFromResFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto read32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, &file[at], 4);
        return v;
    };
    for (size_t at = 0; at + 12 <= file.size();) {
        const uint32_t dataSize = read32(at), headerSize = read32(at + 4);
        if (headerSize < 12 || at + headerSize + dataSize > file.size()) break;
        const bool version = file[at + 8] == 0xFF && file[at + 9] == 0xFF && file[at + 10] == 16 && file[at + 11] == 0;
        if (version) return {file.begin() + at + headerSize, file.begin() + at + headerSize + dataSize};
        at = (at + headerSize + dataSize + 3) & ~size_t{3};
    }
    return {};
}

}  // namespace

TEST(ModuleVersion, ToolsReadTheProjectVersionFromTheModule)
{
    std::string version, error;
    ASSERT_TRUE(durazodo::ReadModuleFileVersion(MODULE_PATH, version, error)) << error;
    EXPECT_EQ(version, DURAZODO_VERSION ".0");
    EXPECT_STREQ(durazodo::ProjectVersion(), DURAZODO_VERSION);
}

TEST(ModuleVersion, FilesWithoutTheResourceAreReportedInOneLine)
{
    std::string version, error;
    EXPECT_FALSE(durazodo::ReadModuleFileVersion(PLATFORM_LIBRARY_PATH, version, error));
    EXPECT_NE(error.find("no version resource"), std::string::npos) << error;
    EXPECT_FALSE(durazodo::ReadModuleFileVersion("/nonexistent/DUrazOdo.so", version, error));
    EXPECT_NE(error.find("cannot load"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

TEST(ModuleVersion, ParserRejectsTruncatedAndForeignData)
{
    std::vector<unsigned char> resource = NativeVersionResource();
    ASSERT_GT(resource.size(), 92u);
    unsigned parts[4];
    ASSERT_TRUE(durazodo::ParseFileVersion(resource.data(), resource.size(), parts));
    EXPECT_EQ(parts[0], unsigned(DURAZODO_VERSION_MAJOR));
    EXPECT_EQ(parts[1], unsigned(DURAZODO_VERSION_MINOR));
    EXPECT_EQ(parts[2], unsigned(DURAZODO_VERSION_PATCH));
    EXPECT_EQ(parts[3], 0u);
    // The fixed part ends 92 bytes in: anything shorter holds no version.
    for (size_t size = 0; size < 92; ++size) {
        std::vector<unsigned char> cut(resource.begin(), resource.begin() + size);
        EXPECT_FALSE(durazodo::ParseFileVersion(cut.data(), cut.size(), parts)) << size;
    }
    std::vector<unsigned char> wrongSignature = resource;
    wrongSignature[40] ^= 1;
    EXPECT_FALSE(durazodo::ParseFileVersion(wrongSignature.data(), wrongSignature.size(), parts));
    std::vector<unsigned char> noKeyEnd(200, 'A');
    noKeyEnd[2] = 52;
    noKeyEnd[3] = 0;
    EXPECT_FALSE(durazodo::ParseFileVersion(noKeyEnd.data(), noKeyEnd.size(), parts));
}

TEST(ModuleVersion, NativeResourceEqualsTheWindowsResourceCompilers)
{
    if (std::string(WINDOWS_RES_PATH).empty()) GTEST_SKIP() << "no Windows resource compiler on this machine";
    const std::vector<unsigned char> windows = VersionFromResFile(WINDOWS_RES_PATH);
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(NativeVersionResource(), windows);
}

#endif
