// The media-streaming runtime: media types, filters, pins, allocators and samples, the filter
// graph, filter mappers and device enumeration. Published names, values and slot orders.
#pragma once

#include <objbase.h>
#include <windows.h>

typedef LONGLONG REFERENCE_TIME;
typedef double REFTIME;
typedef LONG_PTR OAEVENT;
typedef LONG OAFilterState;
typedef LONG_PTR OAHWND;

#define MAX_PIN_NAME 128
#define MAX_FILTER_NAME 128

// ---- media types, subtypes, format types ------------------------------------------------------
DEFINE_GUID(MEDIATYPE_Video, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MEDIATYPE_Audio, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MEDIATYPE_Interleaved, 0x73766169, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MEDIATYPE_Stream, 0xe436eb83, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);

DEFINE_GUID(MEDIASUBTYPE_RGB1, 0xE436EB78, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB4, 0xE436EB79, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB8, 0xE436EB7A, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB565, 0xE436EB7B, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB555, 0xE436EB7C, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB24, 0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(MEDIASUBTYPE_RGB32, 0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
// Packed 4:2:2 Y'CbCr, Cb Y0 Cr Y1 in each pair of pixels (FOURCC 'UYVY'), rows top first.
DEFINE_GUID(MEDIASUBTYPE_UYVY, 0x59565955, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MEDIASUBTYPE_dvsd, 0x64737664, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MEDIASUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

DEFINE_GUID(FORMAT_None, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(FORMAT_VideoInfo, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
DEFINE_GUID(FORMAT_WaveFormatEx, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
DEFINE_GUID(FORMAT_DvInfo, 0x05589F84, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);

// ---- class identifiers ------------------------------------------------------------------------
DEFINE_GUID(CLSID_FilterGraph, 0xE436EBB3, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(CLSID_SystemClock, 0xE436EBB1, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(CLSID_FilterMapper, 0xE436EBB2, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(CLSID_FilterMapper2, 0xCDA42200, 0xBD88, 0x11D0, 0xBD, 0x4E, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID(CLSID_MemoryAllocator, 0x1E651CC0, 0xB199, 0x11D0, 0x82, 0x12, 0x00, 0xC0, 0x4F, 0xC3, 0x2C, 0x45);
DEFINE_GUID(CLSID_SystemDeviceEnum, 0x62BE5D10, 0x60EB, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID(CLSID_VideoInputDeviceCategory, 0x860BB310, 0x5D01, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID(CLSID_LegacyAmFilterCategory, 0x083863F1, 0x70DE, 0x11D0, 0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID(CLSID_DVVideoEnc, 0x13AA3650, 0xBB6F, 0x11D0, 0xAF, 0xB9, 0x00, 0xAA, 0x00, 0xB6, 0x7A, 0x42);
DEFINE_GUID(CLSID_DVMux, 0x129D7E40, 0xC10D, 0x11D0, 0xAF, 0xB9, 0x00, 0xAA, 0x00, 0xB6, 0x7A, 0x42);

// ---- interface identifiers --------------------------------------------------------------------
DEFINE_GUID(IID_IMediaFilter, 0x56A86899, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IEnumFilters, 0x56A86893, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IEnumMediaTypes, 0x89C31040, 0x846B, 0x11CE, 0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
DEFINE_GUID(IID_IReferenceClock, 0x56A86897, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMediaSample, 0x56A8689A, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMemAllocator, 0x56A8689C, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMemInputPin, 0x56A8689D, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IFilterGraph, 0x56A8689F, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMediaEventSink, 0x56A868A2, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IFilterMapper, 0x56A868A3, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IEnumRegFilters, 0x56A868A4, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IQualityControl, 0x56A868A5, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IMediaEvent, 0x56A868B6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(IID_IFilterMapper2, 0xB79BB0B0, 0x33C1, 0x11D1, 0xAB, 0xE1, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75);
DEFINE_GUID(IID_IAMovieSetup, 0xA3D8CEC0, 0x7E5A, 0x11CF, 0xBB, 0xC5, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x20);
DEFINE_GUID(IID_ICreateDevEnum, 0x29840822, 0x5B84, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);

// ---- merits -----------------------------------------------------------------------------------
enum {
    MERIT_PREFERRED = 0x800000,
    MERIT_NORMAL = 0x600000,
    MERIT_UNLIKELY = 0x400000,
    MERIT_DO_NOT_USE = 0x200000,
    MERIT_SW_COMPRESSOR = 0x100000,
    MERIT_HW_COMPRESSOR = 0x100050,
};

// ---- status codes -----------------------------------------------------------------------------
#define VFW_S_NO_MORE_ITEMS ((HRESULT)0x00040103)
#define VFW_S_STATE_INTERMEDIATE ((HRESULT)0x00040237)
#define VFW_E_INVALIDMEDIATYPE ((HRESULT)0x80040200)
#define VFW_E_INVALIDSUBTYPE ((HRESULT)0x80040201)
#define VFW_E_NEED_OWNER ((HRESULT)0x80040202)
#define VFW_E_ENUM_OUT_OF_SYNC ((HRESULT)0x80040203)
#define VFW_E_ALREADY_CONNECTED ((HRESULT)0x80040204)
#define VFW_E_FILTER_ACTIVE ((HRESULT)0x80040205)
#define VFW_E_NO_TYPES ((HRESULT)0x80040206)
#define VFW_E_NO_ACCEPTABLE_TYPES ((HRESULT)0x80040207)
#define VFW_E_INVALID_DIRECTION ((HRESULT)0x80040208)
#define VFW_E_NOT_CONNECTED ((HRESULT)0x80040209)
#define VFW_E_NO_ALLOCATOR ((HRESULT)0x8004020A)
#define VFW_E_RUNTIME_ERROR ((HRESULT)0x8004020B)
#define VFW_E_BUFFER_NOTSET ((HRESULT)0x8004020C)
#define VFW_E_BUFFER_OVERFLOW ((HRESULT)0x8004020D)
#define VFW_E_BADALIGN ((HRESULT)0x8004020E)
#define VFW_E_ALREADY_COMMITTED ((HRESULT)0x8004020F)
#define VFW_E_BUFFERS_OUTSTANDING ((HRESULT)0x80040210)
#define VFW_E_NOT_COMMITTED ((HRESULT)0x80040211)
#define VFW_E_SIZENOTSET ((HRESULT)0x80040212)
#define VFW_E_NO_CLOCK ((HRESULT)0x80040213)
#define VFW_E_NO_SINK ((HRESULT)0x80040214)
#define VFW_E_NO_INTERFACE ((HRESULT)0x80040215)
#define VFW_E_NOT_FOUND ((HRESULT)0x80040216)
#define VFW_E_CANNOT_CONNECT ((HRESULT)0x80040217)
#define VFW_E_CANNOT_RENDER ((HRESULT)0x80040218)
#define VFW_E_STATE_CHANGED ((HRESULT)0x80040223)
#define VFW_E_NOT_STOPPED ((HRESULT)0x80040224)
#define VFW_E_NOT_PAUSED ((HRESULT)0x80040225)
#define VFW_E_NOT_RUNNING ((HRESULT)0x80040226)
#define VFW_E_WRONG_STATE ((HRESULT)0x80040227)
#define VFW_E_START_TIME_AFTER_END ((HRESULT)0x80040228)
#define VFW_E_TYPE_NOT_ACCEPTED ((HRESULT)0x8004022A)
#define VFW_E_SAMPLE_REJECTED ((HRESULT)0x8004022B)
#define VFW_E_DUPLICATE_NAME ((HRESULT)0x8004023D)
#define VFW_E_TIMEOUT ((HRESULT)0x8004025E)
#define VFW_E_NOT_IN_GRAPH ((HRESULT)0x8004025F)

// ---- graph events -----------------------------------------------------------------------------
#define EC_COMPLETE 0x01
#define EC_USERABORT 0x02
#define EC_ERRORABORT 0x03
#define EC_TIME 0x04
#define EC_REPAINT 0x05
#define EC_STREAM_ERROR_STOPPED 0x06
#define EC_STREAM_ERROR_STILLPLAYING 0x07
#define EC_ERROR_STILLPLAYING 0x08
#define EC_QUALITY_CHANGE 0x0B
#define EC_SHUTTING_DOWN 0x0C
#define EC_CLOCK_CHANGED 0x0D
#define EC_PAUSED 0x0E
#define EC_DEVICE_LOST 0x1F

// ---- records ----------------------------------------------------------------------------------
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
static_assert(sizeof(AM_MEDIA_TYPE) == 88, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, bFixedSizeSamples) == 32, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, lSampleSize) == 40, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, formattype) == 44, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, pUnk) == 64, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, cbFormat) == 72, "AM_MEDIA_TYPE layout");
static_assert(offsetof(AM_MEDIA_TYPE, pbFormat) == 80, "AM_MEDIA_TYPE layout");

typedef struct tagVIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
} VIDEOINFOHEADER;
static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER layout");
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40, "VIDEOINFOHEADER layout");
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48, "VIDEOINFOHEADER layout");

#define iPALETTE_COLORS 256
#define iMASK_COLORS 3

typedef struct tagTRUECOLORINFO {
    DWORD dwBitMasks[iMASK_COLORS];
    RGBQUAD bmiColors[iPALETTE_COLORS];
} TRUECOLORINFO;

typedef struct tagVIDEOINFO {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
    union {
        RGBQUAD bmiColors[iPALETTE_COLORS];
        DWORD dwBitMasks[iMASK_COLORS];
        TRUECOLORINFO TrueColorInfo;
    };
} VIDEOINFO;
static_assert(sizeof(VIDEOINFO) == 1128, "VIDEOINFO layout");
static_assert(offsetof(VIDEOINFO, dwBitMasks) == 88, "VIDEOINFO layout");

// DV stream format block (FORMAT_DvInfo): the AAUX and VAUX source and control packs.
typedef struct tag_DVINFO {
    DWORD dwDVAAuxSrc;
    DWORD dwDVAAuxCtl;
    DWORD dwDVAAuxSrc1;
    DWORD dwDVAAuxCtl1;
    DWORD dwDVVAuxSrc;
    DWORD dwDVVAuxCtl;
    DWORD dwDVReserved[2];
} DVINFO;
static_assert(sizeof(DVINFO) == 32, "DVINFO layout");

typedef struct _AllocatorProperties {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
} ALLOCATOR_PROPERTIES;

typedef enum _PinDirection { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 } PIN_DIRECTION;

typedef enum _FilterState { State_Stopped = 0, State_Paused = 1, State_Running = 2 } FILTER_STATE;

struct IBaseFilter;
struct IFilterGraph;

typedef struct _PinInfo {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
} PIN_INFO;

typedef struct _FilterInfo {
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
} FILTER_INFO;

typedef enum tagQualityMessageType { Famine = 0, Flood = 1 } QualityMessageType;

typedef struct tagQuality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
} Quality;
static_assert(sizeof(Quality) == 24, "Quality layout");

typedef struct {
    CLSID Clsid;
    LPWSTR Name;
} REGFILTER;

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
static_assert(sizeof(REGFILTERPINS) == 56, "REGFILTERPINS layout");

typedef struct {
    CLSID clsMedium;
    DWORD dw1;
    DWORD dw2;
} REGPINMEDIUM;

enum {
    REG_PINFLAG_B_ZERO = 0x1,
    REG_PINFLAG_B_RENDERER = 0x2,
    REG_PINFLAG_B_MANY = 0x4,
    REG_PINFLAG_B_OUTPUT = 0x8,
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

typedef struct {
    DWORD dwVersion;
    DWORD dwMerit;
    union {
        struct {
            ULONG cPins;
            const REGFILTERPINS* rgPins;
        };
        struct {
            ULONG cPins2;
            const REGFILTERPINS2* rgPins2;
        };
    };
} REGFILTER2;

// ---- interfaces -------------------------------------------------------------------------------
struct IPin;
struct IEnumPins;
struct IEnumMediaTypes;
struct IEnumFilters;
struct IReferenceClock;
struct IMediaSample;
struct IMemAllocator;

struct IReferenceClock : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime,
                                                 HEVENT hEvent, DWORD_PTR* pdwAdviseCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME startTime,
                                                     REFERENCE_TIME periodTime,
                                                     HSEMAPHORE hSemaphore,
                                                     DWORD_PTR* pdwAdviseCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR dwAdviseCookie) = 0;
};

struct IMediaFilter : public IPersist {
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
    virtual HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) = 0;
};

struct IBaseFilter : public IMediaFilter {
    virtual HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin** ppPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* pInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* pVendorInfo) = 0;
};

struct IPin : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector,
                                                        const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* pPinDir) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* Id) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** apPin, ULONG* nPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndOfStream() = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginFlush() = 0;
    virtual HRESULT STDMETHODCALLTYPE EndFlush() = 0;
    virtual HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                                 double dRate) = 0;
};

