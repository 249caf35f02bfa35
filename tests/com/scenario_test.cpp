// The module registered, found, created and unregistered as a user and a host would do it:
// with the platform's registration tool (regsvr32 on Windows, tools/regsvr natively), the
// platform's filter mapper, and CoCreateInstance, without linking the module.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "com_test_support.h"

namespace {

using namespace com_test;

const CLSID kDecoder = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xCF}};
const CLSID kDecoderPage = {0x67919353, 0x1CA9, 0x4F07, {0xB4, 0x62, 0x12, 0x69, 0x4E, 0xC6, 0x70, 0xD2}};
const GUID kBFormatPcm = {0x00000001, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}};
const GUID kBFormatFloat = {0x00000003, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}};

// Runs the platform's registration tool on the module; its exit status.
int RunRegistrationTool(bool unregister)
{
#if defined(_WIN32)
    std::string command = std::string("regsvr32.exe ") + (unregister ? "/u " : "") + "/s \"" + MODULE_PATH + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
#else
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (unregister) {
            execl(REGSVR_PATH, "regsvr", "-u", MODULE_PATH, static_cast<char*>(nullptr));
        } else {
            execl(REGSVR_PATH, "regsvr", MODULE_PATH, static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

#if !defined(_WIN32)
// The tool's standard output and error for these arguments, and its exit status.
std::string ToolOutput(const std::string& arguments, int* status = nullptr)
{
    std::string command = std::string("'") + REGSVR_PATH + "'" + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}
#endif

bool Registered() { return KeyExists(ClassKey(kDecoder) + "\\InprocServer32"); }

class ModuleRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(_WIN32)
        // The prefix's registry is shared with the other Windows tests: leave it as found.
        m_wasRegistered = Registered();
#else
        std::string store = std::string(REGISTRY_DIR) + "/" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/store";
        setenv("DURAZODO_REGISTRY", store.c_str(), 1);
        std::remove(store.c_str());
#endif
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override
    {
        CoUninitialize();
        if (m_wasRegistered && !Registered()) RunRegistrationTool(false);
    }

    bool m_wasRegistered = false;
};

TEST_F(ModuleRegistration, RegisteredModuleIsFoundCreatedAndThenCompletelyRemoved)
{
    ASSERT_EQ(RunRegistrationTool(false), 0);

    // Two in-process servers, in this module, for any thread.
    EXPECT_EQ(ReadString(ClassKey(kDecoder), nullptr), "ZAvovoz Evir Adivizu");
    EXPECT_EQ(ReadString(ClassKey(kDecoderPage), nullptr), "ZAvovoz Evir Adivizu Properties");
    for (const CLSID* clsid : {&kDecoder, &kDecoderPage}) {
        std::string server = ClassKey(*clsid) + "\\InprocServer32";
        EXPECT_EQ(NormalisedPath(ReadString(server, nullptr)), NormalisedPath(MODULE_PATH));
        EXPECT_EQ(ReadString(server, "ThreadingModel"), "Both");
    }

    // The mapper finds the filter for both B-Format input types; the page is no filter.
    EXPECT_TRUE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kBFormatPcm), kDecoder));
    EXPECT_TRUE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kBFormatFloat), kDecoder));
    EXPECT_FALSE(KeyExists(MapperEntryKey(kDecoderPage)));

    {
        ComRef<IBaseFilter> filter;
        ASSERT_EQ(CoCreateInstance(kDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.put_void()), S_OK);
        CLSID clsid = GUID_NULL;
        ASSERT_EQ(filter->GetClassID(&clsid), S_OK);
        EXPECT_TRUE(IsEqualGUID(clsid, kDecoder));
        ComRef<IEnumPins> pins;
        ASSERT_EQ(filter->EnumPins(pins.put()), S_OK);
        IPin* pin[3] = {};
        ULONG fetched = 0;
        EXPECT_EQ(pins->Next(3, pin, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 2u);
        for (ULONG i = 0; i < fetched; ++i) pin[i]->Release();

        ComRef<IPropertyPage> page;
        EXPECT_EQ(CoCreateInstance(kDecoderPage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, page.put_void()),
                  S_OK);
    }

#if !defined(_WIN32)
    // The tool lists the filter with its pins and their media types.
    std::string listing = ToolOutput(" --list");
    EXPECT_NE(listing.find("ZAvovoz Evir Adivizu {A4BFE317-D4A4-41BC-9926-20C0432AA2CF} merit 0x00600000"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("input pin \"Input\"\n    Audio {73647561-0000-0010-8000-00AA00389B71} / B-Format PCM"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("output pin \"Output\""), std::string::npos) << listing;
    EXPECT_EQ(listing.find("Properties"), std::string::npos) << "the page is no filter";

    // With nothing of it alive, the runtime lets the module go.
    CoFreeUnusedLibraries();
    EXPECT_EQ(dlopen(MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module is unloaded";
#endif

    // Someone else's key under ours goes with it.
    CreateKey(ClassKey(kDecoder) + "\\Added\\Elsewhere");
    ASSERT_EQ(RunRegistrationTool(true), 0);
    EXPECT_FALSE(KeyExists(ClassKey(kDecoder)));
    EXPECT_FALSE(KeyExists(ClassKey(kDecoderPage)));
    EXPECT_FALSE(KeyExists(MapperEntryKey(kDecoder)));
    EXPECT_FALSE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kBFormatPcm), kDecoder));
    ComRef<IBaseFilter> gone;
    EXPECT_EQ(CoCreateInstance(kDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, gone.put_void()),
              REGDB_E_CLASSNOTREG);
}

// The filter database entry holds exactly the filter's registration record: merit
// 0x00600000, pin "Input" taking B-Format PCM and float, pin "Output" giving PCM and float,
// in the mapper's FilterData layout (the platform's own under Wine, the native mapper's
// otherwise). Nothing a host can set on a filter reaches it.
TEST_F(ModuleRegistration, TheFilterDatabaseEntryIsTheRegistrationRecordByteForByte)
{
    ASSERT_EQ(RunRegistrationTool(false), 0);
    const std::string expected =
#if defined(_WIN32)
        "020000000000600002000000000000003070693300000000010000000200000000000000000000003074793300000000"
        "8000000090000000317479330000000080000000A0000000317069330800000001000000020000000000000000000000"
        "307479330000000080000000B0000000317479330000000080000000C00000006175647300001000800000AA00389B71"
        "010000002107D3118644C8C1CA000000030000002107D3118644C8C1CA0000000100000000001000800000AA00389B71"
        "0300000000001000800000AA00389B71"
#else
        "020000000000600002000000000000000000000000000000020000000000000000000000050000000000000000000000"
        "0000000000000000000000000000000000000000000000000000000049006E0070007500740061756473000010008000"
        "00AA00389B71010000002107D3118644C8C1CA0000006175647300001000800000AA00389B71030000002107D3118644"
        "C8C1CA000000080000000000000002000000000000000000000006000000000000000000000000000000000000000000"
        "0000000000000000000000000000000000004F00750074007000750074006175647300001000800000AA00389B710100"
        "000000001000800000AA00389B716175647300001000800000AA00389B710300000000001000800000AA00389B71"
#endif
        ;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, MapperEntryKey(kDecoder).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE data[1024];
    DWORD size = sizeof data, type = 0;
    const LONG rc = RegQueryValueExA(key, "FilterData", nullptr, &type, data, &size);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    std::string hex;
    for (DWORD i = 0; i < size; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", data[i]);
        hex += two;
    }
    EXPECT_EQ(hex, expected);
    EXPECT_EQ(ReadString(MapperEntryKey(kDecoder), "FriendlyName"), "ZAvovoz Evir Adivizu");
    EXPECT_EQ(ReadString(MapperEntryKey(kDecoder), "CLSID"), GuidString(kDecoder));
}

TEST_F(ModuleRegistration, UnregisteringAnUnregisteredModuleSucceeds)
{
    if (Registered()) {
        ASSERT_EQ(RunRegistrationTool(true), 0);
    }
    EXPECT_EQ(RunRegistrationTool(true), 0);
    EXPECT_FALSE(KeyExists(ClassKey(kDecoder)));
}

#if !defined(_WIN32)
TEST_F(ModuleRegistration, TheRegistrationToolExplainsWhatWentWrong)
{
    int status = 0;
    std::string output = ToolOutput(" /no/such/module.so", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("cannot find /no/such/module.so"), std::string::npos) << output;

    output = ToolOutput(std::string(" '") + PLATFORM_LIBRARY_PATH + "'", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("has no DllRegisterServer entry point"), std::string::npos) << output;

    ToolOutput(" --bogus", &status);
    EXPECT_EQ(status, 2) << "usage";

    // A damaged store: registration fails and says where the store is.
    char location[4096];
    RegistryStoreLocation(location, sizeof location);
    ASSERT_EQ(RunRegistrationTool(false), 0);
    FILE* store = std::fopen(location, "wb");
    ASSERT_NE(store, nullptr);
    std::fputs("damaged\n", store);
    std::fclose(store);
    output = ToolOutput(std::string(" '") + MODULE_PATH + "'", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("0x800703F1 (the registry store is damaged)"), std::string::npos) << output;
    EXPECT_NE(output.find(location), std::string::npos) << output;
    ToolOutput(" --list", &status);
    EXPECT_NE(status, 0);

    // A store that cannot be written (its directory would have to be made inside a file).
    const std::string blocked = std::string(location) + ".blocked";
    setenv("DURAZODO_REGISTRY", (blocked + "/store").c_str(), 1);
    FILE* file = std::fopen(blocked.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    output = ToolOutput(std::string(" '") + MODULE_PATH + "'", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("0x800703F5 (the registry store cannot be written)"), std::string::npos) << output;
    std::remove(blocked.c_str());
}
#endif

}  // namespace
