// The system device enumerator (CLSID_SystemDeviceEnum): lists the devices of a category as
// monikers, asking the device providers at enumeration time, so devices plugged in or out show
// up in the next enumeration.
//
// Providers are asked in a fixed order: those registered in-process (RegisterDeviceProvider, in
// registration order), then the provider classes listed under
// HKEY_CLASSES_ROOT\DeviceProviders\{category} (in the registry's key order). Each provider's
// devices keep the order it gives them. A provider that cannot be created or fails its snapshot
// is skipped; so is a single device it cannot describe.
//
// Threads: any. The object has no state of its own; the in-process provider list has its own
// lock (see system_device_enum.cpp), never held while a provider is called.
#pragma once

#include <dshow.h>

#include <atomic>

#include "support/com_object.h"

namespace platform::streaming {

class SystemDeviceEnum final : public ComObject<Implements<ICreateDevEnum, IID_ICreateDevEnum>> {
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    SystemDeviceEnum() = default;
    SystemDeviceEnum(const SystemDeviceEnum&) = delete;
    SystemDeviceEnum& operator=(const SystemDeviceEnum&) = delete;

    // ICreateDevEnum. An empty category answers S_FALSE with a null enumerator, or
    // HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) when a provider of it could not look for its devices
    // because the user may not open their files. dwFlags is not used.
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID clsidDeviceClass,
                                                    IEnumMoniker** ppEnumMoniker,
                                                    DWORD dwFlags) override;

private:
    ~SystemDeviceEnum() override = default;

};

}  // namespace platform::streaming
