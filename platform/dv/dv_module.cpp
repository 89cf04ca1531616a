// The DV server's module entry: class factory, unload check and self-registration. The four
// exported functions are the module's only exports (dvfilters.map).
//
// Threads: any thread may call the exports; the class table is constant and the counters atomic.

#include <atomic>
#include <climits>
#include <cstdio>
#include <new>
#include <string>

#include <dshow.h>

#include "dv_classes.h"

namespace {

using Creator = HRESULT (*)(IUnknown*, REFIID, void**);

struct ClassEntry {
    const CLSID* clsid;
    const char* name;
    Creator create;
};

const ClassEntry kClasses[] = {
    {&CLSID_DVVideoEnc, "DV Video Encoder", dv::CreateVideoEncoder},
    {&CLSID_DVMux, "DV Muxer", dv::CreateMuxer},
    {&CLSID_DVDeviceFilter, "Microsoft DV Camera and VCR", dv::CreateDeviceFilter},
    {&CLSID_DVDeviceProvider, "DV Device Provider", dv::CreateDeviceProvider},
};

std::atomic<long> g_serverLocks{0};

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(Creator create) : create(create) { dv::ModuleObjectCreated(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --refCount;
        if (count == 0) delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return create(outer, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++g_serverLocks;
        else if (g_serverLocks.load() > 0)
            --g_serverLocks;
        return S_OK;
    }

private:
    ~ClassFactory() { dv::ModuleObjectDestroyed(); }

    std::atomic<ULONG> refCount{1};
    const Creator create;
};

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

HRESULT FromWin32(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

// The full path of this library, wherever it was loaded from.
HRESULT ModulePath(std::string* path) {
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&GuidText), &self)) {
        char buffer[PATH_MAX];
        const DWORD length = GetModuleFileNameA(self, buffer, sizeof(buffer));
        if (length > 0 && length < sizeof(buffer)) {
            *path = std::string(buffer, length);
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT SetKeyValue(const std::string& key, const char* valueName, const std::string& value) {
    HKEY handle = nullptr;
    LONG error = RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &handle);
    if (error != ERROR_SUCCESS) return FromWin32(error);
    error = RegSetValueExA(handle, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    RegCloseKey(handle);
    return FromWin32(error);
}

HRESULT DeleteKey(const std::string& key) {
    const LONG error = RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
    return (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) ? S_OK : FromWin32(error);
}

// Filter-mapper entries of the two filters.
const REGPINTYPES kRgbVideo = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};
const REGPINTYPES kDvVideo = {&MEDIATYPE_Video, &MEDIASUBTYPE_dvsd};
const REGPINTYPES kDvInterleaved = {&MEDIATYPE_Interleaved, &MEDIASUBTYPE_dvsd};

const REGFILTERPINS kEncoderPins[] = {
    {const_cast<LPWSTR>(u"XForm In"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kRgbVideo},
    {const_cast<LPWSTR>(u"XForm Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kDvVideo},
};
const REGFILTERPINS kMuxerPins[] = {
    {const_cast<LPWSTR>(u"Stream 0"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kDvVideo},
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1,
     &kDvInterleaved},
};

struct FilterEntry {
    const CLSID* clsid;
    const char16_t* name;
    const REGFILTERPINS* pins;
    ULONG pinCount;
};
const FilterEntry kFilters[] = {
    {&CLSID_DVVideoEnc, u"DV Video Encoder", kEncoderPins, 2},
    {&CLSID_DVMux, u"DV Muxer", kMuxerPins, 2},
};

std::string ProviderKey() {
    return "DeviceProviders\\" + GuidText(CLSID_VideoInputDeviceCategory) + "\\" +
           GuidText(CLSID_DVDeviceProvider);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE
DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    for (const ClassEntry& entry : kClasses) {
        if (*entry.clsid != clsid) continue;
        ClassFactory* factory = new (std::nothrow) ClassFactory(entry.create);
        if (factory == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = factory->QueryInterface(iid, out);
        factory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return (dv::ModuleObjectCount() == 0 && g_serverLocks.load() == 0) ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllRegisterServer() {
    std::string path;
    HRESULT hr = ModulePath(&path);
    if (FAILED(hr)) return hr;
    for (const ClassEntry& entry : kClasses) {
        const std::string key = "CLSID\\" + GuidText(*entry.clsid);
        hr = SetKeyValue(key, nullptr, entry.name);
        if (SUCCEEDED(hr)) hr = SetKeyValue(key + "\\InprocServer32", nullptr, path);
        if (SUCCEEDED(hr)) hr = SetKeyValue(key + "\\InprocServer32", "ThreadingModel", "Both");
        if (FAILED(hr)) return hr;
    }
    hr = SetKeyValue(ProviderKey(), nullptr, "DV Device Provider");
    if (FAILED(hr)) return hr;

    IFilterMapper2* mapper = nullptr;
    hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                          reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) return hr;
    for (const FilterEntry& filter : kFilters) {
        REGFILTER2 info{};
        info.dwVersion = 1;
        info.dwMerit = MERIT_DO_NOT_USE;
        info.cPins = filter.pinCount;
        info.rgPins = filter.pins;
        hr = mapper->RegisterFilter(*filter.clsid, filter.name, nullptr,
                                    &CLSID_LegacyAmFilterCategory, nullptr, &info);
        if (FAILED(hr)) break;
    }
    mapper->Release();
    return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllUnregisterServer() {
    HRESULT result = S_OK;
    IFilterMapper2* mapper = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFilterMapper2, reinterpret_cast<void**>(&mapper)))) {
        for (const FilterEntry& filter : kFilters)
            mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, *filter.clsid);
        mapper->Release();
    }
    for (const ClassEntry& entry : kClasses) {
        const std::string key = "CLSID\\" + GuidText(*entry.clsid);
        HRESULT hr = DeleteKey(key + "\\InprocServer32");
        if (SUCCEEDED(hr)) hr = DeleteKey(key);
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    const HRESULT hr = DeleteKey(ProviderKey());
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    return result;
}
