// graphinfo: lists the registered filters (name, class, merit, pins with their media types) and
// the video input devices.
//
//   graphinfo          as text
//   graphinfo --json   the same facts as one JSON object, for scripts
//
// Exit status: 0 listed; 1 the filters cannot be listed (the registry's reason on stderr); 2
// usage; 3 listed, but the platform's own servers could not be registered, so the DV filters and
// devices may be missing (the reason on stderr).
#include <dshow.h>
#include <platform/platform.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/log.h"
#include "streaming/filter_mapper_store.h"
#include "support/text.h"
#include "support/tool_options.h"

using platform::FilterMapperStore;

namespace {

// What graphinfo reports, gathered before anything is printed so a failure prints no half list.
struct PinFacts {
    std::string name;
    DWORD flags = 0;
    CLSID connectsToFilter = CLSID_NULL;
    std::string connectsToPin;
    std::vector<FilterMapperStore::PinType> types;
};
struct FilterFacts {
    std::string name;
    CLSID clsid = CLSID_NULL;
    bool detailsRead = false;  // merit and pins are valid
    DWORD merit = 0;
    std::vector<PinFacts> pins;
};
struct DeviceFacts {
    std::string name;
    std::string devicePath;
};
struct Facts {
    std::vector<FilterFacts> filters;
    std::vector<DeviceFacts> devices;
};

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

FilterFacts ReadFilter(const REGFILTER& record) {
    FilterFacts facts;
    facts.name = FilterMapperStore::Narrow(record.Name);
    facts.clsid = record.Clsid;
    std::string path;
    FilterMapperStore::Filter filter;
    FilterMapperStore::EntryPath(nullptr, nullptr, record.Clsid, &path);
    const HRESULT hr = FilterMapperStore::ReadEntry(path, &filter);
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kTools, Warning, "graphinfo: cannot read the entry %s (status 0x%08X)",
                     path.c_str(), static_cast<unsigned>(hr));
        return facts;
    }
    facts.detailsRead = true;
    facts.merit = filter.merit;
    for (const auto& pin : filter.pins) {
        facts.pins.push_back({FilterMapperStore::Narrow(pin.name), pin.flags,
                              pin.connectsToFilter, FilterMapperStore::Narrow(pin.connectsToPin),
                              pin.types});
    }
    return facts;
}

bool ReadFilters(std::vector<FilterFacts>* filters) {
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
    if (FAILED(hr)) {
        std::fprintf(stderr, "graphinfo: no filter mapper (status 0x%08X)\n",
                     static_cast<unsigned>(hr));
        return false;
    }
    IEnumRegFilters* records = nullptr;
    hr = mapper->EnumMatchingFilters(&records, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE,
                                     GUID_NULL, GUID_NULL);
    mapper->Release();
    if (FAILED(hr) || records == nullptr) {
        const std::string cause = platform::RegistryFailureText();
        std::fprintf(stderr, "graphinfo: cannot list filters (status 0x%08X)%s%s\n",
                     static_cast<unsigned>(hr), cause.empty() ? "" : ": ", cause.c_str());
        return false;
    }
    REGFILTER* record = nullptr;
    ULONG fetched = 0;
    while (records->Next(1, &record, &fetched) == S_OK && fetched == 1) {
        filters->push_back(ReadFilter(*record));
        CoTaskMemFree(record);
    }
    records->Release();
    return true;
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

// No device enumerator or an empty category both list no devices; the first is logged.
void ReadDevices(std::vector<DeviceFacts>* devices) {
    ICreateDevEnum* enumerator = nullptr;
    IEnumMoniker* monikers = nullptr;
    const HRESULT hr =
        CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                         IID_ICreateDevEnum, reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) {
        PLATFORM_LOG(platform::log::kTools, Error, "graphinfo: no system device enumerator (status 0x%08X)",
                     static_cast<unsigned>(hr));
        return;
    }
    if (enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) != S_OK &&
        monikers != nullptr) {
        monikers->Release();
        monikers = nullptr;
    }
    enumerator->Release();
    IMoniker* moniker = nullptr;
    while (monikers != nullptr && monikers->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                             reinterpret_cast<void**>(&bag))) &&
            bag != nullptr) {
            devices->push_back({ReadProperty(bag, u"FriendlyName"), ReadProperty(bag, u"DevicePath")});
            bag->Release();
        } else {
            PLATFORM_LOG(platform::log::kTools, Warning, "graphinfo: a device's properties cannot be read");
        }
        moniker->Release();
    }
    if (monikers != nullptr) monikers->Release();
}

std::string PinFlags(DWORD flags) {
    std::string text = (flags & REG_PINFLAG_B_OUTPUT) ? "output" : "input";
    if (flags & REG_PINFLAG_B_RENDERER) text += ", rendered";
    if (flags & REG_PINFLAG_B_ZERO) text += ", zero";
    if (flags & REG_PINFLAG_B_MANY) text += ", many";
    return text;
}

bool HasConnection(const PinFacts& pin) {
    return pin.connectsToFilter != CLSID_NULL || !pin.connectsToPin.empty();
}

