// The media-graph (DirectShow) interfaces and records for the native build: media types,
// pins, filters, the filter graph, allocators and samples, clocks, quality control,
// seeking, the filter mapper and filter setup, with their identifiers.
#pragma once

#include "platform/native/base.h"
#include "platform/native/com.h"
#include "platform/native/ole.h"
#include "platform/native/mediacodes.h"

#define CHARS_IN_GUID 39
#define MAX_PIN_NAME 128
#define MAX_FILTER_NAME 128

// Stream time in units of 100 ns.
typedef LONGLONG REFERENCE_TIME;
// Stream time in seconds, as the automation interfaces give it.
typedef double REFTIME;
typedef DWORD_PTR HSEMAPHORE;
typedef DWORD_PTR HEVENT;

struct IPin;
struct IEnumPins;
struct IEnumMediaTypes;
struct IBaseFilter;
struct IFilterGraph;
struct IEnumFilters;
struct IReferenceClock;
struct IMediaSample;
struct IMemAllocator;
struct IQualityControl;

// ---- Records --------------------------------------------------------------------------

typedef struct _AMMediaType {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
} AM_MEDIA_TYPE;

typedef enum _PinDirection {
    PINDIR_INPUT = 0,
    PINDIR_OUTPUT = 1
} PIN_DIRECTION;

typedef struct _AllocatorProperties {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
} ALLOCATOR_PROPERTIES;

typedef struct _PinInfo {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
} PIN_INFO;

typedef enum _FilterState {
    State_Stopped = 0,
    State_Paused = 1,
    State_Running = 2
} FILTER_STATE;

typedef struct _FilterInfo {
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
} FILTER_INFO;

// ---- Pins and filters -----------------------------------------------------------------

struct IPin : public IUnknown {
    STDMETHOD(Connect)(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) PURE;
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) PURE;
    STDMETHOD(Disconnect)() PURE;
    STDMETHOD(ConnectedTo)(IPin** pPin) PURE;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) PURE;
    STDMETHOD(QueryPinInfo)(PIN_INFO* pInfo) PURE;
    STDMETHOD(QueryDirection)(PIN_DIRECTION* pPinDir) PURE;
    STDMETHOD(QueryId)(LPWSTR* Id) PURE;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) PURE;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) PURE;
    STDMETHOD(QueryInternalConnections)(IPin** apPin, ULONG* nPin) PURE;
    STDMETHOD(EndOfStream)() PURE;
    STDMETHOD(BeginFlush)() PURE;
    STDMETHOD(EndFlush)() PURE;
    STDMETHOD(NewSegment)(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) PURE;
};
typedef IPin* PPIN;

struct IEnumPins : public IUnknown {
    STDMETHOD(Next)(ULONG cPins, IPin** ppPins, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cPins) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumPins** ppEnum) PURE;
};
typedef IEnumPins* PENUMPINS;

struct IEnumMediaTypes : public IUnknown {
    STDMETHOD(Next)(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cMediaTypes) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumMediaTypes** ppEnum) PURE;
};
typedef IEnumMediaTypes* PENUMMEDIATYPES;

struct IFilterGraph : public IUnknown {
    STDMETHOD(AddFilter)(IBaseFilter* pFilter, LPCWSTR pName) PURE;
    STDMETHOD(RemoveFilter)(IBaseFilter* pFilter) PURE;
    STDMETHOD(EnumFilters)(IEnumFilters** ppEnum) PURE;
    STDMETHOD(FindFilterByName)(LPCWSTR pName, IBaseFilter** ppFilter) PURE;
    STDMETHOD(ConnectDirect)(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) PURE;
    STDMETHOD(Reconnect)(IPin* ppin) PURE;
    STDMETHOD(Disconnect)(IPin* ppin) PURE;
    STDMETHOD(SetDefaultSyncSource)() PURE;
};
typedef IFilterGraph* PFILTERGRAPH;

struct IEnumFilters : public IUnknown {
    STDMETHOD(Next)(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cFilters) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumFilters** ppEnum) PURE;
};
typedef IEnumFilters* PENUMFILTERS;

struct IMediaFilter : public IPersist {
    STDMETHOD(Stop)() PURE;
    STDMETHOD(Pause)() PURE;
    STDMETHOD(Run)(REFERENCE_TIME tStart) PURE;
    STDMETHOD(GetState)(DWORD dwMilliSecsTimeout, FILTER_STATE* State) PURE;
    STDMETHOD(SetSyncSource)(IReferenceClock* pClock) PURE;
    STDMETHOD(GetSyncSource)(IReferenceClock** pClock) PURE;
};
typedef IMediaFilter* PMEDIAFILTER;