struct IEnumPins : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cPins) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumPins** ppEnum) = 0;
};

struct IEnumMediaTypes : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes,
                                           ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cMediaTypes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** ppEnum) = 0;
};

struct IEnumFilters : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cFilters, IBaseFilter** ppFilter,
                                           ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cFilters) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumFilters** ppEnum) = 0;
};

#define AM_SAMPLE_SPLICEPOINT 0x01
#define AM_SAMPLE_PREROLL 0x02
#define AM_SAMPLE_DATADISCONTINUITY 0x04
#define AM_SAMPLE_TYPECHANGED 0x08
#define AM_SAMPLE_TIMEVALID 0x10
#define AM_SAMPLE_STOPVALID 0x100

#define AM_GBF_PREVFRAMESKIPPED 1
#define AM_GBF_NOTASYNCPOINT 2
#define AM_GBF_NOWAIT 4

struct IMediaSample : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPointer(BYTE** ppBuffer) = 0;
    virtual LONG STDMETHODCALLTYPE GetSize() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTimeStart,
                                              REFERENCE_TIME* pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME* pTimeStart,
                                              REFERENCE_TIME* pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSyncPoint() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL bIsSyncPoint) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsPreroll() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreroll(BOOL bIsPreroll) = 0;
    virtual LONG STDMETHODCALLTYPE GetActualDataLength() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActualDataLength(LONG lLen) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE** ppMediaType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE* pMediaType) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsDiscontinuity() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL bDiscontinuity) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
};

