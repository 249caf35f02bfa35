// Self-registration over a template table of test classes, against the platform's registry
// and filter mapper: natively a private registry store, under Wine the prefix's registry.
#include "com/setup.h"

#include <gtest/gtest.h>

#include <string>

#include "com_test_support.h"

namespace {

using namespace com_test;

const CLSID kFilterClass = {0x5E1F0201, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x01}};
const CLSID kPageClass = {0x5E1F0202, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x02}};
const GUID kSubtypeA = {0x5E1F0211, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x11}};
const GUID kSubtypeB = {0x5E1F0212, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x12}};
const GUID kSubtypeOut = {0x5E1F0213, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x13}};

const AMOVIESETUP_MEDIATYPE kTypes[] = {
    {&MEDIATYPE_Audio, &kSubtypeA},
    {&MEDIATYPE_Audio, &kSubtypeB},
    {&MEDIATYPE_Audio, &kSubtypeOut},
};
WCHAR kInput[] = WIDE("Input");
WCHAR kOutput[] = WIDE("Output");
const AMOVIESETUP_PIN kPins[] = {
    {kInput, FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 2, &kTypes[0]},
    {kOutput, FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kTypes[2]},
};
const AMOVIESETUP_FILTER kFilter = {&kFilterClass, WIDE("Setup Test Filter"), MERIT_NORMAL, 2, kPins};

CUnknown* WINAPI CreateNothing(LPUNKNOWN, HRESULT* phr)
{
    *phr = E_NOTIMPL;
    return nullptr;
}

const CFactoryTemplate kTemplates[] = {
    {WIDE("Setup Test Filter"), &kFilterClass, CreateNothing, nullptr, &kFilter},
    {WIDE("Setup Test Page"), &kPageClass, CreateNothing, nullptr, nullptr},
};
const int kCount = 2;

std::string ThisModulePath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

class SelfRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(_WIN32)
        UsePrivateRegistry(::testing::UnitTest::GetInstance()->current_test_info()->name());
#endif
        Clean();
    }
    void TearDown() override
    {
#if !defined(_WIN32)
        RegistrySetWriteHook(nullptr);
        FilterMapperSetMapper2Available(TRUE);
#endif
        Clean();
    }
    static void Clean()
    {
        for (const CLSID* clsid : {&kFilterClass, &kPageClass}) {
            RemoveTree(HKEY_CLASSES_ROOT, ClassKey(*clsid));
            RemoveTree(HKEY_CLASSES_ROOT, MapperEntryKey(*clsid));
            RemoveTree(HKEY_CLASSES_ROOT, "Filter\\" + GuidString(*clsid));
        }
    }
    static HRESULT Register() { return AMovieDllRegisterServer2(kTemplates, kCount, TRUE); }
    static HRESULT Unregister() { return AMovieDllRegisterServer2(kTemplates, kCount, FALSE); }
};

TEST_F(SelfRegistration, WritesEachClassAsAnInProcessServerAndEntersOnlyTheFilter)
{
    ASSERT_EQ(Register(), S_OK);
    ASSERT_EQ(Register(), S_OK) << "registering again overwrites the same entries";

    const char* names[] = {"Setup Test Filter", "Setup Test Page"};
    const CLSID* classes[] = {&kFilterClass, &kPageClass};
    for (int i = 0; i < 2; ++i) {
        std::string key = ClassKey(*classes[i]);
        EXPECT_EQ(ReadString(key, nullptr), names[i]);
        EXPECT_EQ(NormalisedPath(ReadString(key + "\\InprocServer32", nullptr)), NormalisedPath(ThisModulePath()));
        EXPECT_EQ(ReadString(key + "\\InprocServer32", "ThreadingModel"), "Both");
    }

    EXPECT_TRUE(KeyExists(MapperEntryKey(kFilterClass)));
    EXPECT_FALSE(KeyExists(MapperEntryKey(kPageClass))) << "the page has no setup record";
    EXPECT_TRUE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kSubtypeA), kFilterClass));
    EXPECT_TRUE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kSubtypeB), kFilterClass));
    EXPECT_FALSE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kSubtypeOut), kFilterClass)) << "an output type";

