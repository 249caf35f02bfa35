// Modules on the native platform: handles and file names, the OS version, and the
// in-process servers that CoCreateInstance loads from the registry store.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string SelfPath()
{
    char* resolved = realpath("/proc/self/exe", nullptr);
    std::string path = resolved ? resolved : "";
    std::free(resolved);
    return path;
}

std::string PlatformLibraryPath()
{
    char path[PATH_MAX];
    HMODULE platform = PlatformModuleFromAddress(reinterpret_cast<const void*>(&CoTaskMemAlloc));
    DWORD n = GetModuleFileNameA(platform, path, sizeof path);
    return std::string(path, n);
}

TEST(PlatformModules, AModuleIsKnownByItsBaseAddressAndNamedByItsAbsolutePath)
{
    char path[PATH_MAX];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(std::string(path, n), SelfPath()) << "null names the executable";

    HMODULE platform = PlatformModuleFromAddress(reinterpret_cast<const void*>(&CoTaskMemAlloc));
    ASSERT_NE(platform, nullptr);
    EXPECT_EQ(PlatformModuleFromAddress(reinterpret_cast<const void*>(&CoTaskMemFree)), platform)
        << "every address in a module gives the same handle";
    std::string library = PlatformLibraryPath();
    EXPECT_EQ(library.front(), '/');
    EXPECT_NE(library.find("winplatform"), std::string::npos) << library;

    WCHAR wide[PATH_MAX];
    EXPECT_EQ(GetModuleFileNameW(platform, wide, PATH_MAX), library.size());

    // Too small: cut, terminated, the buffer size returned and the error set.
    char small[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(platform, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), library.substr(0, sizeof small - 1));

    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x10)), path, sizeof path), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(PlatformModules, TheVersionQueryReportsTheNtFamilyForTheNarrowRecord)
{
    OSVERSIONINFOA version = {};
    static_assert(sizeof version == 148, "the narrow version record is 148 bytes");
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    version.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&version));
    EXPECT_TRUE(DisableThreadLibraryCalls(nullptr));
}

void RegisterServer(const char* clsid, const std::string& path)
{
    std::string key = std::string("CLSID\\") + clsid + "\\InprocServer32";
    HKEY server = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &server, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(server);
}

TEST(PlatformModules, ClassesInTheRegistryAreCreatedFromTheirServerOrRefusedWithTheReason)
{
    std::string store = ::testing::TempDir() + "modules-" + std::to_string(getpid()) + "/store";
    setenv("DURAZODO_REGISTRY", store.c_str(), 1);
    const CLSID kMissing = {0x5E1F0401, 0x4444, 0x4555, {0x86, 0x66, 0x77, 0x77, 0x88, 0x88, 0x99, 0x01}};
    const CLSID kNotAServer = {0x5E1F0402, 0x4444, 0x4555, {0x86, 0x66, 0x77, 0x77, 0x88, 0x88, 0x99, 0x02}};
    const CLSID kUnregistered = {0x5E1F0403, 0x4444, 0x4555, {0x86, 0x66, 0x77, 0x77, 0x88, 0x88, 0x99, 0x03}};
    RegisterServer("{5E1F0401-4444-4555-8666-777788889901}", "/no/such/server.so");
    RegisterServer("{5E1F0402-4444-4555-8666-777788889902}", PlatformLibraryPath());

    IUnknown* object = reinterpret_cast<IUnknown*>(&store);
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(kMissing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(CoCreateInstance(kNotAServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_ERRORINDLL)
        << "a library without DllGetClassObject";
    CoFreeUnusedLibraries();
}

}  // namespace
