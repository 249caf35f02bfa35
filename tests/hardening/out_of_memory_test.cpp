// The native platform's entry points that the module and its hosts call, each walked over
// every allocation it makes: with any one of them failing the call answers with its
// out-of-memory result (ERROR_OUTOFMEMORY from the registry, E_OUTOFMEMORY from the filter
// mapper, 0 and ERROR_NOT_ENOUGH_MEMORY from the module file name), or succeeds; no
// exception ever leaves one.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/hardening/scratch_registry.h"
#include "tests/support/failing_new.h"

namespace {

const CLSID kFilter = {0x6A1D0101, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x61}};
const CLSID kCategory = {0x6A1D0102, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x61}};

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override
    {
        test_support::FailNthNew(0);
        CoUninitialize();
    }

    // Runs `call` once for every allocation it makes, with that allocation failing (after
    // `prepare`, which runs without faults); every answer must satisfy `acceptable`.
    template <typename Prepare, typename Call, typename Acceptable>
    void WalkEveryAllocation(const char* what, Prepare prepare, Call call, Acceptable acceptable)
    {
        // Each call reads the whole store: keep it to what this call needs.
        if (m_fresh) m_store.Clear();
        for (LONG n = 1;; ++n) {
            ASSERT_LT(n, 10000) << what;
            prepare();
            long long result = 0;
            bool threw = false;
            test_support::FailNthNew(n);
            try {
                result = call();
            } catch (...) {
                threw = true;
            }
            const long calls = test_support::NewCallsCounted();
            test_support::FailNthNew(0);
            ASSERT_FALSE(threw) << what << ": an exception left the call when allocation " << n << " failed";
            ASSERT_TRUE(acceptable(result)) << what << " answered " << result << " when allocation " << n
                                            << " failed";
            if (calls < n) break;
        }
    }

    static void CreateKey(const char* path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const char text[] = "value";
        ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    const hardening::ScratchRegistry m_store{"oom"};
    bool m_fresh = true;  // each walk starts from an empty store
};

bool RegistryOk(long long rc) { return rc == ERROR_SUCCESS || rc == ERROR_OUTOFMEMORY; }

