#include "streaming/system_device_enum.h"

#include <platform/platform.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "com/moniker_enumerator.h"
#include "com/object_moniker.h"
#include "com/property_bag.h"
#include "support/log.h"
#include "com/platform_servers.h"
#include "streaming/filter_mapper_store.h"

namespace platform::streaming {

namespace {

const BuiltinClassRegistrar registerSystemDeviceEnum(CLSID_SystemDeviceEnum,
                                                     &SystemDeviceEnum::Create);

// The in-process providers. `mutex` guards `entries`.
struct InProcessProviders {
    struct Entry {
        CLSID category;
        ComPtr<IDeviceProvider> provider;
    };
    std::mutex mutex;
    std::vector<Entry> entries;
};

InProcessProviders& Providers() {
    static InProcessProviders* providers = new InProcessProviders();  // lives to process end
    return *providers;
}

// Appends the providers of the category: in-process ones first, then the registered classes.
void CollectProviders(REFCLSID category, std::vector<ComPtr<IDeviceProvider>>* out) {
    {
        InProcessProviders& providers = Providers();
        std::lock_guard<std::mutex> guard(providers.mutex);
        for (const auto& entry : providers.entries) {
            if (entry.category != category) continue;
            out->emplace_back(entry.provider.Get());
        }
    }

    OLECHAR categoryText[CHARS_IN_GUID];
    if (StringFromGUID2(category, categoryText, CHARS_IN_GUID) == 0) return;
    std::string path = "DeviceProviders\\";
    for (const OLECHAR* c = categoryText; *c != 0; ++c) path.push_back(static_cast<char>(*c));
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        char name[MAX_PATH];
        DWORD length = sizeof name;
        const LONG status =
            RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // too long to be a class identifier
        if (status != ERROR_SUCCESS) break;
        OLECHAR wide[MAX_PATH];
        DWORD i = 0;
        for (; i < length && i + 1 < MAX_PATH; ++i) wide[i] = static_cast<unsigned char>(name[i]);
        wide[i] = 0;
        CLSID clsid;
        if (FAILED(CLSIDFromString(wide, &clsid))) {
            PLATFORM_LOG(platform::log::kStreaming, Warning, "%s: skipping \"%s\", not a class identifier",
                         path.c_str(), name);
            continue;
        }
        ComPtr<IDeviceProvider> provider;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IDeviceProvider, provider.PutVoid());
        if (SUCCEEDED(hr) && provider) {
            out->push_back(std::move(provider));
        } else {
            // Its devices are missing from the list; the com lines tell why it failed.
            PLATFORM_LOG(platform::log::kStreaming, Warning, "%s: device provider %s cannot be created (status 0x%08X)",
                         path.c_str(), name, static_cast<unsigned>(hr));
        }
    }
    RegCloseKey(key);
}

// A moniker for one device; empty when out of memory.
ComPtr<IMoniker> MakeDeviceMoniker(BSTR friendlyName, const CLSID& filterClsid, BSTR devicePath) {
    const auto bag = ComPtr<PropertyBag>::Adopt(new (std::nothrow) PropertyBag());
    if (!bag) return nullptr;
    OLECHAR clsidText[CHARS_IN_GUID];
    if (StringFromGUID2(filterClsid, clsidText, CHARS_IN_GUID) == 0) clsidText[0] = 0;
    bag->SetString(u"FriendlyName", friendlyName != nullptr ? friendlyName : u"");
    bag->SetString(u"CLSID", clsidText);
    bag->SetString(u"DevicePath", devicePath != nullptr ? devicePath : u"");
    return ComPtr<IMoniker>::Adopt(new (std::nothrow) ObjectMoniker(bag.Get()));
}