struct IBaseFilter : public IMediaFilter {
    STDMETHOD(EnumPins)(IEnumPins** ppEnum) PURE;
    STDMETHOD(FindPin)(LPCWSTR Id, IPin** ppPin) PURE;
    STDMETHOD(QueryFilterInfo)(FILTER_INFO* pInfo) PURE;
    STDMETHOD(JoinFilterGraph)(IFilterGraph* pGraph, LPCWSTR pName) PURE;
    STDMETHOD(QueryVendorInfo)(LPWSTR* pVendorInfo) PURE;
};
typedef IBaseFilter* PFILTER;

struct IGraphBuilder : public IFilterGraph {
    STDMETHOD(Connect)(IPin* ppinOut, IPin* ppinIn) PURE;
    STDMETHOD(Render)(IPin* ppinOut) PURE;
    STDMETHOD(RenderFile)(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) PURE;
    STDMETHOD(AddSourceFilter)(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter** ppFilter) PURE;
    STDMETHOD(SetLogFile)(DWORD_PTR hFile) PURE;
    STDMETHOD(Abort)() PURE;
    STDMETHOD(ShouldOperationContinue)() PURE;
};

// ---- Clocks ---------------------------------------------------------------------------

struct IReferenceClock : public IUnknown {
    STDMETHOD(GetTime)(REFERENCE_TIME* pTime) PURE;
    STDMETHOD(AdviseTime)(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                          DWORD_PTR* pdwAdviseCookie) PURE;
    STDMETHOD(AdvisePeriodic)(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                              DWORD_PTR* pdwAdviseCookie) PURE;
    STDMETHOD(Unadvise)(DWORD_PTR dwAdviseCookie) PURE;
};
typedef IReferenceClock* PREFERENCECLOCK;

// ---- Samples and allocators -----------------------------------------------------------

struct IMediaSample : public IUnknown {
    STDMETHOD(GetPointer)(BYTE** ppBuffer) PURE;
    STDMETHOD_(LONG, GetSize)() PURE;
    STDMETHOD(GetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) PURE;
    STDMETHOD(SetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) PURE;
    STDMETHOD(IsSyncPoint)() PURE;
    STDMETHOD(SetSyncPoint)(BOOL bIsSyncPoint) PURE;
    STDMETHOD(IsPreroll)() PURE;
    STDMETHOD(SetPreroll)(BOOL bIsPreroll) PURE;
    STDMETHOD_(LONG, GetActualDataLength)() PURE;
    STDMETHOD(SetActualDataLength)(LONG length) PURE;
    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** ppMediaType) PURE;
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* pMediaType) PURE;
    STDMETHOD(IsDiscontinuity)() PURE;
    STDMETHOD(SetDiscontinuity)(BOOL bDiscontinuity) PURE;
    STDMETHOD(GetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) PURE;
    STDMETHOD(SetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) PURE;
};
typedef IMediaSample* PMEDIASAMPLE;

// Flags of AM_SAMPLE2_PROPERTIES::dwSampleFlags, and its stream ids.
enum tagAM_SAMPLE_PROPERTY_FLAGS {
    AM_SAMPLE_SPLICEPOINT = 0x1,
    AM_SAMPLE_PREROLL = 0x2,
    AM_SAMPLE_DATADISCONTINUITY = 0x4,
    AM_SAMPLE_TYPECHANGED = 0x8,
    AM_SAMPLE_TIMEVALID = 0x10,
    AM_SAMPLE_TIMEDISCONTINUITY = 0x40,
    AM_SAMPLE_FLUSH_ON_PAUSE = 0x80,
    AM_SAMPLE_STOPVALID = 0x100,
    AM_SAMPLE_ENDOFSTREAM = 0x200,
    AM_STREAM_MEDIA = 0,
    AM_STREAM_CONTROL = 1
};

typedef struct tagAM_SAMPLE2_PROPERTIES {
    DWORD cbData;
    DWORD dwTypeSpecificFlags;
    DWORD dwSampleFlags;
    LONG lActual;
    REFERENCE_TIME tStart;
    REFERENCE_TIME tStop;
    DWORD dwStreamId;
    AM_MEDIA_TYPE* pMediaType;
    BYTE* pbBuffer;
    LONG cbBuffer;
} AM_SAMPLE2_PROPERTIES;

