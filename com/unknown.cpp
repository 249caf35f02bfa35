#include "com/unknown.h"

HINSTANCE ModuleInstance = nullptr;
DWORD PlatformId = 0;
LONG ActiveObjectCount = 0;

namespace {

// A living object never reports a count below 1.
ULONG AtLeastOne(LONG count)
{
    ULONG value = static_cast<ULONG>(count);
    return value > 1 ? value : 1;
}

}  // namespace

CBaseObject::CBaseObject(const char*) { InterlockedIncrement(&ActiveObjectCount); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&ActiveObjectCount); }

LONG CBaseObject::ObjectsActive() { return InterlockedCompareExchange(&ActiveObjectCount, 0, 0); }

CUnknown::CUnknown(const char* name, IUnknown* outer)
    : CBaseObject(name), m_pUnknown(outer ? outer : &m_Identity), m_cRef(0), m_Identity(this)
{
}

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) return GetInterface(&m_Identity, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() { return AtLeastOne(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease()
{
    // The result comes from the decrement alone: once it is made, another thread may
    // release and destroy the object.
    LONG count = InterlockedDecrement(&m_cRef);
    if (count != 0) return AtLeastOne(count);

    // Raise the count before destruction so that an AddRef/Release pair made while the
    // destructor runs cannot bring it to zero a second time.
    m_cRef = 1;
    delete this;
    return 0;
}

HRESULT GetInterface(IUnknown* unk, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = unk;
    if (!unk) return E_NOINTERFACE;
    unk->AddRef();
    return S_OK;
}