struct IMemAllocator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* pRequest,
                                                    ALLOCATOR_PROPERTIES* pActual) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
    virtual HRESULT STDMETHODCALLTYPE Decommit() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime,
                                                REFERENCE_TIME* pEndTime, DWORD dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample* pBuffer) = 0;
};

struct IMemInputPin : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** ppAllocator) = 0;
    virtual HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE Receive(IMediaSample* pSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** pSamples, LONG nSamples,
                                                      LONG* nSamplesProcessed) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveCanBlock() = 0;
};

struct IQualityControl : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* pSelf, Quality q) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* piqc) = 0;
};

struct IMediaEventSink : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Notify(LONG EventCode, LONG_PTR EventParam1,
                                             LONG_PTR EventParam2) = 0;
};

struct IFilterGraph : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* pFilter, LPCWSTR pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* pFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* ppinOut, IPin* ppinIn,
                                                    const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reconnect(IPin* ppin) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect(IPin* ppin) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() = 0;
};

struct IGraphBuilder : public IFilterGraph {
    virtual HRESULT STDMETHODCALLTYPE Connect(IPin* ppinOut, IPin* ppinIn) = 0;
    virtual HRESULT STDMETHODCALLTYPE Render(IPin* ppinOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR lpcwstrFile,
                                                 LPCWSTR lpcwstrPlayList) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR lpcwstrFileName,
                                                      LPCWSTR lpcwstrFilterName,
                                                      IBaseFilter** ppFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR hFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE Abort() = 0;
    virtual HRESULT STDMETHODCALLTYPE ShouldOperationContinue() = 0;
};

