// Registers, through the legacy filter mapper, a filter whose texts need escaping in JSON (quotes,
// a backslash, control characters, non-ASCII), with a pin that connects to another filter and
// has a type graphinfo has no short name for; and, written into the registry the way any library
// may write it, a filter whose name and pin name are not UTF-8. Used by graphinfo_json_test.py.
#include <dshow.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// {6A1D5E0C-3B7F-4C62-9E55-0D4C2B8F1A93}
const CLSID kOddFilter = {0x6A1D5E0C, 0x3B7F, 0x4C62, {0x9E, 0x55, 0x0D, 0x4C, 0x2B, 0x8F, 0x1A, 0x93}};
// {0F3E2D1C-5B4A-4987-A6B5-C4D3E2F10A0B}
const GUID kUnnamedSubtype = {0x0F3E2D1C, 0x5B4A, 0x4987, {0xA6, 0xB5, 0xC4, 0xD3, 0xE2, 0xF1, 0x0A, 0x0B}};

// {6A1D5E0C-3B7F-4C62-9E55-0D4C2B8F1A94}
const char kBadKey[] = "Filter\\{6A1D5E0C-3B7F-4C62-9E55-0D4C2B8F1A94}";
// A stray continuation byte, a cut-short character, a lone surrogate and an overlong slash.
const char kBadName[] = "Bad \x80 name \xe6\x97 \xed\xa0\x80 \xc0\xaf end";
const char kBadPin[] = "Pin \xff";

LONG SetText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          DWORD(std::strlen(text) + 1));
}

// The legacy mapper's layout: the name as the key's default value, Merit, Pins\NAME\...
LONG RegisterBadFilter() {
    HKEY filter = nullptr;
    LONG status = RegCreateKeyA(HKEY_CLASSES_ROOT, kBadKey, &filter);
    if (status != ERROR_SUCCESS) return status;
    const DWORD merit = 0x00200000;
    status = SetText(filter, nullptr, kBadName);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(filter, "Merit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&merit),
                                sizeof merit);
    HKEY pin = nullptr;
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyA(filter, (std::string("Pins\\") + kBadPin).c_str(), &pin);
    if (pin != nullptr) RegCloseKey(pin);
    RegCloseKey(filter);
    return status;
}

}  // namespace

int main() {
    CoInitialize(nullptr);
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(hr)) hr = mapper->RegisterFilter(kOddFilter, u"Odd \"quoted\" back\\slash\ttab\x01 \u00DCber \u2713", 0x00600800);
    if (SUCCEEDED(hr))
        hr = mapper->RegisterPin(kOddFilter, u"In \"one\" \u00FC", TRUE, FALSE, TRUE, TRUE,
                                 CLSID_FilterMapper, u"Other\tpin");
    if (SUCCEEDED(hr))
        hr = mapper->RegisterPinType(kOddFilter, u"In \"one\" \u00FC", MEDIATYPE_Video, kUnnamedSubtype);
    if (SUCCEEDED(hr))
        hr = mapper->RegisterPinType(kOddFilter, u"In \"one\" \u00FC", GUID_NULL, GUID_NULL);
    if (SUCCEEDED(hr)) hr = mapper->RegisterFilter(CLSID_FilterMapper2, u"No pins", 0);
    if (mapper != nullptr) mapper->Release();
    CoUninitialize();
    if (SUCCEEDED(hr)) {
        const LONG status = RegisterBadFilter();
        if (status != ERROR_SUCCESS) {
            std::fprintf(stderr, "register_odd_filter: the registry refused the bad filter (%ld)\n",
                         long(status));
            return 1;
        }
    }
    if (FAILED(hr)) {
        std::fprintf(stderr, "register_odd_filter: failed (status 0x%08X)\n", static_cast<unsigned>(hr));
        return 1;
    }
    return 0;
}
