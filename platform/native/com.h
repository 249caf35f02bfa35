// The COM runtime for the native build: IUnknown, the class factory, task memory,
// activation and GUID strings.
#pragma once

#include "platform/native/base.h"

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) PURE;
    STDMETHOD(LockServer)(BOOL lock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;

PLATFORM_EXTERN_GUID(IID_IUnknown);
PLATFORM_EXTERN_GUID(IID_IClassFactory);

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL = 0x17
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)

typedef enum tagREGCLS {
    REGCLS_SINGLEUSE = 0,
    REGCLS_MULTIPLEUSE = 1,
    REGCLS_MULTI_SEPARATE = 2
} REGCLS;

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4
} COINIT;

PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T size);
PLATFORM_API void CoTaskMemFree(LPVOID block);

PLATFORM_API HRESULT CoInitialize(LPVOID reserved);
PLATFORM_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
PLATFORM_API void CoUninitialize(void);
PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv);
PLATFORM_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID reserved, REFIID riid, LPVOID* ppv);
PLATFORM_API HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN factory, DWORD context, DWORD flags, LPDWORD cookie);
PLATFORM_API HRESULT CoRevokeClassObject(DWORD cookie);
PLATFORM_API void CoFreeUnusedLibraries(void);

// Renders a GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; returns the characters written
// including the terminator, or 0 when the buffer holds fewer than 39.
PLATFORM_API int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity);
PLATFORM_API HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