struct IMediaControl : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Run() = 0;
    virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(LONG msTimeout, OAFilterState* pfs) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenderFile(BSTR strFilename) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch** ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch** ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE StopWhenReady() = 0;
};

struct IMediaEvent : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* hEvent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEvent(LONG* lEventCode, LONG_PTR* lParam1,
                                               LONG_PTR* lParam2, LONG msTimeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG msTimeout, LONG* pEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeEventParams(LONG lEvCode, LONG_PTR lParam1,
                                                      LONG_PTR lParam2) = 0;
};

struct IAMovieSetup : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Register() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unregister() = 0;
};

struct IEnumRegFilters : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cFilters, REGFILTER** apRegFilter,
                                           ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cFilters) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumRegFilters** ppEnum) = 0;
};

// The old mapper takes GUIDs by value.
struct IFilterMapper : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterFilterInstance(CLSID clsid, LPCWSTR Name,
                                                             CLSID* MRId) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterPin(CLSID Filter, LPCWSTR Name, BOOL bRendered,
                                                  BOOL bOutput, BOOL bZero, BOOL bMany,
                                                  CLSID ConnectsToFilter,
                                                  LPCWSTR ConnectsToPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterPinType(CLSID clsFilter, LPCWSTR strName,
                                                      CLSID clsMajorType, CLSID clsSubType) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterFilter(CLSID Filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterFilterInstance(CLSID MRId) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterPin(CLSID Filter, LPCWSTR Name) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumRegFilters** ppEnum, DWORD dwMerit,
                                                          BOOL bInputNeeded, CLSID clsInMaj,
                                                          CLSID clsInSub, BOOL bRender,
                                                          BOOL bOututNeeded, CLSID clsOutMaj,
                                                          CLSID clsOutSub) = 0;
};