#if !defined(_WIN32)
    REGFILTER2* description = nullptr;
    LPWSTR name = nullptr;
    ASSERT_EQ(FilterMapperDescribeFilter(kFilterClass, &description, &name), S_OK);
    EXPECT_EQ(std::basic_string<WCHAR>(name), WIDE("Setup Test Filter"));
    EXPECT_EQ(description->dwMerit, static_cast<DWORD>(MERIT_NORMAL));
    ASSERT_EQ(description->cPins, 2u);
    EXPECT_EQ(std::basic_string<WCHAR>(description->rgPins[0].strName), WIDE("Input"));
    EXPECT_FALSE(description->rgPins[0].bOutput);
    ASSERT_EQ(description->rgPins[0].nMediaTypes, 2u);
    EXPECT_TRUE(IsEqualGUID(*description->rgPins[0].lpMediaType[1].clsMinorType, kSubtypeB));
    EXPECT_EQ(std::basic_string<WCHAR>(description->rgPins[1].strName), WIDE("Output"));
    EXPECT_TRUE(description->rgPins[1].bOutput);
    CoTaskMemFree(description);
    CoTaskMemFree(name);
#endif
}

TEST_F(SelfRegistration, UnregisteringRemovesTheClassKeysWithEverythingUnderThemAndTheFilter)
{
    ASSERT_EQ(Register(), S_OK);
    // Keys and values that other software put under ours go with them.
    CreateKey(ClassKey(kFilterClass) + "\\Added\\By\\Someone");
    CreateKey(ClassKey(kPageClass) + "\\InprocServer32\\Extra");

    ASSERT_EQ(Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(ClassKey(kFilterClass)));
    EXPECT_FALSE(KeyExists(ClassKey(kPageClass)));
    EXPECT_FALSE(KeyExists(MapperEntryKey(kFilterClass)));
    EXPECT_FALSE(Contains(FiltersTakingInput(MEDIATYPE_Audio, kSubtypeA), kFilterClass));
}

TEST_F(SelfRegistration, UnregisteringAModuleThatWasNeverRegisteredSucceeds)
{
    EXPECT_EQ(Unregister(), S_OK);
    ASSERT_EQ(Register(), S_OK);
    ASSERT_EQ(Unregister(), S_OK);
    EXPECT_EQ(Unregister(), S_OK) << "a second time";
}

TEST_F(SelfRegistration, KeyTreeRemovalHandlesAnEmptyPathAndAMissingKey)
{
    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, ""), E_FAIL);
    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, nullptr), E_FAIL);
    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, ClassKey(kFilterClass).c_str()), S_OK);
    EXPECT_EQ(RemoveServerKey(kFilterClass), S_OK);
    EXPECT_EQ(AMovieSetupRegisterFilter2(nullptr, nullptr, TRUE), S_FALSE);
}

// A factory that refuses to create anything, put in place of the newer filter mapper.
class RefusingFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // A system whose mapper class does not offer the newer interface.
    STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

TEST_F(SelfRegistration, WithoutTheNewerMapperTheFilterGoesToTheFirstGenerationMapper)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
#if defined(_WIN32)
    RefusingFactory refusing;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_FilterMapper2, &refusing, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    IUnknown* probe = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&probe)))) {
        probe->Release();
        CoRevokeClassObject(cookie);
        CoUninitialize();
        GTEST_SKIP() << "the platform does not let a test hide its filter mapper";
    }
#else
    FilterMapperSetMapper2Available(FALSE);
#endif

    HRESULT registered = Register();
    bool legacyEntry = KeyExists("Filter\\" + GuidString(kFilterClass));
    bool pinType = KeyExists(ClassKey(kFilterClass) + "\\Pins\\Input\\Types\\" + GuidString(MEDIATYPE_Audio) + "\\" +
                             GuidString(kSubtypeB));
    bool newerEntry = KeyExists(MapperEntryKey(kFilterClass));
    HRESULT unregistered = Unregister();
    bool legacyGone = !KeyExists("Filter\\" + GuidString(kFilterClass)) && !KeyExists(ClassKey(kFilterClass));

#if defined(_WIN32)
    CoRevokeClassObject(cookie);
#else
    FilterMapperSetMapper2Available(TRUE);
#endif
    CoUninitialize();

    EXPECT_EQ(registered, S_OK);
    EXPECT_TRUE(legacyEntry) << "filter entered one call at a time";
    EXPECT_TRUE(pinType) << "pins and their media types too";
    EXPECT_FALSE(newerEntry);
    EXPECT_EQ(unregistered, S_OK);
    EXPECT_TRUE(legacyGone);
}

