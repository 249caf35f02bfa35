// The base of every COM object the module hands out: module-wide values, the live-object
// count, and an IUnknown implementation that works stand-alone or aggregated.
#pragma once

#include "platform/platform.h"

// Recorded when the module is loaded: its instance handle and the operating system's
// platform id (1 for the Windows 9x family, 2 for the NT family).
extern HINSTANCE ModuleInstance;
extern DWORD PlatformId;

// Number of live CBaseObjects in this module; changed only by atomic increment and
// decrement. The module may be unloaded only while it is zero.
extern LONG ActiveObjectCount;

// Counts itself in ActiveObjectCount for its whole life.
class CBaseObject {
public:
    // The debug name is accepted and ignored.
    explicit CBaseObject(const char* name);
    ~CBaseObject();

    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    static LONG ObjectsActive();
};

// An object's own IUnknown operations, in IUnknown's slot order. They act on the object
// itself even when it is aggregated, where its IUnknown methods act on the outer object.
struct INonDelegatingUnknown {
    STDMETHOD(NonDelegatingQueryInterface)(REFIID riid, void** ppv) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)() PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)() PURE;

protected:
    ~INonDelegatingUnknown() = default;
};

// A reference-counted COM object. It starts with a count of 0 (its creator takes the first
// reference) and destroys itself when the count returns to 0.
//
// Its identity IUnknown, GetNonDelegatingUnknown(), is a genuine IUnknown whose methods are
// the non-delegating ones. Every other interface of a derived class forwards its IUnknown
// methods to GetOwner() (see DECLARE_IUNKNOWN): the object itself when stand-alone, the
// outer object when aggregated.
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // `outer` is the controlling object when this one is created aggregated, else null.
    CUnknown(const char* name, IUnknown* outer);
    virtual ~CUnknown() = default;

    // Answers IID_IUnknown with the identity; anything else clears *ppv and gives
    // E_NOINTERFACE. Derived classes answer their own interfaces and pass the rest here.
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    IUnknown* GetOwner() const { return m_pUnknown; }
    IUnknown* GetNonDelegatingUnknown() { return &m_Identity; }

private:
    // The object's identity as an IUnknown that maps each call to its non-delegating twin.
    class CIdentity final : public IUnknown {
    public:
        explicit CIdentity(CUnknown* object) : m_pObject(object) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            return m_pObject->NonDelegatingQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return m_pObject->NonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_pObject->NonDelegatingRelease(); }

    private:
        CUnknown* const m_pObject;
    };

    IUnknown* const m_pUnknown;
    LONG volatile m_cRef;
    CIdentity m_Identity;
};

// Hands out `unk` through `ppv` with one reference added through `unk` itself, so for any
// interface but the identity the owner's count rises. E_POINTER for a null `ppv` (no
// reference taken); E_NOINTERFACE with *ppv cleared for a null `unk`.
HRESULT GetInterface(IUnknown* unk, void** ppv);

// The IUnknown methods of every interface a CUnknown-derived class implements: each
// forwards unchanged to GetOwner(). Place it in the class body.
#define DECLARE_IUNKNOWN                                                           \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override                  \
    {                                                                              \
        return GetOwner()->QueryInterface(riid, ppv);                              \
    }                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }        \
    STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }
