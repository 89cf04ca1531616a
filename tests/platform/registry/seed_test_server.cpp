// A tiny in-process server for the seeding and regsvr tests. DllRegisterServer writes its class
// key, registers "Seed Test Filter" through IFilterMapper2 and counts its calls in
// HKCR\SeedTestServer "Calls". While registering it calls back into the seeding and the mapper
// search, which must not recurse. With SEED_TEST_SERVER_FAIL set in the environment it fails
// with E_FAIL and does nothing.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "com/platform_servers.h"
#include "seed_test_server.h"

#define SERVER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string OwnPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string ClassKey() {
    OLECHAR wide[CHARS_IN_GUID];
    StringFromGUID2(CLSID_SeedTestFilter, wide, CHARS_IN_GUID);
    std::string text = "CLSID\\";
    for (int i = 0; wide[i] != 0; ++i) text.push_back(static_cast<char>(wide[i]));
    return text;
}

void CountCall() {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, "SeedTestServer", &key) != ERROR_SUCCESS) return;
    DWORD calls = 0, size = sizeof(calls);
    RegQueryValueExA(key, "Calls", nullptr, nullptr, reinterpret_cast<BYTE*>(&calls), &size);
    ++calls;
    RegSetValueExA(key, "Calls", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&calls), sizeof(calls));
    RegCloseKey(key);
}

}  // namespace

SERVER_EXPORT HRESULT DllRegisterServer() {
    if (std::getenv("SEED_TEST_SERVER_FAIL") != nullptr) return E_FAIL;
    CountCall();
    const std::string path = OwnPath();
    if (RegSetValueA(HKEY_CLASSES_ROOT, (ClassKey() + "\\InprocServer32").c_str(), REG_SZ,
                     path.c_str(), MAX_PATH) != ERROR_SUCCESS)
        return E_FAIL;

    // Both re-enter the seeding on this thread; it must return at once.
    const char* self = path.c_str();
    platform::EnsureServersRegistered(&self, 1);
    IFilterMapper* oldMapper = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFilterMapper, reinterpret_cast<void**>(&oldMapper)))) {
        IEnumRegFilters* filters = nullptr;
        if (SUCCEEDED(oldMapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL,
                                                     FALSE, FALSE, GUID_NULL, GUID_NULL)))
            filters->Release();
        oldMapper->Release();
    }

    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper2, reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) return hr;
    mapper->UnregisterFilter(nullptr, nullptr, CLSID_SeedTestFilter);
    const REGPINTYPES type{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};
    REGFILTERPINS pin{const_cast<LPWSTR>(u"Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr,
                      1, &type};
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.dwMerit = MERIT_NORMAL;
    record.cPins = 1;
    record.rgPins = &pin;
    hr = mapper->RegisterFilter(CLSID_SeedTestFilter, u"Seed Test Filter", nullptr, nullptr,
                                nullptr, &record);
    mapper->Release();
    return hr;
}

SERVER_EXPORT HRESULT DllUnregisterServer() {
    if (std::getenv("SEED_TEST_SERVER_FAIL") != nullptr) return E_FAIL;
    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper2, reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) return hr;
    hr = mapper->UnregisterFilter(nullptr, nullptr, CLSID_SeedTestFilter);
    mapper->Release();
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (ClassKey() + "\\InprocServer32").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, ClassKey().c_str());
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
}

SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID, void** ppv) {
    if (ppv != nullptr) *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

SERVER_EXPORT HRESULT DllCanUnloadNow() { return S_OK; }