struct IFilterMapper2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit,
                                                     LPCWSTR Description) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* pclsidCategory,
                                                       LPCOLESTR szInstance, REFCLSID Filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name,
                                                     IMoniker** ppMoniker,
                                                     const CLSID* pclsidCategory,
                                                     LPCOLESTR szInstance,
                                                     const REGFILTER2* prf2) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumMatchingFilters(
        IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit, BOOL bInputNeeded,
        DWORD cInputTypes, const GUID* pInputTypes, const REGPINMEDIUM* pMedIn,
        const CLSID* pPinCategoryIn, BOOL bRender, BOOL bOutputNeeded, DWORD cOutputTypes,
        const GUID* pOutputTypes, const REGPINMEDIUM* pMedOut, const CLSID* pPinCategoryOut) = 0;
};

struct ICreateDevEnum : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID clsidDeviceClass,
                                                            IEnumMoniker** ppEnumMoniker,
                                                            DWORD dwFlags) = 0;
};

// ---- further status codes of samples and the graph ----------------------------------------------
#define VFW_S_DUPLICATE_NAME ((HRESULT)0x0004022D)
#define VFW_E_SAMPLE_TIME_NOT_SET ((HRESULT)0x80040249)
#define VFW_E_MEDIA_TIME_NOT_SET ((HRESULT)0x80040251)
#define VFW_S_NO_STOP_TIME ((HRESULT)0x00040270)

// ---- audio formats (FORMAT_WaveFormatEx) --------------------------------------------------------
#define WAVE_FORMAT_PCM 1

// Byte-packed as published: 18 bytes, cbSize extra format bytes follow it.
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX layout");
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12, "WAVEFORMATEX layout");

// ---- timecode -----------------------------------------------------------------------------------
// dwFrames holds the label in binary-coded decimal, 0xhhmmssff.
typedef union _timecode {
    struct {
        WORD wFrameRate;
        WORD wFrameFract;
        DWORD dwFrames;
    };
    ULONGLONG qw;
} TIMECODE, *PTIMECODE;
static_assert(sizeof(TIMECODE) == 8, "TIMECODE layout");

typedef struct tagTIMECODE_SAMPLE {
    LONGLONG qwTick;
    TIMECODE timecode;
    DWORD dwUser;
    DWORD dwFlags;
} TIMECODE_SAMPLE, *PTIMECODE_SAMPLE;
static_assert(sizeof(TIMECODE_SAMPLE) == 24, "TIMECODE_SAMPLE layout");

// TIMECODE_SAMPLE::dwFlags
#define AM_TIMECODE_FLAG_FCM 0x0001
#define AM_TIMECODE_FLAG_CF 0x0002
#define AM_TIMECODE_FLAG_FIELD 0x0004
#define AM_TIMECODE_FLAG_DF 0x0008

DEFINE_GUID(IID_IAMTimecodeGenerator, 0x9B496CE0, 0x811B, 0x11CF, 0x8C, 0x77, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14);

