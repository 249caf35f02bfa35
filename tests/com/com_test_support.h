// Shared by the COM server tests: registry look-ups, a private registry
// store natively, and filter look-ups through the platform's filter mapper (IFilterMapper2
// and its monikers on Windows; the first-generation IFilterMapper natively, whose platform
// has no monikers).
#pragma once

#include "framework/com_ref.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace com_test {

// An outer object that aggregates one inner object: its own IUnknown, and queries for
// anything else go to the inner object's identity. Its count is plain: it lives on the stack.
class Outer : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }

    LONG refs = 1;
    IUnknown* inner = nullptr;
};

inline std::string GuidString(REFGUID guid)
{
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    std::string narrow;
    for (int i = 0; i < 38; ++i) narrow += static_cast<char>(text[i]);
    return narrow;
}

inline std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + GuidString(clsid); }

// Where IFilterMapper2 files a filter registered without a category: the legacy filters
// category, {083863F1-70DE-11D0-BD40-00A0C911CE86}.
inline std::string MapperEntryKey(REFCLSID clsid)
{
    return "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\" + GuidString(clsid);
}

inline bool KeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A REG_SZ value as narrow text; "<missing>" when the key or value is absent.
inline std::string ReadString(const std::string& path, const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "<missing>";
    if (type != REG_SZ) return "<not a string>";
    return buffer;
}

inline void CreateKey(const std::string& path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(key);
}

// Removes a key and everything below it; false when something stayed.
inline bool RemoveTree(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return true;
    char name[256];
    DWORD length = 256;
    for (DWORD index = 0; RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = 256) {
        if (!RemoveTree(key, name)) ++index;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, path.c_str()) == ERROR_SUCCESS;
}

// Paths compare without regard to case or to the kind of slash, as Windows compares them.
inline std::string NormalisedPath(std::string path)
{
    for (auto& c : path) {
        if (c == '/') c = '\\';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return path;
}

#if !defined(_WIN32)
// Points the native registry at a store of the test's own in the temporary directory.
inline std::string UsePrivateRegistry(const std::string& tag)
{
    std::string store = ::testing::TempDir() + "com-registry-" + std::to_string(getpid()) + "-" + tag + "/store";
    setenv("DURAZODO_REGISTRY", store.c_str(), 1);
    return store;
}
#endif

// The class ids of the filters the platform's mapper finds with an input pin that takes
// (major, minor), with merit above MERIT_DO_NOT_USE.
inline std::vector<CLSID> FindFiltersTakingInput(REFGUID major, REFGUID minor)
{
    std::vector<CLSID> found;
#if defined(_WIN32)
    ComRef<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  mapper.put_void());
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return found;
    GUID types[2] = {major, minor};
    ComRef<IEnumMoniker> monikers;
    hr = mapper->EnumMatchingFilters(monikers.put(), 0, TRUE, MERIT_DO_NOT_USE + 1, TRUE, 1, types, nullptr, nullptr,
                                     FALSE, FALSE, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return found;
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        ComRef<IPropertyBag> bag;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.put_void()))) {
            VARIANT value;
            VariantInit(&value);
            CLSID clsid;
            if (SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR &&
                SUCCEEDED(CLSIDFromString(value.bstrVal, &clsid)))
                found.push_back(clsid);
            VariantClear(&value);
        }
        moniker->Release();
    }
#else
    ComRef<IFilterMapper> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  mapper.put_void());
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return found;
    ComRef<IEnumRegFilters> filters;
    hr = mapper->EnumMatchingFilters(filters.put(), MERIT_DO_NOT_USE + 1, TRUE, major, minor, FALSE, FALSE, GUID_NULL,
                                     GUID_NULL);
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return found;
    REGFILTER* entry = nullptr;
    while (filters->Next(1, &entry, nullptr) == S_OK) {
        found.push_back(entry->Clsid);
        CoTaskMemFree(entry);
    }
#endif
    return found;
}

inline std::vector<CLSID> FiltersTakingInput(REFGUID major, REFGUID minor)
{
    HRESULT init = CoInitialize(nullptr);
    std::vector<CLSID> found = FindFiltersTakingInput(major, minor);
    if (SUCCEEDED(init)) CoUninitialize();
    return found;
}

inline bool Contains(const std::vector<CLSID>& ids, REFCLSID clsid)
{
    for (const auto& id : ids)
        if (IsEqualGUID(id, clsid)) return true;
    return false;
}

}  // namespace com_test
