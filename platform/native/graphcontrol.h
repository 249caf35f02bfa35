// The filter graph's automation interfaces for the native build: running and stopping the
// graph (IMediaControl), its event queue (IMediaEvent, IMediaEventEx) and positioning in
// seconds (IMediaPosition).
#pragma once

#include "platform/native/base.h"
#include "platform/native/ole.h"
#include "platform/native/media.h"

typedef LONG OAFilterState;
typedef LONG_PTR OAHWND;
typedef LONG_PTR OAEVENT;

struct IMediaControl : public IDispatch {
    STDMETHOD(Run)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD(GetState)(LONG msTimeout, OAFilterState* pfs) PURE;
    STDMETHOD(RenderFile)(BSTR strFilename) PURE;
    STDMETHOD(AddSourceFilter)(BSTR strFilename, IDispatch** ppUnk) PURE;
    STDMETHOD(get_FilterCollection)(IDispatch** ppUnk) PURE;
    STDMETHOD(get_RegFilterCollection)(IDispatch** ppUnk) PURE;
    STDMETHOD(StopWhenReady)() PURE;
};

struct IMediaEvent : public IDispatch {
    STDMETHOD(GetEventHandle)(OAEVENT* hEvent) PURE;
    STDMETHOD(GetEvent)(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) PURE;
    STDMETHOD(WaitForCompletion)(LONG msTimeout, LONG* pEvCode) PURE;
    STDMETHOD(CancelDefaultHandling)(LONG lEvCode) PURE;
    STDMETHOD(RestoreDefaultHandling)(LONG lEvCode) PURE;
    STDMETHOD(FreeEventParams)(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) PURE;
};

// Flag of IMediaEventEx::SetNotifyFlags: post no window message for queued events.
enum tagAM_MEDIAEVENT_FLAGS {
    AM_MEDIAEVENT_NONOTIFY = 0x1
};

struct IMediaEventEx : public IMediaEvent {
    STDMETHOD(SetNotifyWindow)(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) PURE;
    STDMETHOD(SetNotifyFlags)(LONG lNoNotifyFlags) PURE;
    STDMETHOD(GetNotifyFlags)(LONG* lplNoNotifyFlags) PURE;
};

struct IMediaPosition : public IDispatch {
    STDMETHOD(get_Duration)(REFTIME* plength) PURE;
    STDMETHOD(put_CurrentPosition)(REFTIME llTime) PURE;
    STDMETHOD(get_CurrentPosition)(REFTIME* pllTime) PURE;
    STDMETHOD(get_StopTime)(REFTIME* pllTime) PURE;
    STDMETHOD(put_StopTime)(REFTIME llTime) PURE;
    STDMETHOD(get_PrerollTime)(REFTIME* pllTime) PURE;
    STDMETHOD(put_PrerollTime)(REFTIME llTime) PURE;
    STDMETHOD(put_Rate)(double dRate) PURE;
    STDMETHOD(get_Rate)(double* pdRate) PURE;
    STDMETHOD(CanSeekForward)(LONG* pCanSeekForward) PURE;
    STDMETHOD(CanSeekBackward)(LONG* pCanSeekBackward) PURE;
};

PLATFORM_EXTERN_GUID(IID_IMediaControl);
PLATFORM_EXTERN_GUID(IID_IMediaEvent);
PLATFORM_EXTERN_GUID(IID_IMediaEventEx);
PLATFORM_EXTERN_GUID(IID_IMediaPosition);