void PrintText(const Facts& facts) {
    std::printf("Registered filters:\n");
    for (const FilterFacts& filter : facts.filters) {
        std::printf("  %s\n", filter.name.c_str());
        std::printf("    class  %s\n", FilterMapperStore::GuidText(filter.clsid).c_str());
        if (!filter.detailsRead) {
            std::printf("    (details unreadable)\n");
            continue;
        }
        std::printf("    merit  0x%08X\n", static_cast<unsigned>(filter.merit));
        if (filter.pins.empty()) std::printf("    no pins\n");
        for (const PinFacts& pin : filter.pins) {
            std::printf("    pin \"%s\": %s\n", pin.name.c_str(), PinFlags(pin.flags).c_str());
            if (HasConnection(pin))
                std::printf("      connects to %s \"%s\"\n",
                            FilterMapperStore::GuidText(pin.connectsToFilter).c_str(),
                            pin.connectsToPin.c_str());
            for (const auto& type : pin.types)
                std::printf("      type %s / %s\n", GuidName(type.major).c_str(),
                            GuidName(type.minor).c_str());
        }
    }
    if (facts.filters.empty()) std::printf("  none\n");

    std::printf("Video input devices:\n");
    for (const DeviceFacts& device : facts.devices) {
        std::printf("  %s", device.name.empty() ? "(unnamed)" : device.name.c_str());
        if (!device.devicePath.empty()) std::printf("  [%s]", device.devicePath.c_str());
        std::printf("\n");
    }
    if (facts.devices.empty()) std::printf("  no devices\n");
}

// Raised when a member is renamed or removed or changes its meaning, not for added members.
constexpr int kJsonFormatVersion = 1;

using Json = nlohmann::ordered_json;

Json JsonType(const FilterMapperStore::PinType& type) {
    return Json{{"major", GuidName(type.major)},
                {"minor", GuidName(type.minor)},
                {"majorGuid", FilterMapperStore::GuidText(type.major)},
                {"minorGuid", FilterMapperStore::GuidText(type.minor)}};
}

Json JsonPin(const PinFacts& pin) {
    Json out;
    out["name"] = pin.name;
    out["direction"] = (pin.flags & REG_PINFLAG_B_OUTPUT) ? "output" : "input";
    out["rendered"] = (pin.flags & REG_PINFLAG_B_RENDERER) != 0;
    out["zero"] = (pin.flags & REG_PINFLAG_B_ZERO) != 0;
    out["many"] = (pin.flags & REG_PINFLAG_B_MANY) != 0;
    out["connectsTo"] = HasConnection(pin) ? Json{{"filter", FilterMapperStore::GuidText(pin.connectsToFilter)},
                                                  {"pin", pin.connectsToPin}}
                                           : Json(nullptr);
    out["types"] = Json::array();
    for (const auto& type : pin.types) out["types"].push_back(JsonType(type));
    return out;
}

void PrintJson(const Facts& facts) {
    Json out;
    out["formatVersion"] = kJsonFormatVersion;
    out["filters"] = Json::array();
    for (const FilterFacts& filter : facts.filters) {
        Json entry;
        entry["name"] = filter.name;
        entry["class"] = FilterMapperStore::GuidText(filter.clsid);
        entry["detailsReadable"] = filter.detailsRead;
        if (filter.detailsRead) {
            entry["merit"] = filter.merit;
            entry["pins"] = Json::array();
            for (const PinFacts& pin : filter.pins) entry["pins"].push_back(JsonPin(pin));
        }
        out["filters"].push_back(std::move(entry));
    }
    out["devices"] = Json::array();
    for (const DeviceFacts& device : facts.devices) {
        out["devices"].push_back(Json{{"name", device.name}, {"devicePath", device.devicePath}});
    }
    // Whatever a library wrote into the registry, the output is valid UTF-8: every byte that is
    // no part of a UTF-8 character becomes U+FFFD.
    const std::string text = out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fputs(text.c_str(), stdout);
}

platform::tools::CommandLine& Options() {
    static platform::tools::CommandLine options(
        "graphinfo", "[--json]",
        "Lists the registered filters (name, class identifier, merit, pins and their media\n"
        "types) and the devices of the video input category.\n"
        "\n"
        "  --json      print the same facts as one JSON object\n"
        "  -h, --help  show this help and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Exit status: 0 listed, 1 the filters cannot be listed, 2 usage, 3 listed, but the\n"
        "platform's own filters could not be registered (DV filters and devices may be missing).\n",
        {{"json", 0, false, 'j'}});
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    platform::tools::CommandLine& options = Options();
    const int parsed = options.Parse(argc, argv, [&](int, const char*) -> std::string {
        json = true;
        return {};
    });
    if (parsed >= 0) return parsed;
    if (!options.Operands().empty())
        return options.UsageError("unexpected argument " + platform::QuotedName(options.Operands()[0]));

    CoInitialize(nullptr);
    Facts facts;
    const bool listed = ReadFilters(&facts.filters);
    if (listed) ReadDevices(&facts.devices);
    // Without them the DV filters and the DV devices are missing from the lists.
    const std::string seeding = platform::PlatformServersFailure();
    CoUninitialize();
    if (!listed) return 1;
    json ? PrintJson(facts) : PrintText(facts);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 1;
    if (!seeding.empty()) {
        std::fprintf(stderr, "graphinfo: the platform's own filters are not registered: %s\n",
                     seeding.c_str());
        return 3;
    }
    return 0;
}