struct IMediaSample2 : public IMediaSample {
    STDMETHOD(GetProperties)(DWORD cbProperties, BYTE* pbProperties) PURE;
    STDMETHOD(SetProperties)(DWORD cbProperties, const BYTE* pbProperties) PURE;
};
typedef IMediaSample2* PMEDIASAMPLE2;

// Flags of IMemAllocator::GetBuffer.
#define AM_GBF_PREVFRAMESKIPPED 1
#define AM_GBF_NOTASYNCPOINT 2
#define AM_GBF_NOWAIT 4
#define AM_GBF_NODDSURFACELOCK 8

struct IMemAllocator : public IUnknown {
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) PURE;
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* pProps) PURE;
    STDMETHOD(Commit)() PURE;
    STDMETHOD(Decommit)() PURE;
    STDMETHOD(GetBuffer)(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                         DWORD dwFlags) PURE;
    STDMETHOD(ReleaseBuffer)(IMediaSample* pBuffer) PURE;
};
typedef IMemAllocator* PMEMALLOCATOR;

struct IMemInputPin : public IUnknown {
    STDMETHOD(GetAllocator)(IMemAllocator** ppAllocator) PURE;
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) PURE;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) PURE;
    STDMETHOD(Receive)(IMediaSample* pSample) PURE;
    STDMETHOD(ReceiveMultiple)(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) PURE;
    STDMETHOD(ReceiveCanBlock)() PURE;
};
typedef IMemInputPin* PMEMINPUTPIN;

// ---- Filter setup ---------------------------------------------------------------------

struct IAMovieSetup : public IUnknown {
    STDMETHOD(Register)() PURE;
    STDMETHOD(Unregister)() PURE;
};
typedef IAMovieSetup* PAMOVIESETUP;

// ---- Seeking --------------------------------------------------------------------------

typedef enum AM_SEEKING_SeekingFlags {
    AM_SEEKING_NoPositioning = 0x0,
    AM_SEEKING_AbsolutePositioning = 0x1,
    AM_SEEKING_RelativePositioning = 0x2,
    AM_SEEKING_IncrementalPositioning = 0x3,
    AM_SEEKING_PositioningBitsMask = 0x3,
    AM_SEEKING_SeekToKeyFrame = 0x4,
    AM_SEEKING_ReturnTime = 0x8,
    AM_SEEKING_Segment = 0x10,
    AM_SEEKING_NoFlush = 0x20
} AM_SEEKING_SEEKING_FLAGS;

typedef enum AM_SEEKING_SeekingCapabilities {
    AM_SEEKING_CanSeekAbsolute = 0x1,
    AM_SEEKING_CanSeekForwards = 0x2,
    AM_SEEKING_CanSeekBackwards = 0x4,
    AM_SEEKING_CanGetCurrentPos = 0x8,
    AM_SEEKING_CanGetStopPos = 0x10,
    AM_SEEKING_CanGetDuration = 0x20,
    AM_SEEKING_CanPlayBackwards = 0x40,
    AM_SEEKING_CanDoSegments = 0x80,
    AM_SEEKING_Source = 0x100
} AM_SEEKING_SEEKING_CAPABILITIES;

struct IMediaSeeking : public IUnknown {
    STDMETHOD(GetCapabilities)(DWORD* pCapabilities) PURE;
    STDMETHOD(CheckCapabilities)(DWORD* pCapabilities) PURE;
    STDMETHOD(IsFormatSupported)(const GUID* pFormat) PURE;
    STDMETHOD(QueryPreferredFormat)(GUID* pFormat) PURE;
    STDMETHOD(GetTimeFormat)(GUID* pFormat) PURE;
    STDMETHOD(IsUsingTimeFormat)(const GUID* pFormat) PURE;
    STDMETHOD(SetTimeFormat)(const GUID* pFormat) PURE;
    STDMETHOD(GetDuration)(LONGLONG* pDuration) PURE;
    STDMETHOD(GetStopPosition)(LONGLONG* pStop) PURE;
    STDMETHOD(GetCurrentPosition)(LONGLONG* pCurrent) PURE;
    STDMETHOD(ConvertTimeFormat)(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                 const GUID* pSourceFormat) PURE;
    STDMETHOD(SetPositions)(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) PURE;
    STDMETHOD(GetPositions)(LONGLONG* pCurrent, LONGLONG* pStop) PURE;
    STDMETHOD(GetAvailable)(LONGLONG* pEarliest, LONGLONG* pLatest) PURE;
    STDMETHOD(SetRate)(double dRate) PURE;
    STDMETHOD(GetRate)(double* pdRate) PURE;
    STDMETHOD(GetPreroll)(LONGLONG* pllPreroll) PURE;
};
typedef IMediaSeeking* PMEDIASEEKING;

