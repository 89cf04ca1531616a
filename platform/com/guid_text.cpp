// The registry text form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <objbase.h>

namespace {

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[*pos]; false on any other character (including the end).
bool ReadHex(LPCOLESTR text, int* pos, int digits, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = HexValue(text[*pos]);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<uint32_t>(digit);
        ++*pos;
    }
    *value = result;
    return true;
}

bool Expect(LPCOLESTR text, int* pos, OLECHAR c) {
    if (text[*pos] != c) return false;
    ++*pos;
    return true;
}

}  // namespace

extern "C" {

PLATFORM_API int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < CHARS_IN_GUID) return 0;
    const char* digits = "0123456789ABCDEF";
    int pos = 0;
    auto put = [&](uint32_t value, int count) {
        for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) {
            lpsz[pos++] = static_cast<OLECHAR>(digits[(value >> shift) & 0xF]);
        }
    };
    lpsz[pos++] = u'{';
    put(rguid.Data1, 8);
    lpsz[pos++] = u'-';
    put(rguid.Data2, 4);
    lpsz[pos++] = u'-';
    put(rguid.Data3, 4);
    lpsz[pos++] = u'-';
    put(rguid.Data4[0], 2);
    put(rguid.Data4[1], 2);
    lpsz[pos++] = u'-';
    for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
    lpsz[pos++] = u'}';
    lpsz[pos++] = 0;
    return pos;
}

PLATFORM_API HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    if (lpsz == nullptr) return CO_E_CLASSSTRING;
    GUID guid{};
    int pos = 0;
    uint32_t value = 0;
    bool ok = Expect(lpsz, &pos, u'{') && ReadHex(lpsz, &pos, 8, &guid.Data1) &&
              Expect(lpsz, &pos, u'-') && ReadHex(lpsz, &pos, 4, &value);
    guid.Data2 = static_cast<uint16_t>(value);
    ok = ok && Expect(lpsz, &pos, u'-') && ReadHex(lpsz, &pos, 4, &value);
    guid.Data3 = static_cast<uint16_t>(value);
    ok = ok && Expect(lpsz, &pos, u'-');
    for (int i = 0; ok && i < 8; ++i) {
        if (i == 2) ok = Expect(lpsz, &pos, u'-');
        ok = ok && ReadHex(lpsz, &pos, 2, &value);
        guid.Data4[i] = static_cast<uint8_t>(value);
    }
    ok = ok && Expect(lpsz, &pos, u'}') && lpsz[pos] == 0;
    if (!ok) {
        *pclsid = CLSID_NULL;
        return CO_E_CLASSSTRING;
    }
    *pclsid = guid;
    return S_OK;
}

}  // extern "C"
