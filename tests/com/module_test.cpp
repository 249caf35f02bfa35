// The built module, loaded as a host loads it and reached only through its exports: which
// classes its class factory makes, and when it says it may be unloaded.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "com_test_support.h"
#include "durazodo/ambisonic_decoder.h"

namespace {


const CLSID kDecoder = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xCF}};
const CLSID kDecoderPage = {0x67919353, 0x1CA9, 0x4F07, {0xB4, 0x62, 0x12, 0x69, 0x4E, 0xC6, 0x70, 0xD2}};

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

class Module : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(_WIN32)
        m_module = LoadLibraryA(MODULE_PATH);
        ASSERT_NE(m_module, nullptr) << MODULE_PATH;
        m_getClassObject = reinterpret_cast<GetClassObjectFunction>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllGetClassObject")));
        m_canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllCanUnloadNow")));
#else
        m_module = dlopen(MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_module, nullptr) << dlerror();
        m_getClassObject = reinterpret_cast<GetClassObjectFunction>(dlsym(m_module, "DllGetClassObject"));
        m_canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(dlsym(m_module, "DllCanUnloadNow"));
#endif
        ASSERT_NE(m_getClassObject, nullptr);
        ASSERT_NE(m_canUnloadNow, nullptr);
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override
    {
        CoUninitialize();
#if defined(_WIN32)
        if (m_module) FreeLibrary(m_module);
#else
        if (m_module) dlclose(m_module);
#endif
    }

    ComRef<IClassFactory> Factory(REFCLSID clsid)
    {
        ComRef<IClassFactory> factory;
        EXPECT_EQ(m_getClassObject(clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }

#if defined(_WIN32)
    HMODULE m_module = nullptr;
#else
    void* m_module = nullptr;
#endif
    GetClassObjectFunction m_getClassObject = nullptr;
    CanUnloadNowFunction m_canUnloadNow = nullptr;
};

TEST_F(Module, MakesTheDecoderFilterAndItsPropertyPageAndNothingElse)
{
    EXPECT_EQ(m_canUnloadNow(), S_OK) << "nothing alive right after loading";

    ComRef<IClassFactory> filterFactory = Factory(kDecoder);
    ASSERT_TRUE(filterFactory);
    EXPECT_EQ(m_canUnloadNow(), S_FALSE) << "a factory is alive";
    ComRef<IBaseFilter> filter;
    ASSERT_EQ(filterFactory->CreateInstance(nullptr, IID_IBaseFilter, filter.put_void()), S_OK);
    CLSID clsid = GUID_NULL;
    ASSERT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, kDecoder));

    ComRef<IClassFactory> pageFactory = Factory(kDecoderPage);
    ASSERT_TRUE(pageFactory);
    ComRef<IPropertyPage> page;
    EXPECT_EQ(pageFactory->CreateInstance(nullptr, IID_IPropertyPage, page.put_void()), S_OK);

    void* untouched = &untouched;
    const CLSID other = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xD0}};
    EXPECT_EQ(m_getClassObject(other, IID_IClassFactory, &untouched), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(m_getClassObject(IID_IPropertyPage, IID_IClassFactory, &untouched), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(m_getClassObject(kDecoder, IID_IBaseFilter, &untouched), E_NOINTERFACE);
    EXPECT_EQ(untouched, &untouched);

    filterFactory.Reset();
    pageFactory.Reset();
    EXPECT_EQ(m_canUnloadNow(), S_FALSE) << "objects are alive";
    filter.Reset();
    page.Reset();
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

TEST_F(Module, TheFilterCanBeAggregated)
{
    ComRef<IClassFactory> factory = Factory(kDecoder);
    com_test::Outer outer;
    void* result = &result;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, &result), E_NOINTERFACE);
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);

    IBaseFilter* filter = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(outer.refs, 2) << "the filter's interfaces count on the outer object";
    filter->Release();
    EXPECT_EQ(outer.refs, 1);

    outer.inner->Release();
    outer.inner = nullptr;
    factory.Reset();
    EXPECT_EQ(m_canUnloadNow(), S_OK) << "the inner filter is gone";
}

#if !defined(_WIN32)
// The listener's stored settings reach every filter the class factory makes, stand-alone or
// aggregated, before the host holds it (natively, on a store of the test's own; under Wine the
// graph tests cover it).
TEST_F(Module, NewFiltersTakeTheUsersStoredSettings)
{
    const std::string store = ::testing::TempDir() + "module-settings-" + std::to_string(getpid()) + "/store";
    setenv("DURAZODO_REGISTRY", store.c_str(), 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, WIDE("Software\\DUrazOdo"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const WCHAR hexagon[] = WIDE("hexagon");
    const DWORD uhj = AMBISONIC_OUTPUT_UHJ_STEREO;
    ASSERT_EQ(RegSetValueExW(key, WIDE("Rig"), 0, REG_SZ, reinterpret_cast<const BYTE*>(hexagon), sizeof hexagon),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, WIDE("Output"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&uhj), sizeof uhj),
              ERROR_SUCCESS);
    const WCHAR yaw[] = WIDE("-22.5");
    ASSERT_EQ(RegSetValueExW(key, WIDE("Yaw"), 0, REG_SZ, reinterpret_cast<const BYTE*>(yaw), sizeof yaw), ERROR_SUCCESS);
    RegCloseKey(key);

    ComRef<IClassFactory> factory = Factory(kDecoder);
    ComRef<IAmbisonicDecoderLayout> layout;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IAmbisonicDecoderLayout, layout.put_void()), S_OK);
    LONG type = -1, output = -1;
    EXPECT_EQ(layout->GetDecodeType(&type), S_OK);
    EXPECT_EQ(layout->GetOutput(&output), S_OK);
    EXPECT_EQ(type, AMBISONIC_LAYOUT_HEXAGON);
    EXPECT_EQ(output, AMBISONIC_OUTPUT_UHJ_STEREO);
    ComRef<IAmbisonicDecoderRotation> rotation;
    if (layout->QueryInterface(IID_IAmbisonicDecoderRotation, rotation.put_void()) == S_OK) {
        float angles[3] = {1, 1, 1};
        EXPECT_EQ(rotation->GetRotation(&angles[0], &angles[1], &angles[2]), S_OK);
        EXPECT_EQ(angles[0], -22.5f);
        EXPECT_EQ(angles[1], 0.0f);
    }
    rotation.Reset();
    layout.Reset();

    com_test::Outer outer;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    EXPECT_EQ(outer.refs, 1) << "applying the settings gave back every reference it took on the outer object";
    IAmbisonicDecoderLayout* inner = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IAmbisonicDecoderLayout, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_EQ(inner->GetDecodeType(&type), S_OK);
    EXPECT_EQ(type, AMBISONIC_LAYOUT_HEXAGON);
    inner->Release();
    outer.inner->Release();
    outer.inner = nullptr;
    factory.Reset();

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, WIDE("Software\\DUrazOdo")), ERROR_SUCCESS);
    for (const char* file : {".user", ".user.lock"}) std::remove((store + file).c_str());
    rmdir(store.substr(0, store.rfind('/')).c_str());
    unsetenv("DURAZODO_REGISTRY");
}
#endif

}  // namespace
