// The task allocator, BSTR and VARIANT. Every block that crosses a component boundary comes from
// here, so any module of the process can free what another allocated.
#include <objbase.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// A BSTR's allocation: a 32-bit byte length, the characters, a 16-bit terminator.
constexpr size_t kPrefix = sizeof(uint32_t);

uint32_t* PrefixOf(BSTR text) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - kPrefix);
}

bool IsPlainType(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case 4 /*R4*/: case 5 /*R8*/:
    case 6 /*CY*/: case 7 /*DATE*/: case 10 /*ERROR*/: case VT_BOOL: case 16 /*I1*/:
    case VT_UI1: case 18 /*UI2*/: case VT_UI4: case VT_I8: case VT_UI8: case 22 /*INT*/:
    case 23 /*UINT*/:
        return true;
    default:
        return false;
    }
}

constexpr VARTYPE kDispatch = 9;

}  // namespace

extern "C" {

// A zero-byte request still gives a distinct block, so callers can tell success from failure.
PLATFORM_API LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

PLATFORM_API LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

PLATFORM_API void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) { std::free(pv); }

PLATFORM_API BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    // The byte length must fit the 32-bit prefix.
    if (ui > (std::numeric_limits<uint32_t>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) {
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(CoTaskMemAlloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const uint32_t length = static_cast<uint32_t>(bytes);
    std::memcpy(block, &length, kPrefix);
    auto* text = reinterpret_cast<BSTR>(block + kPrefix);
    if (strIn != nullptr) {
        std::memcpy(text, strIn, bytes);
    } else {
        std::memset(text, 0, bytes);
    }
    text[ui] = 0;
    return text;
}

PLATFORM_API BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(lstrlenW(psz)));
}

PLATFORM_API void STDAPICALLTYPE SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) CoTaskMemFree(PrefixOf(bstrString));
}

PLATFORM_API UINT STDAPICALLTYPE SysStringLen(BSTR pbstr) {
    if (pbstr == nullptr) return 0;
    uint32_t bytes;
    std::memcpy(&bytes, PrefixOf(pbstr), kPrefix);
    return bytes / sizeof(OLECHAR);
}

PLATFORM_API void STDAPICALLTYPE VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    std::memset(pvarg, 0, sizeof(VARIANT));
    pvarg->vt = VT_EMPTY;
}

// Types other than the plain scalars, BSTR and interfaces are refused (E_INVALIDARG) and left
// untouched rather than guessed at.
PLATFORM_API HRESULT STDAPICALLTYPE VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (pvarg->vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == kDispatch) {
        if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    } else if (!IsPlainType(pvarg->vt)) {
        return E_INVALIDARG;
    }
    VariantInit(pvarg);
    return S_OK;
}

PLATFORM_API HRESULT STDAPICALLTYPE VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    const VARTYPE vt = pvargSrc->vt;
    if (vt != VT_BSTR && vt != VT_UNKNOWN && vt != kDispatch && !IsPlainType(vt)) return E_INVALIDARG;
    VARIANT copy = *pvargSrc;
    if (vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if ((vt == VT_UNKNOWN || vt == kDispatch) && copy.punkVal != nullptr) {
        copy.punkVal->AddRef();
    }
    const HRESULT cleared = VariantClear(pvargDest);
    if (FAILED(cleared)) {
        VariantClear(&copy);
        return cleared;
    }
    *pvargDest = copy;
    return S_OK;
}

}  // extern "C"