// The runtime's pass-through object: answers seeking calls on an output pin by forwarding
// them upstream through the filter's input pin.
struct ISeekingPassThru : public IUnknown {
    STDMETHOD(Init)(BOOL bSupportRendering, IPin* pPin) PURE;
};

// ---- Events and quality ---------------------------------------------------------------

struct IMediaEventSink : public IUnknown {
    STDMETHOD(Notify)(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) PURE;
};

typedef enum tagQualityMessageType {
    Famine = 0,
    Flood = 1
} QualityMessageType;

typedef struct tagQuality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
} Quality;

struct IQualityControl : public IUnknown {
    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) PURE;
    STDMETHOD(SetSink)(IQualityControl* piqc) PURE;
};
typedef IQualityControl* PQUALITYCONTROL;

// ---- Filter mapper --------------------------------------------------------------------

typedef struct {
    CLSID Clsid;
    LPWSTR Name;
} REGFILTER;

struct IEnumRegFilters : public IUnknown {
    STDMETHOD(Next)(ULONG cFilters, REGFILTER** apRegFilter, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cFilters) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumRegFilters** ppEnum) PURE;
};
typedef IEnumRegFilters* PENUMREGFILTERS;

enum {
    MERIT_PREFERRED = 0x800000,
    MERIT_NORMAL = 0x600000,
    MERIT_UNLIKELY = 0x400000,
    MERIT_DO_NOT_USE = 0x200000,
    MERIT_SW_COMPRESSOR = 0x100000,
    MERIT_HW_COMPRESSOR = 0x100050
};

struct IFilterMapper : public IUnknown {
    STDMETHOD(RegisterFilter)(CLSID clsid, LPCWSTR Name, DWORD dwMerit) PURE;
    STDMETHOD(RegisterFilterInstance)(CLSID clsid, LPCWSTR Name, CLSID* MRId) PURE;
    STDMETHOD(RegisterPin)(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput, BOOL bZero, BOOL bMany,
                           CLSID ConnectsToFilter, LPCWSTR ConnectsToPin) PURE;
    STDMETHOD(RegisterPinType)(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType, CLSID clsSubType) PURE;
    STDMETHOD(UnregisterFilter)(CLSID Filter) PURE;
    STDMETHOD(UnregisterFilterInstance)(CLSID MRId) PURE;
    STDMETHOD(UnregisterPin)(CLSID Filter, LPCWSTR Name) PURE;
    STDMETHOD(EnumMatchingFilters)(IEnumRegFilters** ppEnum, DWORD dwMerit, BOOL bInputNeeded, CLSID clsInMaj,
                                   CLSID clsInSub, BOOL bRender, BOOL bOutputNeeded, CLSID clsOutMaj,
                                   CLSID clsOutSub) PURE;
};

typedef struct {
    const CLSID* clsMajorType;
    const CLSID* clsMinorType;
} REGPINTYPES;

typedef struct {
    LPWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const WCHAR* strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
} REGFILTERPINS;

typedef struct {
    CLSID clsMedium;
    DWORD dw1;
    DWORD dw2;
} REGPINMEDIUM;

// Flags of REGFILTERPINS2::dwFlags.
enum {
    REG_PINFLAG_B_ZERO = 0x1,
    REG_PINFLAG_B_RENDERER = 0x2,
    REG_PINFLAG_B_MANY = 0x4,
    REG_PINFLAG_B_OUTPUT = 0x8
};

typedef struct {
    DWORD dwFlags;
    UINT cInstances;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
    UINT nMediums;
    const REGPINMEDIUM* lpMedium;
    const CLSID* clsPinCategory;
} REGFILTERPINS2;

// dwVersion 1 describes the pins with rgPins, version 2 with rgPins2.
typedef struct {
    DWORD dwVersion;
    DWORD dwMerit;
    __extension__ union {
        __extension__ struct {
            ULONG cPins;
            const REGFILTERPINS* rgPins;
        };
        __extension__ struct {
            ULONG cPins2;
            const REGFILTERPINS2* rgPins2;
        };
    };
} REGFILTER2;

