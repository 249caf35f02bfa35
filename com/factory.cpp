#include "com/factory.h"

#include <new>

LONG ServerLockCount = 0;

namespace {

// The interfaces a class factory answers.
bool IsFactoryInterface(REFIID riid) { return IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory); }

}  // namespace

CClassFactory::CClassFactory(const CFactoryTemplate* pTemplate)
    : CBaseObject("Class factory"), m_pTemplate(pTemplate), m_cRef(0)
{
}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsFactoryInterface(riid)) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CClassFactory::Release()
{
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter && !IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* object = nullptr;
    try {
        object = m_pTemplate->CreateInstance(pUnkOuter, &hr);
    } catch (const std::bad_alloc&) {
        // A creation function that lets an allocation failure escape.
        object = nullptr;
        hr = E_OUTOFMEMORY;
    }
    if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete object;  // never referenced: its count is still 0
        return hr;
    }

    // Hold the object across its preparation and the query: an inner object they create and
    // release must not take the new object's count (or the outer object's) to zero. When
    // either fails, this release destroys the object.
    object->NonDelegatingAddRef();
    if (m_pTemplate->m_lpfnPrepare) hr = m_pTemplate->m_lpfnPrepare(object->GetNonDelegatingUnknown());
    if (SUCCEEDED(hr)) hr = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock) InterlockedIncrement(&ServerLockCount);
    else InterlockedDecrement(&ServerLockCount);
    return S_OK;
}

HRESULT GetClassObjectFromTemplates(const CFactoryTemplate* templates, int count, REFCLSID rclsid, REFIID riid,
                                    void** ppv)
{
    if (!ppv) return E_POINTER;
    if (!IsFactoryInterface(riid)) return E_NOINTERFACE;
    for (int i = 0; i < count; ++i) {
        if (!templates[i].IsClassID(rclsid)) continue;
        auto* factory = new (std::nothrow) CClassFactory(&templates[i]);
        *ppv = factory ? static_cast<IClassFactory*>(factory) : nullptr;
        if (!factory) return E_OUTOFMEMORY;
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadModule()
{
    if (InterlockedCompareExchange(&ServerLockCount, 0, 0) > 0) return S_FALSE;
    if (CBaseObject::ObjectsActive() != 0) return S_FALSE;
    return S_OK;
}

void InitTemplateClasses(const CFactoryTemplate* templates, int count, BOOL bLoading)
{
    for (int i = 0; i < count; ++i)
        if (templates[i].m_lpfnInit) templates[i].m_lpfnInit(bLoading, templates[i].m_ClsID);
}

BOOL ModuleEntryPoint(const CFactoryTemplate* templates, int count, HINSTANCE hInstance, DWORD dwReason)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH: {
        DisableThreadLibraryCalls(hInstance);
        PlatformId = VER_PLATFORM_WIN32_WINDOWS;
        OSVERSIONINFOA version = {};
        version.dwOSVersionInfoSize = sizeof version;
        if (GetVersionExA(&version)) PlatformId = version.dwPlatformId;
        ModuleInstance = hInstance;
        InitTemplateClasses(templates, count, TRUE);
        break;
    }
    case DLL_PROCESS_DETACH:
        InitTemplateClasses(templates, count, FALSE);
        break;
    default:
        break;
    }
    return TRUE;
}