TEST_F(SelfRegistration, LeavesACallersComInitialisationAsItFoundIt)
{
    // A caller in the other concurrency model: the routine's own initialisation fails and
    // must not be undone, or the caller would lose its own.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(Register(), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the caller's COM is still initialised";
    CoUninitialize();
    CoUninitialize();

    // A caller without COM: what the routine initialises it uninitialises.
    EXPECT_EQ(Unregister(), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "nothing left initialised";
    CoUninitialize();
}

#if !defined(_WIN32)

std::string g_refusedPath;

LONG RefuseChangesUnder(LPCSTR operation, LPCWSTR keyPath, LPCSTR)
{
    std::string path;
    for (const WCHAR* p = keyPath; *p; ++p) path += static_cast<char>(*p);
    bool refused = path.compare(0, g_refusedPath.size(), g_refusedPath) == 0;
    (void)operation;
    return refused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

TEST_F(SelfRegistration, AServerKeyThatCannotBeWrittenStopsRegistrationBeforeTheMapper)
{
    g_refusedPath = ClassKey(kPageClass);
    RegistrySetWriteHook(RefuseChangesUnder);
    EXPECT_EQ(Register(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    RegistrySetWriteHook(nullptr);
    EXPECT_EQ(ReadString(ClassKey(kFilterClass), nullptr), "Setup Test Filter") << "keys already written stay";
    EXPECT_FALSE(KeyExists(MapperEntryKey(kFilterClass))) << "the mapper is not touched";
}

LONG RefuseDeletingSticky(LPCSTR operation, LPCWSTR keyPath, LPCSTR)
{
    std::u16string path(keyPath);
    bool sticky = path.size() >= 7 && path.compare(path.size() - 7, 7, u"\\Sticky") == 0;
    return std::string(operation) == "delete" && sticky ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

TEST_F(SelfRegistration, AKeyThatSurvivesItsDeletionEndsTheRemovalAndIsReported)
{
    ASSERT_EQ(Register(), S_OK);
    std::string key = ClassKey(kFilterClass);
    CreateKey(key + "\\Alpha\\Inner");
    CreateKey(key + "\\Sticky\\Inner");
    CreateKey(key + "\\Zulu");
    RegistrySetWriteHook(RefuseDeletingSticky);

    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, key.c_str()), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(KeyExists(key + "\\Alpha"));
    EXPECT_FALSE(KeyExists(key + "\\Zulu")) << "children after the survivor are still removed";
    EXPECT_FALSE(KeyExists(key + "\\Sticky\\Inner"));
    EXPECT_TRUE(KeyExists(key + "\\Sticky"));
    EXPECT_EQ(RemoveServerKey(kFilterClass), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Unregister(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "a key left behind is not success";
    RegistrySetWriteHook(nullptr);
}

LONG FailDeletingSticky(LPCSTR operation, LPCWSTR keyPath, LPCSTR)
{
    std::u16string path(keyPath);
    bool sticky = path.size() >= 7 && path.compare(path.size() - 7, 7, u"\\Sticky") == 0;
    return std::string(operation) == "delete" && sticky ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

TEST_F(SelfRegistration, TheRemovalReportsWhyASubkeyStayedRatherThanThatItsParentCouldNotGo)
{
    ASSERT_EQ(Register(), S_OK);
    std::string key = ClassKey(kFilterClass);
    CreateKey(key + "\\Sticky");
    RegistrySetWriteHook(FailDeletingSticky);
    EXPECT_EQ(RemoveServerKey(kFilterClass), HRESULT_FROM_WIN32(ERROR_CANTWRITE));
    EXPECT_EQ(Unregister(), HRESULT_FROM_WIN32(ERROR_CANTWRITE));
    RegistrySetWriteHook(nullptr);
    EXPECT_TRUE(KeyExists(key + "\\Sticky"));
    EXPECT_EQ(Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(key));
}

TEST_F(SelfRegistration, ADamagedRegistryStoreFailsRegistrationAndUnregistration)
{
    ASSERT_EQ(Register(), S_OK);
    char location[4096];
    RegistryStoreLocation(location, sizeof location);
    FILE* store = std::fopen(location, "wb");
    ASSERT_NE(store, nullptr);
    std::fputs("damaged\n", store);
    std::fclose(store);
    EXPECT_EQ(Register(), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(Unregister(), HRESULT_FROM_WIN32(ERROR_BADDB));
}

#endif

}  // namespace