struct IAMTimecodeGenerator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTCGMode(LONG Param, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTCGMode(LONG Param, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_VITCLine(LONG Line) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VITCLine(LONG* pLine) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTimecode(PTIMECODE_SAMPLE pTimecodeSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTimecode(PTIMECODE_SAMPLE pTimecodeSample) = 0;
};

// ---- external devices: deck control -------------------------------------------------------------
// Values of the external-device interfaces below, as published (ED_BASE and offsets from it).
#define OATRUE (-1)
#define OAFALSE (0)

#define ED_BASE 0x1000L

// IAMExtDevice::GetCapability
#define ED_DEVCAP_CAN_RECORD (ED_BASE + 1L)
#define ED_DEVCAP_DEVICE_TYPE (ED_BASE + 7L)
#define ED_DEVTYPE_VCR (ED_BASE + 8L)
#define ED_DEVCAP_TIMECODE_READ (ED_BASE + 25L)

// IAMExtDevice::put_DevicePower / get_DevicePower
#define ED_POWER_ON (ED_BASE + 50L)
#define ED_POWER_OFF (ED_BASE + 51L)
#define ED_POWER_STANDBY (ED_BASE + 52L)

// IAMExtTransport::put_Mode / get_Mode, and GetStatus(ED_MODE)
#define ED_MODE_PLAY (ED_BASE + 200L)
#define ED_MODE_STOP (ED_BASE + 201L)
#define ED_MODE_FREEZE (ED_BASE + 202L)
#define ED_MODE_THAW (ED_BASE + 203L)
#define ED_MODE_FF (ED_BASE + 204L)
#define ED_MODE_REW (ED_BASE + 205L)
#define ED_MODE_RECORD (ED_BASE + 206L)
#define ED_MODE_RECORD_FREEZE (ED_BASE + 808L)

// IAMExtTransport::GetStatus items. ED_RECORD_INHIBIT is OATRUE for a write-protected medium,
// ED_MEDIA_PRESENT OATRUE while a medium is in; ED_MEDIA_TYPE answers one of the ED_MEDIA_* kinds.
#define ED_MODE (ED_BASE + 500L)
#define ED_ERROR (ED_BASE + 501L)
#define ED_LOCAL (ED_BASE + 502L)
#define ED_RECORD_INHIBIT (ED_BASE + 503L)
#define ED_SERVO_LOCK (ED_BASE + 504L)
#define ED_MEDIA_PRESENT (ED_BASE + 505L)
#define ED_MEDIA_LENGTH (ED_BASE + 506L)
#define ED_MEDIA_SIZE (ED_BASE + 507L)
#define ED_MEDIA_TRACK_COUNT (ED_BASE + 508L)
#define ED_MEDIA_TRACK_LENGTH (ED_BASE + 509L)
#define ED_MEDIA_SIDE (ED_BASE + 510L)
#define ED_MEDIA_TYPE (ED_BASE + 511L)
#define ED_MEDIA_VHS (ED_BASE + 512L)
#define ED_MEDIA_SVHS (ED_BASE + 513L)
#define ED_MEDIA_HI8 (ED_BASE + 514L)
#define ED_MEDIA_UMATIC (ED_BASE + 515L)
#define ED_MEDIA_DVC (ED_BASE + 516L)
#define ED_MEDIA_OTHER (ED_BASE + 526L)


DEFINE_GUID(IID_IAMExtDevice, 0xB5730A90, 0x1A2C, 0x11CF, 0x8C, 0x23, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14);
DEFINE_GUID(IID_IAMExtTransport, 0xA03CD5F0, 0x3045, 0x11CF, 0x8C, 0x44, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14);
DEFINE_GUID(IID_IAMTimecodeReader, 0x9B496CE1, 0x811B, 0x11CF, 0x8C, 0x77, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14);

struct IAMExtDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCapability(LONG Capability, LONG* pValue, double* pdblValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalDeviceID(LPOLESTR* ppszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalDeviceVersion(LPOLESTR* ppszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DevicePower(LONG PowerMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DevicePower(LONG* pPowerMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE Calibrate(HEVENT hEvent, LONG Mode, LONG* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DevicePort(LONG DevicePort) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DevicePort(LONG* pDevicePort) = 0;
};

struct IAMExtTransport : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCapability(LONG Capability, LONG* pValue, double* pdblValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MediaState(LONG State) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MediaState(LONG* pState) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_LocalControl(LONG State) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalControl(LONG* pState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(LONG StatusItem, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransportBasicParameters(LONG Param, LONG* pValue, LPOLESTR* ppszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportBasicParameters(LONG Param, LONG Value, LPCOLESTR pszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransportVideoParameters(LONG Param, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportVideoParameters(LONG Param, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransportAudioParameters(LONG Param, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTransportAudioParameters(LONG Param, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Mode(LONG Mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Mode(LONG* pMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Rate(double dblRate) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Rate(double* pdblRate) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChase(LONG* pEnabled, LONG* pOffset, HEVENT* phEvent) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetChase(LONG Enable, LONG Offset, HEVENT hEvent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBump(LONG* pSpeed, LONG* pDuration) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBump(LONG Speed, LONG Duration) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AntiClogControl(LONG* pEnabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AntiClogControl(LONG Enable) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEditPropertySet(LONG EditID, LONG* pState) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEditPropertySet(LONG* pEditID, LONG State) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEditProperty(LONG EditID, LONG Param, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEditProperty(LONG EditID, LONG Param, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EditStart(LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_EditStart(LONG Value) = 0;
};

struct IAMTimecodeReader : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTCRMode(LONG Param, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTCRMode(LONG Param, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_VITCLine(LONG Line) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_VITCLine(LONG* pLine) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTimecode(PTIMECODE_SAMPLE pTimecodeSample) = 0;
};