TEST_F(OutOfMemory, EveryRegistryCallAnswersWithAnErrorCode)
{
    auto none = [] {};
    auto withKey = [] { CreateKey("Walk\\Key"); };
    // The key is read after the call has filled it in.
    auto closeAfter = [](LONG rc, const HKEY* key) {
        if (rc == ERROR_SUCCESS) RegCloseKey(*key);
        return rc;
    };
    WalkEveryAllocation("RegCreateKeyExA", none, [&] {
        HKEY key = nullptr;
        return closeAfter(RegCreateKeyExA(HKEY_CLASSES_ROOT, "Walk\\Key", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &key, nullptr),
                          &key);
    }, RegistryOk);
    WalkEveryAllocation("RegCreateKeyExW", none, [&] {
        HKEY key = nullptr;
        return closeAfter(RegCreateKeyExW(HKEY_CLASSES_ROOT, WIDE("Walk\\Wide"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                          nullptr, &key, nullptr),
                          &key);
    }, RegistryOk);
    WalkEveryAllocation("RegOpenKeyExA", withKey, [&] {
        HKEY key = nullptr;
        return closeAfter(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Walk\\Key", 0, KEY_READ, &key), &key);
    }, RegistryOk);
    WalkEveryAllocation("RegOpenKeyExW", withKey, [&] {
        HKEY key = nullptr;
        return closeAfter(RegOpenKeyExW(HKEY_CLASSES_ROOT, WIDE("Walk\\Key"), 0, KEY_READ, &key), &key);
    }, RegistryOk);

    // These walk over keys that stay open across them.
    m_fresh = false;
    HKEY walk = nullptr;
    CreateKey("Walk\\Key");
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Walk", 0, KEY_ALL_ACCESS, &walk), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(walk, "Key", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const char text[] = "some text";
    WalkEveryAllocation("RegSetValueExA", none, [&] {
        return RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    }, RegistryOk);
    WalkEveryAllocation("RegSetValueExW", none, [&] {
        return RegSetValueExW(key, WIDE("Bytes"), 0, REG_BINARY, reinterpret_cast<const BYTE*>(text), sizeof text);
    }, RegistryOk);
    WalkEveryAllocation("RegQueryValueExA", none, [&] {
        char buffer[64];
        DWORD size = sizeof buffer, type = 0;
        return RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    }, RegistryOk);
    WalkEveryAllocation("RegQueryValueExW", none, [&] {
        BYTE buffer[64];
        DWORD size = sizeof buffer, type = 0;
        return RegQueryValueExW(key, WIDE("Bytes"), nullptr, &type, buffer, &size);
    }, RegistryOk);
    WalkEveryAllocation("RegEnumKeyExA", none, [&] {
        char name[64];
        DWORD length = sizeof name;
        return RegEnumKeyExA(walk, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    }, RegistryOk);
    WalkEveryAllocation("RegEnumKeyExW", none, [&] {
        WCHAR name[64];
        DWORD length = 64;
        return RegEnumKeyExW(walk, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    }, RegistryOk);
    WalkEveryAllocation("RegDeleteValueA", withKey, [&] { return RegDeleteValueA(key, "Name"); }, RegistryOk);
    WalkEveryAllocation("RegDeleteValueW", withKey, [&] { return RegDeleteValueW(key, WIDE("Name")); },
                        RegistryOk);
    RegCloseKey(key);
    WalkEveryAllocation("RegDeleteKeyA", withKey, [&] { return RegDeleteKeyA(walk, "Key"); }, RegistryOk);
    WalkEveryAllocation("RegDeleteKeyW", withKey, [&] { return RegDeleteKeyW(walk, WIDE("Key")); }, RegistryOk);
    RegCloseKey(walk);
}

TEST_F(OutOfMemory, ModuleFileNamesFailWithTheLastErrorSet)
{
    auto none = [] {};
    auto nameOrError = [](long long n) { return n > 0 || GetLastError() == ERROR_NOT_ENOUGH_MEMORY; };
    WalkEveryAllocation("GetModuleFileNameA", none, [] {
        char path[MAX_PATH];
        SetLastError(0);
        return GetModuleFileNameA(nullptr, path, MAX_PATH);
    }, nameOrError);
    WalkEveryAllocation("GetModuleFileNameW", none, [] {
        WCHAR path[MAX_PATH];
        SetLastError(0);
        return GetModuleFileNameW(nullptr, path, MAX_PATH);
    }, nameOrError);
}

TEST_F(OutOfMemory, EveryFilterMapperCallAnswersWithAnHresult)
{
    IFilterMapper2* mapper2 = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void**>(&mapper2)),
              S_OK);
    IFilterMapper* mapper = nullptr;
    ASSERT_EQ(mapper2->QueryInterface(IID_IFilterMapper, reinterpret_cast<void**>(&mapper)), S_OK);
    const HRESULT notRegistered = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    auto ok = [&](long long hr) { return hr == S_OK || hr == E_OUTOFMEMORY || hr == notRegistered; };
    auto none = [] {};

    REGPINTYPES type = {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM};
    REGFILTERPINS pin = {const_cast<LPWSTR>(WIDE("In")), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &type};
    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = MERIT_NORMAL;
    rf2.cPins = 1;
    rf2.rgPins = &pin;
    auto registered2 = [&] {
        ASSERT_EQ(mapper2->RegisterFilter(kFilter, WIDE("Walk"), nullptr, nullptr, nullptr, &rf2), S_OK);
    };
    WalkEveryAllocation("IFilterMapper2::RegisterFilter", none, [&] {
        return mapper2->RegisterFilter(kFilter, WIDE("Walk"), nullptr, nullptr, nullptr, &rf2);
    }, ok);
    WalkEveryAllocation("IFilterMapper2::UnregisterFilter", registered2,
                        [&] { return mapper2->UnregisterFilter(nullptr, nullptr, kFilter); }, ok);
    WalkEveryAllocation("IFilterMapper2::CreateCategory", none,
                        [&] { return mapper2->CreateCategory(kCategory, MERIT_NORMAL, WIDE("Walk category")); }, ok);

    auto registered = [&] {
        ASSERT_EQ(mapper->RegisterFilter(kFilter, WIDE("Walk"), MERIT_NORMAL), S_OK);
        ASSERT_EQ(mapper->RegisterPin(kFilter, WIDE("In"), FALSE, FALSE, FALSE, FALSE, CLSID_NULL, nullptr), S_OK);
    };
    WalkEveryAllocation("IFilterMapper::RegisterFilter", none,
                        [&] { return mapper->RegisterFilter(kFilter, WIDE("Walk"), MERIT_NORMAL); }, ok);
    WalkEveryAllocation("IFilterMapper::RegisterPin", none, [&] {
        return mapper->RegisterPin(kFilter, WIDE("In"), FALSE, FALSE, FALSE, FALSE, CLSID_NULL, nullptr);
    }, ok);
    WalkEveryAllocation("IFilterMapper::RegisterPinType", registered,
                        [&] { return mapper->RegisterPinType(kFilter, WIDE("In"), MEDIATYPE_Audio, MEDIASUBTYPE_PCM); },
                        ok);
    WalkEveryAllocation("IFilterMapper::UnregisterPin", registered,
                        [&] { return mapper->UnregisterPin(kFilter, WIDE("In")); }, ok);
    WalkEveryAllocation("IFilterMapper::UnregisterFilter", registered,
                        [&] { return mapper->UnregisterFilter(kFilter); }, ok);
    WalkEveryAllocation("IFilterMapper::EnumMatchingFilters", registered, [&] {
        IEnumRegFilters* filters = nullptr;
        HRESULT hr = mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL,
                                                 GUID_NULL);
        if (filters) filters->Release();
        return hr;
    }, ok);
    mapper->Release();
    mapper2->Release();
}

}  // namespace
