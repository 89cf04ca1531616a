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
#include <platform/platform.h>

#include "support/class_factory.h"
#include "support/com_ptr.h"
#include "filterkit/kit_module.h"
#include "dv/filters/dv_classes.h"
#include "support/text.h"

namespace {

using platform::GuidText;
using Creator = HRESULT (*)(IUnknown*, REFIID, void**);

struct ClassEntry {
    const CLSID* clsid;
    const char* name;
    Creator create;
};

const ClassEntry kClasses[] = {
    {&CLSID_DVVideoEnc, "DV Video Encoder", dv::CreateVideoEncoder},
    {&CLSID_DVMux, "DV Muxer", dv::CreateMuxer},
    {&CLSID_ReferenceTone, "Reference Tone", dv::CreateReferenceTone},
    {&CLSID_ReferenceBars, "Reference Bars", dv::CreateReferenceBars},
    {&CLSID_ReferenceLeader, "Reference Leader", dv::CreateReferenceLeader},
    {&CLSID_DVDeviceFilter, "Microsoft DV Camera and VCR", dv::CreateDeviceFilter},
    {&CLSID_DVDeviceProvider, "DV Device Provider", dv::CreateDeviceProvider},
};

std::atomic<long> g_serverLocks{0};

HRESULT FromWin32(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

// The full path of this library, wherever it was loaded from.
HRESULT ModulePath(std::string* path) {
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&ModulePath), &self)) {
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

// Filter-mapper entries of the filters any graph may use.
const REGPINTYPES kPictureVideo[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_UYVY},
                                     {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
const REGPINTYPES kDvVideo = {&MEDIATYPE_Video, &MEDIASUBTYPE_dvsd};
const REGPINTYPES kDvInterleaved = {&MEDIATYPE_Interleaved, &MEDIASUBTYPE_dvsd};
const REGPINTYPES kPcmAudio = {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM};

const REGFILTERPINS kEncoderPins[] = {
    {const_cast<LPWSTR>(u"XForm In"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 2, kPictureVideo},
    {const_cast<LPWSTR>(u"XForm Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kDvVideo},
};
const REGFILTERPINS kMuxerPins[] = {
    {const_cast<LPWSTR>(u"Stream 0"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kDvVideo},
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1,
     &kDvInterleaved},
    // Optional: without it the audio is silence.
    {const_cast<LPWSTR>(u"Stream 1"), FALSE, FALSE, TRUE, FALSE, &CLSID_NULL, nullptr, 1, &kPcmAudio},
};
const REGFILTERPINS kBarsPins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 2, kPictureVideo},
};
const REGFILTERPINS kLeaderPins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPictureVideo},
};
const REGFILTERPINS kTonePins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &kPcmAudio},
};

struct FilterEntry {
    const CLSID* clsid;
    const char16_t* name;
    const REGFILTERPINS* pins;
    ULONG pinCount;
};
const FilterEntry kFilters[] = {
    {&CLSID_DVVideoEnc, u"DV Video Encoder", kEncoderPins, 2},
    {&CLSID_DVMux, u"DV Muxer", kMuxerPins, 3},
    {&CLSID_ReferenceTone, u"Reference Tone", kTonePins, 1},
    {&CLSID_ReferenceBars, u"Reference Bars", kBarsPins, 1},
    {&CLSID_ReferenceLeader, u"Reference Leader", kLeaderPins, 1},
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
        return platform::ClassFactory<filterkit::ModuleObject>::Make(entry.create, &g_serverLocks,
                                                                     iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return (filterkit::ModuleObjectCount() == 0 && g_serverLocks.load() == 0) ? S_OK : S_FALSE;
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

    platform::ComPtr<IFilterMapper2> mapper;
    hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                          mapper.PutVoid());
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
    return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllUnregisterServer() {
    HRESULT result = S_OK;
    platform::ComPtr<IFilterMapper2> mapper;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFilterMapper2, mapper.PutVoid()))) {
        for (const FilterEntry& filter : kFilters)
            mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, *filter.clsid);
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
