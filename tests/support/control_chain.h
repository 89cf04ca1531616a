// The graph as the control program builds it, found and connected through the platform only:
// "Velora Color Bar", "DV Video Encoder" and "DV Muxer" by their registered names, the last device
// named "Microsoft DV Camera and VCR" (the deck started last) by its friendly name, and three
// direct connections with no media type. Shared by the end-to-end tests and the benchmarks that
// run the whole chain, so that all of them build the same graph the same way.
//
// Threads: one object per thread that uses it; COM must be initialised on that thread.
#pragma once

#include <dshow.h>

#include <cstdio>
#include <cstring>
#include <string>

template <typename T>
inline void SafeRelease(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

inline std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) out += char(*text);
    return out;
}

inline std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
    return text;
}

struct ControlChain {
    IGraphBuilder* graph = nullptr;
    IBaseFilter* filters[4] = {};
    IPin* pins[6] = {};
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;

    ~ControlChain() { Release(); }

    void Release() {
        SafeRelease(events);
        SafeRelease(control);
        for (IPin*& pin : pins) SafeRelease(pin);
        for (IBaseFilter*& filter : filters) SafeRelease(filter);
        SafeRelease(graph);
    }

    static IPin* FindPin(IBaseFilter* filter, const std::string& name) {
        IEnumPins* pinEnum = nullptr;
        if (filter == nullptr || FAILED(filter->EnumPins(&pinEnum))) return nullptr;
        IPin* found = nullptr;
        IPin* pin = nullptr;
        while (found == nullptr && pinEnum->Next(1, &pin, nullptr) == S_OK) {
            PIN_INFO info {};
            if (SUCCEEDED(pin->QueryPinInfo(&info))) {
                SafeRelease(info.pFilter);
                if (Narrow(info.achName) == name) {
                    found = pin;
                    continue;
                }
            }
            pin->Release();
        }
        pinEnum->Release();
        return found;
    }

    // The last device named "Microsoft DV Camera and VCR" (the deck started last), bound.
    static IBaseFilter* FindDevice() {
        ICreateDevEnum* devEnum = nullptr;
        if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                    reinterpret_cast<void**>(&devEnum)))) {
            return nullptr;
        }
        IEnumMoniker* monikers = nullptr;
        devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
        devEnum->Release();
        if (monikers == nullptr) return nullptr;
        IMoniker* chosen = nullptr;
        IMoniker* moniker = nullptr;
        while (monikers->Next(1, &moniker, nullptr) == S_OK) {
            IPropertyBag* bag = nullptr;
            if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                                 reinterpret_cast<void**>(&bag)))) {
                VARIANT name;
                VariantInit(&name);
                name.vt = VT_BSTR;
                if (SUCCEEDED(bag->Read(u"FriendlyName", &name, nullptr)) &&
                    Narrow(name.bstrVal) == "Microsoft DV Camera and VCR") {
                    SafeRelease(chosen);
                    chosen = moniker;
                    chosen->AddRef();
                }
                VariantClear(&name);
                bag->Release();
            }
            moniker->Release();
        }
        monikers->Release();
        IBaseFilter* filter = nullptr;
        if (chosen != nullptr) {
            chosen->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
            chosen->Release();
        }
        return filter;
    }

    // "" when built, else what failed.
    std::string Build() {
        const char* names[3] = {"Velora Color Bar", "DV Video Encoder", "DV Muxer"};
        CLSID clsids[3] = {};
        bool found[3] = {};
        IFilterMapper* mapper = nullptr;
        if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                    reinterpret_cast<void**>(&mapper)))) {
            return "no filter mapper";
        }
        IEnumRegFilters* regEnum = nullptr;
        mapper->EnumMatchingFilters(&regEnum, MERIT_DO_NOT_USE, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE,
                                    GUID_NULL, GUID_NULL);
        for (int i = 0; i < 3 && regEnum != nullptr; ++i) {
            regEnum->Reset();
            REGFILTER* record = nullptr;
            while (!found[i] && regEnum->Next(1, &record, nullptr) == S_OK) {
                if (Narrow(record->Name) == names[i]) {
                    clsids[i] = record->Clsid;
                    found[i] = true;
                }
                CoTaskMemFree(record);
            }
        }
        SafeRelease(regEnum);
        mapper->Release();
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    reinterpret_cast<void**>(&graph)))) {
            return "no graph manager";
        }
        for (int i = 0; i < 3; ++i) {
            if (!found[i] || FAILED(CoCreateInstance(clsids[i], nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                                     reinterpret_cast<void**>(&filters[i])))) {
                return std::string("cannot create ") + names[i];
            }
            const std::u16string wide(names[i], names[i] + std::strlen(names[i]));
            if (FAILED(graph->AddFilter(filters[i], wide.c_str()))) return std::string("cannot add ") + names[i];
        }
        filters[3] = FindDevice();
        if (filters[3] == nullptr) return "no DV device found";
        if (FAILED(graph->AddFilter(filters[3], u"Microsoft DV Camera and VCR"))) return "cannot add the device";

        const char* pinNames[6] = {"Output", "XForm In", "XForm Out", "Stream 0", "Output", "DV A/V In"};
        for (int c = 0; c < 3; ++c) {
            pins[2 * c] = FindPin(filters[c], pinNames[2 * c]);
            pins[2 * c + 1] = FindPin(filters[c + 1], pinNames[2 * c + 1]);
            if (pins[2 * c] == nullptr || pins[2 * c + 1] == nullptr) {
                return std::string("connection ") + std::to_string(c + 1) + ": pin missing";
            }
            const HRESULT hr = graph->ConnectDirect(pins[2 * c], pins[2 * c + 1], nullptr);
            if (FAILED(hr)) return std::string("connection ") + std::to_string(c + 1) + " failed: " + Hex(hr);
        }
        graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
        graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events));
        if (control == nullptr || events == nullptr) return "no media control or events";
        return "";
    }

    // Build, then Run and Pause as the control program starts its output (the source streams on
    // while paused): "" when streaming, else what failed.
    std::string BuildAndStart() {
        const std::string failed = Build();
        if (!failed.empty()) return failed;
        const HRESULT ran = control->Run();
        if (FAILED(ran)) return "Run failed: " + Hex(ran);
        control->Pause();
        return "";
    }
};