// Adds the provider's current devices of the category to `monikers`; the provider's failure to
// list them, S_OK when it could.
HRESULT CollectDevices(IDeviceProvider* provider, REFCLSID category,
                       std::vector<ComPtr<IMoniker>>* monikers) {
    ULONG count = 0;
    const HRESULT hr = provider->Snapshot(category, &count);
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kStreaming, Warning, "a device provider of %s cannot list its devices (status 0x%08X)",
                     FilterMapperStore::GuidText(category).c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    for (ULONG index = 0; index < count; ++index) {
        BSTR name = nullptr;
        BSTR path = nullptr;
        CLSID filterClsid = GUID_NULL;
        const HRESULT device = provider->GetDevice(index, &name, &filterClsid, &path);
        if (SUCCEEDED(device)) {
            ComPtr<IMoniker> moniker = MakeDeviceMoniker(name, filterClsid, path);
            if (moniker) monikers->push_back(std::move(moniker));
        } else {
            // Devices may leave between the snapshot and the look-up.
            PLATFORM_LOG(platform::log::kStreaming, Info, "device %lu of %lu is gone (status 0x%08X)",
                         static_cast<unsigned long>(index), static_cast<unsigned long>(count),
                         static_cast<unsigned>(device));
        }
        SysFreeString(name);
        SysFreeString(path);
    }
    return S_OK;
}

}  // namespace

HRESULT SystemDeviceEnum::Create(IUnknown* outer, REFIID iid, void** out) {
    return CreateInstance<SystemDeviceEnum>(outer, iid, out);
}

HRESULT SystemDeviceEnum::CreateClassEnumerator(REFCLSID clsidDeviceClass,
                                                IEnumMoniker** ppEnumMoniker, DWORD) {
    if (ppEnumMoniker == nullptr) return E_POINTER;
    *ppEnumMoniker = nullptr;
    // The platform's own servers register their device providers on first use of a state directory.
    EnsurePlatformServersRegistered();
    std::vector<ComPtr<IDeviceProvider>> providers;
    MonikerEnumerator::List monikers;
    HRESULT hr = S_OK;
    bool denied = false;  // a provider may not open its devices' files
    try {
        CollectProviders(clsidDeviceClass, &providers);
        for (const auto& provider : providers) {
            denied |= CollectDevices(provider.Get(), clsidDeviceClass, &monikers) ==
                      HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
        PLATFORM_LOG(platform::log::kStreaming, Debug, "category %s: %zu devices from %zu providers",
                     FilterMapperStore::GuidText(clsidDeviceClass).c_str(), monikers.size(),
                     providers.size());
        if (monikers.empty()) {
            // None, and a provider could not look for lack of permission: say that rather than
            // "no devices", so that the user can be told to join the group that may.
            hr = denied ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) : S_FALSE;
        } else {
            *ppEnumMoniker = MonikerEnumerator::Create(std::move(monikers));
            if (*ppEnumMoniker == nullptr) hr = E_OUTOFMEMORY;
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    return hr;
}

}  // namespace platform::streaming

namespace platform {

PLATFORM_API void RegisterDeviceProvider(const CLSID& category, IDeviceProvider* provider) {
    if (provider == nullptr) return;
    streaming::InProcessProviders& providers = streaming::Providers();
    std::lock_guard<std::mutex> guard(providers.mutex);
    try {
        providers.entries.push_back({category, ComPtr<IDeviceProvider>(provider)});
    } catch (const std::bad_alloc&) {
        return;  // nothing registered, nothing held
    }
}

PLATFORM_API void UnregisterDeviceProvider(const CLSID& category, IDeviceProvider* provider) {
    ComPtr<IDeviceProvider> removed;  // let go outside the lock: may run the provider's code
    {
        streaming::InProcessProviders& providers = streaming::Providers();
        std::lock_guard<std::mutex> guard(providers.mutex);
        for (auto it = providers.entries.begin(); it != providers.entries.end(); ++it) {
            if (it->category == category && it->provider.Get() == provider) {
                removed = std::move(it->provider);
                providers.entries.erase(it);
                break;
            }
        }
    }
}

}  // namespace platform
