// graphinfo: lists the registered filters (name, class, merit, pins with their media types) and
// the video input devices.
//
// Exit status: 0 listed; 1 the filters cannot be listed (the registry's reason on stderr); 2
// listed, but the platform's own servers could not be registered, so the DV filters and devices
// may be missing (the reason on stderr).
#include <dshow.h>
#include <platform/platform.h>

#include <cstdio>
#include <string>
#include <vector>

#include "streaming/filter_mapper_store.h"

using platform::FilterMapperStore;

namespace {

std::string GuidName(REFGUID guid) {
    struct Known {
        const GUID* guid;
        const char* name;
    };
    static const Known known[] = {
        {&GUID_NULL, "any"},
        {&MEDIATYPE_Video, "Video"},
        {&MEDIATYPE_Audio, "Audio"},
        {&MEDIATYPE_Interleaved, "Interleaved"},
        {&MEDIATYPE_Stream, "Stream"},
        {&MEDIASUBTYPE_RGB1, "RGB1"},
        {&MEDIASUBTYPE_RGB4, "RGB4"},
        {&MEDIASUBTYPE_RGB8, "RGB8"},
        {&MEDIASUBTYPE_RGB565, "RGB565"},
        {&MEDIASUBTYPE_RGB555, "RGB555"},
        {&MEDIASUBTYPE_RGB24, "RGB24"},
        {&MEDIASUBTYPE_RGB32, "RGB32"},
        {&MEDIASUBTYPE_dvsd, "dvsd"},
        {&MEDIASUBTYPE_PCM, "PCM"},
    };
    for (const Known& entry : known) {
        if (*entry.guid == guid) return entry.name;
    }
    return FilterMapperStore::GuidText(guid);
}

std::string PinFlags(DWORD flags) {
    std::string text = (flags & REG_PINFLAG_B_OUTPUT) ? "output" : "input";
    if (flags & REG_PINFLAG_B_RENDERER) text += ", rendered";
    if (flags & REG_PINFLAG_B_ZERO) text += ", zero";
    if (flags & REG_PINFLAG_B_MANY) text += ", many";
    return text;
}

void PrintFilter(const REGFILTER& record) {
    std::printf("  %s\n", FilterMapperStore::Narrow(record.Name).c_str());
    std::printf("    class  %s\n", FilterMapperStore::GuidText(record.Clsid).c_str());
    std::string path;
    FilterMapperStore::Filter filter;
    FilterMapperStore::EntryPath(nullptr, nullptr, record.Clsid, &path);
    if (FAILED(FilterMapperStore::ReadEntry(path, &filter))) {
        std::printf("    (details unreadable)\n");
        return;
    }
    std::printf("    merit  0x%08X\n", static_cast<unsigned>(filter.merit));
    if (filter.pins.empty()) std::printf("    no pins\n");
    for (const auto& pin : filter.pins) {
        std::printf("    pin \"%s\": %s\n", FilterMapperStore::Narrow(pin.name).c_str(),
                    PinFlags(pin.flags).c_str());
        if (pin.connectsToFilter != CLSID_NULL || !pin.connectsToPin.empty())
            std::printf("      connects to %s \"%s\"\n",
                        FilterMapperStore::GuidText(pin.connectsToFilter).c_str(),
                        FilterMapperStore::Narrow(pin.connectsToPin).c_str());
        for (const auto& type : pin.types)
            std::printf("      type %s / %s\n", GuidName(type.major).c_str(),
                        GuidName(type.minor).c_str());
    }
}

int ListFilters() {
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) {
        std::fprintf(stderr, "graphinfo: no filter mapper (status 0x%08X)\n",
                     static_cast<unsigned>(hr));
        return 1;
    }
    IEnumRegFilters* filters = nullptr;
    hr = mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE,
                                     GUID_NULL, GUID_NULL);
    mapper->Release();
    if (FAILED(hr) || filters == nullptr) {
        const std::string cause = platform::RegistryFailureText();
        std::fprintf(stderr, "graphinfo: cannot list filters (status 0x%08X)%s%s\n",
                     static_cast<unsigned>(hr), cause.empty() ? "" : ": ", cause.c_str());
        return 1;
    }
    std::printf("Registered filters:\n");
    int count = 0;
    REGFILTER* record = nullptr;
    ULONG fetched = 0;
    while (filters->Next(1, &record, &fetched) == S_OK && fetched == 1) {
        PrintFilter(*record);
        CoTaskMemFree(record);
        ++count;
    }
    filters->Release();
    if (count == 0) std::printf("  none\n");
    return 0;
}

std::string ReadProperty(IPropertyBag* bag, const char16_t* name) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    std::string text;
    if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR &&
        value.bstrVal != nullptr)
        text = FilterMapperStore::Narrow(value.bstrVal);
    VariantClear(&value);
    return text;
}

void ListDevices() {
    std::printf("Video input devices:\n");
    ICreateDevEnum* devices = nullptr;
    IEnumMoniker* monikers = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICreateDevEnum, reinterpret_cast<void**>(&devices)))) {
        if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) != S_OK &&
            monikers != nullptr) {
            monikers->Release();
            monikers = nullptr;
        }
        devices->Release();
    }
    int count = 0;
    IMoniker* moniker = nullptr;
    while (monikers != nullptr && monikers->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                             reinterpret_cast<void**>(&bag))) &&
            bag != nullptr) {
            const std::string name = ReadProperty(bag, u"FriendlyName");
            const std::string devicePath = ReadProperty(bag, u"DevicePath");
            std::printf("  %s", name.empty() ? "(unnamed)" : name.c_str());
            if (!devicePath.empty()) std::printf("  [%s]", devicePath.c_str());
            std::printf("\n");
            bag->Release();
            ++count;
        }
        moniker->Release();
    }
    if (monikers != nullptr) monikers->Release();
    if (count == 0) std::printf("  no devices\n");
}

}  // namespace

int main() {
    CoInitialize(nullptr);
    int result = ListFilters();
    if (result == 0) ListDevices();
    // Without them the DV filters and the DV devices are missing from the lists above.
    const std::string seeding = platform::PlatformServersFailure();
    if (!seeding.empty()) {
        std::fprintf(stderr, "graphinfo: the platform's own filters are not registered: %s\n",
                     seeding.c_str());
        if (result == 0) result = 2;
    }
    CoUninitialize();
    return result;
}
