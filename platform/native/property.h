// Property pages for the native build: how an object names its pages
// (ISpecifyPropertyPages), the page itself (IPropertyPage) and the frame that hosts it
// (IPropertyPageSite).
#pragma once

#include "platform/native/base.h"
#include "platform/native/com.h"

// A queued window message, as a page's frame hands it on for keyboard translation.
typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *NPMSG, *LPMSG;

// A counted array of GUIDs in COM task memory; the receiver frees pElems.
typedef struct tagCAUUID {
    ULONG cElems;
    GUID* pElems;
} CAUUID, *LPCAUUID;

// What a page tells its frame about itself; the strings are in COM task memory.
typedef struct tagPROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
} PROPPAGEINFO, *LPPROPPAGEINFO;

// Flags of IPropertyPageSite::OnStatusChange.
typedef enum tagPROPPAGESTATUS {
    PROPPAGESTATUS_DIRTY = 0x1,
    PROPPAGESTATUS_VALIDATE = 0x2,
    PROPPAGESTATUS_CLEAN = 0x4
} PROPPAGESTATUS;

struct ISpecifyPropertyPages : public IUnknown {
    STDMETHOD(GetPages)(CAUUID* pPages) PURE;
};
typedef ISpecifyPropertyPages* LPSPECIFYPROPERTYPAGES;

struct IPropertyPageSite : public IUnknown {
    STDMETHOD(OnStatusChange)(DWORD dwFlags) PURE;
    STDMETHOD(GetLocaleID)(LCID* pLocaleID) PURE;
    STDMETHOD(GetPageContainer)(IUnknown** ppUnk) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;
};
typedef IPropertyPageSite* LPPROPERTYPAGESITE;

struct IPropertyPage : public IUnknown {
    STDMETHOD(SetPageSite)(IPropertyPageSite* pPageSite) PURE;
    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL bModal) PURE;
    STDMETHOD(Deactivate)() PURE;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) PURE;
    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown** ppUnk) PURE;
    STDMETHOD(Show)(UINT nCmdShow) PURE;
    STDMETHOD(Move)(LPCRECT pRect) PURE;
    STDMETHOD(IsPageDirty)() PURE;
    STDMETHOD(Apply)() PURE;
    STDMETHOD(Help)(LPCOLESTR pszHelpDir) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;
};
typedef IPropertyPage* LPPROPERTYPAGE;

PLATFORM_EXTERN_GUID(IID_ISpecifyPropertyPages);
PLATFORM_EXTERN_GUID(IID_IPropertyPageSite);
PLATFORM_EXTERN_GUID(IID_IPropertyPage);
