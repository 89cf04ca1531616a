// Lists the DV devices for the system device enumerator (IDeviceProvider): running virtual decks
// first, oldest first, then the camcorders and decks on the IEEE 1394 bus. Every one is named
// "Microsoft DV Camera and VCR" and is driven by the DV device filter (CLSID_DVDeviceFilter);
// its DevicePath says which device: "deck:<socket path>" or "1394:<unique id>". With no device
// to list because the user may not open the IEEE 1394 device files, Snapshot fails with
// HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), so that a program can say so rather than "no device".
//
// Threads: any. `lock` guards the snapshot; it is a leaf lock, never held while scanning.
#pragma once

#include <platform/platform.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/com_object.h"
#include "filterkit/kit_module.h"
#include "dv/filters/dv_classes.h"

namespace dv {

inline constexpr char16_t kDeviceFriendlyName[] = u"Microsoft DV Camera and VCR";

class DeviceProvider final
    : public platform::ComObject<platform::Implements<IDeviceProvider, IID_IDeviceProvider>> {
public:
    DeviceProvider() = default;

    HRESULT STDMETHODCALLTYPE Snapshot(REFCLSID category, ULONG* count) override;
    HRESULT STDMETHODCALLTYPE GetDevice(ULONG index, BSTR* friendlyName, CLSID* filterClsid,
                                        BSTR* devicePath) override;

    // The device paths of the DV devices present now, in listing order; *denied (if given) says
    // whether the IEEE 1394 device files were there but the user may not open them.
    static std::vector<std::string> ListDevicePaths(bool* denied = nullptr);

private:
    ~DeviceProvider() override = default;

    filterkit::ModuleObject counted;
    std::mutex lock;
    std::vector<std::string> devicePaths;  // lock: the last snapshot
};

}  // namespace dv
