// The module as a COM server: the factory templates that describe its classes, the class
// factory that creates them, and the logic behind the module's entry points.
//
// The logic takes the template table as an argument, so the same code serves the module
// (whose exports bind it to g_Templates) and any other table, such as a test's.
#pragma once

#include "com/unknown.h"
#include "platform/platform.h"

struct AMOVIESETUP_FILTER;

// Creates an object, aggregated by `pUnkOuter` when that is non-null, with no reference
// taken. May store a failure code through `phr`; stores E_OUTOFMEMORY there when the object
// cannot be allocated.
typedef CUnknown*(WINAPI* LPFNNewCOMObject)(LPUNKNOWN pUnkOuter, HRESULT* phr);
// A class's start-up (bLoading TRUE, when the module loads) and shut-down routine.
typedef void(WINAPI* LPFNInitRoutine)(BOOL bLoading, const CLSID* rclsid);

// Readies a new object (its identity, held by the caller) before its creator hands it out:
// the decoder filter takes the user's stored settings here. A failure fails the creation.
typedef HRESULT (*LPFNPrepareObject)(IUnknown* identity);

// One creatable class: its name, class id, creation function, optional start-up/shut-down
// routine, for a filter its setup record, and an optional routine that readies each new
// object. Tables of these are static constants.
class CFactoryTemplate {
public:
    const WCHAR* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;
    LPFNPrepareObject m_lpfnPrepare = nullptr;

    BOOL IsClassID(REFCLSID rclsid) const { return m_ClsID && IsEqualGUID(*m_ClsID, rclsid); }

    // Null without calling the creation function when `phr` is null.
    CUnknown* CreateInstance(LPUNKNOWN pUnkOuter, HRESULT* phr) const
    {
        if (!phr) return nullptr;
        return m_lpfnNew(pUnkOuter, phr);
    }
};

// The module's classes, in the order the class factory searches them (filter/registration.cpp).
extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// Server locks taken through IClassFactory::LockServer and not yet given back. Changed only
// by atomic increment and decrement; nothing stops it from going below zero.
extern LONG ServerLockCount;

// A class factory for one template. A fresh factory is made for every DllGetClassObject
// call, and each counts in ActiveObjectCount while it lives. Any thread may use it.
class CClassFactory final : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate* pTemplate);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Creates the template's object and asks it for `riid`. An aggregated object can only be
    // created for IID_IUnknown (E_NOINTERFACE otherwise, nothing created). When the object
    // lacks `riid`, the final release of the creation destroys it.
    STDMETHODIMP CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    ~CClassFactory() = default;

    const CFactoryTemplate* const m_pTemplate;
    LONG volatile m_cRef;
};

// DllGetClassObject over a table: a new factory for the first template whose class id is
// `rclsid`. E_NOINTERFACE for interfaces other than IUnknown and IClassFactory and
// CLASS_E_CLASSNOTAVAILABLE for an unknown class, both with *ppv untouched.
HRESULT GetClassObjectFromTemplates(const CFactoryTemplate* templates, int count, REFCLSID rclsid, REFIID riid,
                                    void** ppv);

// DllCanUnloadNow: S_OK when no server lock is held and no object of the module is alive.
HRESULT CanUnloadModule();

// Calls each template's start-up/shut-down routine that is not null, in table order.
void InitTemplateClasses(const CFactoryTemplate* templates, int count, BOOL bLoading);

// DllEntryPoint over a table. At process attach: thread notifications off, PlatformId from
// the OS version query (1 when that fails), ModuleInstance, then the templates' start-up
// routines. At process detach: their shut-down routines. Always TRUE.
BOOL ModuleEntryPoint(const CFactoryTemplate* templates, int count, HINSTANCE hInstance, DWORD dwReason);
