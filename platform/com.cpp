// The COM runtime of the native platform.
#include "platform/builtin.h"
#include "platform/inproc.h"
#include "platform/native/fault.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace platform {
namespace {

struct BuiltinEntry {
    CLSID clsid;
    CreateFunction create;
};

std::vector<BuiltinEntry>& BuiltinTable()
{
    static std::vector<BuiltinEntry> table;
    return table;
}

// Class objects registered at run time by a host or a test.
struct RegisteredClass {
    DWORD cookie;
    CLSID clsid;
    IUnknown* factory;
};

std::mutex g_registeredLock;
std::vector<RegisteredClass> g_registered;
DWORD g_nextCookie = 1;

thread_local int t_initCount = 0;
// The concurrency model the thread's first initialisation chose (COINIT_MULTITHREADED or
// COINIT_APARTMENTTHREADED); a later initialisation asking for the other one fails.
thread_local DWORD t_initModel = 0;

}  // namespace

BuiltinClass::BuiltinClass(const CLSID& clsid, CreateFunction create) { BuiltinTable().push_back({clsid, create}); }

CreateFunction FindBuiltinClass(REFCLSID clsid)
{
    for (const auto& entry : BuiltinTable())
        if (IsEqualGUID(entry.clsid, clsid)) return entry.create;
    return nullptr;
}

}  // namespace platform

using namespace platform;

LPVOID CoTaskMemAlloc(SIZE_T size)
{
    if (PlatformFaultNext(PLATFORM_FAULT_TASK_MEMORY)) return nullptr;
    return std::malloc(size ? size : 1);
}

void CoTaskMemFree(LPVOID block) { std::free(block); }

HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(LPVOID, DWORD coInit)
{
    DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (t_initCount > 0 && model != t_initModel) return RPC_E_CHANGED_MODE;
    t_initModel = model;
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize(void)
{
    if (t_initCount > 0) --t_initCount;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN factory, DWORD, DWORD, LPDWORD cookie)
{
    if (!factory || !cookie) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(g_registeredLock);
    try {
        g_registered.push_back({g_nextCookie, clsid, factory});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    *cookie = g_nextCookie++;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
    IUnknown* factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_registeredLock);
        for (auto it = g_registered.begin(); it != g_registered.end(); ++it) {
            if (it->cookie == cookie) {
                factory = it->factory;
                g_registered.erase(it);
                break;
            }
        }
    }
    if (!factory) return E_INVALIDARG;
    factory->Release();
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    IUnknown* factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_registeredLock);
        for (const auto& entry : g_registered) {
            if (IsEqualGUID(entry.clsid, clsid)) {
                factory = entry.factory;
                factory->AddRef();
                break;
            }
        }
    }
    // Not registered in this process: an in-process server named in the registry store.
    if (!factory) return GetRegisteredClassObject(clsid, riid, ppv);
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualGUID(riid, IID_IUnknown)) return E_INVALIDARG;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    if (CreateFunction create = FindBuiltinClass(clsid)) return create(outer, riid, ppv);

    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries(void) { FreeUnusedModules(); }

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity)
{
    if (!buffer || capacity < 39) return 0;
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    for (int i = 0; i < 39; ++i) buffer[i] = static_cast<OLECHAR>(text[i]);
    return 39;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid)
{
    if (!text || !clsid) return E_INVALIDARG;
    char narrow[39];
    for (int i = 0; i < 38; ++i) {
        if (text[i] == 0 || text[i] > 0x7F) return E_INVALIDARG;
        narrow[i] = static_cast<char>(text[i]);
    }
    if (text[38] != 0) return E_INVALIDARG;
    narrow[38] = 0;
    unsigned d1, d2, d3, b[8];
    int consumed = 0;
    if (std::sscanf(narrow, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &b[6], &b[7], &consumed) != 11 ||
        consumed != 38)
        return E_INVALIDARG;
    clsid->Data1 = d1;
    clsid->Data2 = static_cast<uint16_t>(d2);
    clsid->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) clsid->Data4[i] = static_cast<uint8_t>(b[i]);
    return S_OK;
}
