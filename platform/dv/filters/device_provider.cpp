#include "dv/filters/device_provider.h"

#include <new>

#include "dv/deck/deck_directory.h"
#include "dv/filters/device_text.h"
#include "dv/filters/dv_classes.h"
#include "dv/ieee1394/ieee1394_discovery.h"

namespace dv {

std::vector<std::string> DeviceProvider::ListDevicePaths(bool* denied) {
    std::vector<std::string> paths;
    for (const std::string& socket : DeckDirectory::ListLive(DeckDirectory::Path(false))) {
        paths.push_back("deck:" + socket);
    }
    for (const Ieee1394Unit& unit : Ieee1394Discovery::ScanSystem(denied)) {
        paths.push_back(Ieee1394Discovery::DevicePath(unit.guid));
    }
    return paths;
}

HRESULT DeviceProvider::Snapshot(REFCLSID category, ULONG* count) {
    if (count == nullptr) return E_POINTER;
    std::vector<std::string> paths;
    bool denied = false;
    if (category == CLSID_VideoInputDeviceCategory) paths = ListDevicePaths(&denied);
    std::lock_guard<std::mutex> guard(lock);
    devicePaths = std::move(paths);
    *count = ULONG(devicePaths.size());
    return devicePaths.empty() && denied ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) : S_OK;
}

HRESULT DeviceProvider::GetDevice(ULONG index, BSTR* friendlyName, CLSID* filterClsid,
                                  BSTR* devicePath) {
    if (friendlyName == nullptr || filterClsid == nullptr || devicePath == nullptr) return E_POINTER;
    *friendlyName = nullptr;
    *devicePath = nullptr;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (index >= devicePaths.size()) return E_INVALIDARG;
        path = devicePaths[index];
    }
    BSTR name = SysAllocString(kDeviceFriendlyName);
    BSTR pathText = NewBstrFromUtf8(path);
    if (name == nullptr || pathText == nullptr) {
        SysFreeString(name);
        SysFreeString(pathText);
        return E_OUTOFMEMORY;
    }
    *friendlyName = name;
    *devicePath = pathText;
    *filterClsid = CLSID_DVDeviceFilter;
    return S_OK;
}

HRESULT CreateDeviceProvider(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<DeviceProvider>(outer, iid, out);
}

}  // namespace dv