struct IFilterMapper2 : public IUnknown {
    STDMETHOD(CreateCategory)(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) PURE;
    STDMETHOD(UnregisterFilter)(const CLSID* pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) PURE;
    STDMETHOD(RegisterFilter)(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker, const CLSID* pclsidCategory,
                              LPCOLESTR szInstance, const REGFILTER2* prf2) PURE;
    STDMETHOD(EnumMatchingFilters)(IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit,
                                   BOOL bInputNeeded, DWORD cInputTypes, const GUID* pInputTypes,
                                   const REGPINMEDIUM* pMedIn, const CLSID* pPinCategoryIn, BOOL bRender,
                                   BOOL bOutputNeeded, DWORD cOutputTypes, const GUID* pOutputTypes,
                                   const REGPINMEDIUM* pMedOut, const CLSID* pPinCategoryOut) PURE;
};

// ---- Identifiers ----------------------------------------------------------------------

PLATFORM_EXTERN_GUID(IID_IPin);
PLATFORM_EXTERN_GUID(IID_IEnumPins);
PLATFORM_EXTERN_GUID(IID_IEnumMediaTypes);
PLATFORM_EXTERN_GUID(IID_IFilterGraph);
PLATFORM_EXTERN_GUID(IID_IEnumFilters);
PLATFORM_EXTERN_GUID(IID_IMediaFilter);
PLATFORM_EXTERN_GUID(IID_IBaseFilter);
PLATFORM_EXTERN_GUID(IID_IGraphBuilder);
PLATFORM_EXTERN_GUID(IID_IReferenceClock);
PLATFORM_EXTERN_GUID(IID_IMediaSample);
PLATFORM_EXTERN_GUID(IID_IMediaSample2);
PLATFORM_EXTERN_GUID(IID_IMemAllocator);
PLATFORM_EXTERN_GUID(IID_IMemInputPin);
PLATFORM_EXTERN_GUID(IID_IAMovieSetup);
PLATFORM_EXTERN_GUID(IID_IMediaSeeking);
PLATFORM_EXTERN_GUID(IID_ISeekingPassThru);
PLATFORM_EXTERN_GUID(IID_IMediaEventSink);
PLATFORM_EXTERN_GUID(IID_IQualityControl);
PLATFORM_EXTERN_GUID(IID_IEnumRegFilters);
PLATFORM_EXTERN_GUID(IID_IFilterMapper);
PLATFORM_EXTERN_GUID(IID_IFilterMapper2);

// Runtime classes.
PLATFORM_EXTERN_GUID(CLSID_MemoryAllocator);
PLATFORM_EXTERN_GUID(CLSID_SeekingPassThru);
PLATFORM_EXTERN_GUID(CLSID_SystemClock);
PLATFORM_EXTERN_GUID(CLSID_FilterGraph);
PLATFORM_EXTERN_GUID(CLSID_FilterMapper);
PLATFORM_EXTERN_GUID(CLSID_FilterMapper2);
// The category IFilterMapper2 files a filter under when it is given none.
PLATFORM_EXTERN_GUID(CLSID_LegacyAmFilterCategory);

// Media types, subtypes and format types.
#define MEDIATYPE_NULL GUID_NULL
#define MEDIASUBTYPE_NULL GUID_NULL
PLATFORM_EXTERN_GUID(MEDIATYPE_Video);
PLATFORM_EXTERN_GUID(MEDIATYPE_Audio);
PLATFORM_EXTERN_GUID(MEDIATYPE_Stream);
PLATFORM_EXTERN_GUID(MEDIASUBTYPE_None);
PLATFORM_EXTERN_GUID(MEDIASUBTYPE_PCM);
PLATFORM_EXTERN_GUID(MEDIASUBTYPE_IEEE_FLOAT);
PLATFORM_EXTERN_GUID(FORMAT_None);
PLATFORM_EXTERN_GUID(FORMAT_WaveFormatEx);

// Time formats of IMediaSeeking.
PLATFORM_EXTERN_GUID(TIME_FORMAT_NONE);
PLATFORM_EXTERN_GUID(TIME_FORMAT_FRAME);
PLATFORM_EXTERN_GUID(TIME_FORMAT_BYTE);
PLATFORM_EXTERN_GUID(TIME_FORMAT_SAMPLE);
PLATFORM_EXTERN_GUID(TIME_FORMAT_FIELD);
PLATFORM_EXTERN_GUID(TIME_FORMAT_MEDIA_TIME);
