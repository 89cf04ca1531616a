// COM: GUIDs, IUnknown and the class factory, the task allocator, in-process server loading,
// BSTR and VARIANT, monikers, bind contexts and property bags. Interfaces are abstract structs
// with the published slot order and no data members.
#pragma once

#include <windows.h>

#include <cstring>

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID layout");

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

// Declares a published identifier: DEFINE_GUID(IID_IPin, 0x56a86891, ...).
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
DEFINE_GUID(CLSID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
#define IID_NULL GUID_NULL

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef LONG DISPID;

#define CHARS_IN_GUID 39

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER;

// ---- IUnknown and the class factory -----------------------------------------------------------
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersist, 0x0000010c, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersistStream, 0x00000109, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IMoniker, 0x0000000f, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IBindCtx, 0x0000000e, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPropertyBag, 0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
DEFINE_GUID(IID_IErrorLog, 0x3127CA40, 0x446E, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
DEFINE_GUID(IID_IPersistPropertyBag, 0x37D84F60, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                     void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct IPersist : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) = 0;
};

struct IStream;  // not provided; appears only in signatures
struct IErrorLog;
struct ITypeInfo;
struct IRunningObjectTable;
struct IEnumString;
struct DISPPARAMS;
struct EXCEPINFO;

struct IPersistStream : public IPersist {
    virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
    virtual HRESULT STDMETHODCALLTYPE Load(IStream* pStm) = 0;
    virtual HRESULT STDMETHODCALLTYPE Save(IStream* pStm, BOOL fClearDirty) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;
};

// ---- BSTR and VARIANT -------------------------------------------------------------------------
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
};

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        VARIANT_BOOL boolVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        PVOID byref;
        struct {
            PVOID pvRecord;
            PVOID pRecInfo;
        } brecVal;
    };
} VARIANT, *LPVARIANT;
static_assert(sizeof(VARIANT) == 24, "VARIANT layout");

#define WINOLEAPI extern "C" PLATFORM_API HRESULT STDAPICALLTYPE
#define WINOLEAPI_(type) extern "C" PLATFORM_API type STDAPICALLTYPE

// A BSTR points just past a 32-bit byte length and is terminated; allocated from the task
// allocator.
WINOLEAPI_(BSTR) SysAllocString(const OLECHAR* psz);
WINOLEAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINOLEAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAPI_(void) VariantInit(VARIANT* pvarg);
WINOLEAPI VariantClear(VARIANT* pvarg);
WINOLEAPI VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);

// ---- monikers, bind contexts, property bags ---------------------------------------------------
struct IMoniker;
struct IBindCtx;

typedef struct tagBIND_OPTS {
    DWORD cbStruct;
    DWORD grfFlags;
    DWORD grfMode;
    DWORD dwTickCountDeadline;
} BIND_OPTS;

struct IEnumMoniker : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker** ppenum) = 0;
};

struct IMoniker : public IPersistStream {
    virtual HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                   REFIID riidResult, void** ppvResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                    REFIID riid, void** ppvObj) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reduce(IBindCtx* pbc, DWORD dwReduceHowFar,
                                             IMoniker** ppmkToLeft, IMoniker** ppmkReduced) = 0;
    virtual HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric,
                                                  IMoniker** ppmkComposite) = 0;
    virtual HRESULT STDMETHODCALLTYPE Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* pmkOtherMoniker) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hash(DWORD* pdwHash) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                IMoniker* pmkNewlyRunning) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                          FILETIME* pFileTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE Inverse(IMoniker** ppmk) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker* pmkOther,
                                                       IMoniker** ppmkPrefix) = 0;
    virtual HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker* pmkOther,
                                                     IMoniker** ppmkRelPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                     LPOLESTR* ppszDisplayName) = 0;
    virtual HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                       LPOLESTR pszDisplayName, ULONG* pchEaten,
                                                       IMoniker** ppmkOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* pdwMksys) = 0;
};
typedef IMoniker* LPMONIKER;

struct IBindCtx : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown* punk) = 0;
    virtual HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown* punk) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS* pbindopts) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS* pbindopts) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable** pprot) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR pszKey, IUnknown* punk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR pszKey, IUnknown** ppunk) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString** ppenum) = 0;
    virtual HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR pszKey) = 0;
};
typedef IBindCtx* LPBC;

struct IPropertyBag : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar,
                                           IErrorLog* pErrorLog) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;
};

struct IPersistPropertyBag : public IPersist {
    virtual HRESULT STDMETHODCALLTYPE InitNew() = 0;
    virtual HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
    virtual HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty,
                                           BOOL fSaveAllProperties) = 0;
};

struct IDispatch : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                    LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid,
                                             WORD wFlags, DISPPARAMS* pDispParams,
                                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;
};

// ---- the COM runtime --------------------------------------------------------------------------
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

// Counted per thread; an extra CoUninitialize is tolerated.
WINOLEAPI CoInitialize(LPVOID pvReserved);
WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINOLEAPI_(void) CoUninitialize(void);

// Platform classes are found without the registry; every other class through
// HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32.
WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                           LPVOID* ppv);
WINOLEAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                           LPVOID* ppv);
WINOLEAPI_(void) CoFreeUnusedLibraries(void);

// The one allocator for everything that crosses a component boundary.
WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
WINOLEAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
WINOLEAPI_(void) CoTaskMemFree(LPVOID pv);

WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINOLEAPI CreateBindCtx(DWORD reserved, LPBC* ppbc);

// Exports of an in-process server.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)();
typedef HRESULT(STDAPICALLTYPE* LPFNREGISTERSERVER)();

// CLSIDFromString: the text is not a GUID in braces.
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3)
