// OLE interfaces for the native build: persistence (IPersist, IPersistStream), byte streams
// (ISequentialStream, IStream), enumerators of objects and monikers, and IDispatch, whose
// automation types are opaque here because nothing in the module calls through them.
#pragma once

#include "platform/native/base.h"
#include "platform/native/com.h"

// ---- Automation types IDispatch names but nothing here looks inside --------------------

typedef LONG DISPID;
typedef DISPID MEMBERID;
struct tagVARIANT;
typedef struct tagVARIANT VARIANT;
typedef VARIANT VARIANTARG;
struct tagDISPPARAMS;
typedef struct tagDISPPARAMS DISPPARAMS;
struct tagEXCEPINFO;
typedef struct tagEXCEPINFO EXCEPINFO;
struct ITypeInfo;

// ---- Streams --------------------------------------------------------------------------

typedef struct tagSTATSTG {
    LPOLESTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
} STATSTG;

typedef enum tagSTGTY {
    STGTY_STORAGE = 1,
    STGTY_STREAM = 2,
    STGTY_LOCKBYTES = 3,
    STGTY_PROPERTY = 4
} STGTY;

typedef enum tagSTREAM_SEEK {
    STREAM_SEEK_SET = 0,
    STREAM_SEEK_CUR = 1,
    STREAM_SEEK_END = 2
} STREAM_SEEK;

typedef enum tagLOCKTYPE {
    LOCK_WRITE = 1,
    LOCK_EXCLUSIVE = 2,
    LOCK_ONLYONCE = 4
} LOCKTYPE;

typedef enum tagSTGC {
    STGC_DEFAULT = 0,
    STGC_OVERWRITE = 1,
    STGC_ONLYIFCURRENT = 2,
    STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4,
    STGC_CONSOLIDATE = 8
} STGC;

typedef enum tagSTATFLAG {
    STATFLAG_DEFAULT = 0,
    STATFLAG_NONAME = 1,
    STATFLAG_NOOPEN = 2
} STATFLAG;

struct ISequentialStream : public IUnknown {
    STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) PURE;
    STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) PURE;
};

struct IStream : public ISequentialStream {
    STDMETHOD(Seek)(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) PURE;
    STDMETHOD(SetSize)(ULARGE_INTEGER libNewSize) PURE;
    STDMETHOD(CopyTo)(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) PURE;
    STDMETHOD(Commit)(DWORD grfCommitFlags) PURE;
    STDMETHOD(Revert)() PURE;
    STDMETHOD(LockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(UnlockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) PURE;
    STDMETHOD(Clone)(IStream** ppstm) PURE;
};
typedef IStream* LPSTREAM;

// A stream over memory. Only a null hGlobal is supported: the stream then allocates a block
// of its own that grows as it is written and is freed with the stream's last reference
// (fDeleteOnRelease has nothing else to free). A non-null hGlobal gives E_INVALIDARG, as
// does a null ppstm. Read returns S_FALSE when it delivers fewer bytes than asked for.
PLATFORM_API HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);

// ---- Persistence ----------------------------------------------------------------------

struct IPersist : public IUnknown {
    STDMETHOD(GetClassID)(CLSID* pClassID) PURE;
};
typedef IPersist* LPPERSIST;

struct IPersistStream : public IPersist {
    STDMETHOD(IsDirty)() PURE;
    STDMETHOD(Load)(IStream* pStm) PURE;
    STDMETHOD(Save)(IStream* pStm, BOOL fClearDirty) PURE;
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* pcbSize) PURE;
};
typedef IPersistStream* LPPERSISTSTREAM;

// ---- Enumerators ----------------------------------------------------------------------

struct IEnumUnknown : public IUnknown {
    STDMETHOD(Next)(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumUnknown** ppenum) PURE;
};
typedef IEnumUnknown* LPENUMUNKNOWN;

// Monikers only pass through the filter mapper's interface; they stay opaque.
struct IMoniker;
typedef IMoniker* LPMONIKER;

struct IEnumMoniker : public IUnknown {
    STDMETHOD(Next)(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumMoniker** ppenum) PURE;
};
typedef IEnumMoniker* LPENUMMONIKER;

// ---- Automation -----------------------------------------------------------------------

struct IDispatch : public IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) PURE;
    STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) PURE;
};
typedef IDispatch* LPDISPATCH;

PLATFORM_EXTERN_GUID(IID_ISequentialStream);
PLATFORM_EXTERN_GUID(IID_IStream);
PLATFORM_EXTERN_GUID(IID_IPersist);
PLATFORM_EXTERN_GUID(IID_IPersistStream);
PLATFORM_EXTERN_GUID(IID_IEnumUnknown);
PLATFORM_EXTERN_GUID(IID_IEnumMoniker);
PLATFORM_EXTERN_GUID(IID_IDispatch);
