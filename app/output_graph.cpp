#include "output_graph.h"

#include <string>

namespace {

// Looked up in this order; the first three among the registered filters, the last among the
// video-input devices.
const char* const kFilterNames[4] = {
    "Velora Color Bar",
    "DV Video Encoder",
    "DV Muxer",
    "Microsoft DV Camera and VCR",
};

struct Connection {
    const char* outputPin;
    const char* inputPin;
    const char* message;
};

const Connection kConnections[3] = {
    {"Output", "XForm In", "初期化に失敗しました。(VCB->DVE)"},
    {"XForm Out", "Stream 0", "初期化に失敗しました。(DVE->DVM)"},
    {"Output", "DV A/V In", "初期化に失敗しました。(DVM->DVS)"},
};

// What Build keeps of a matching registered-filter record. The name is a copy: the record goes
// back to the task allocator as soon as it has been examined, but the name is needed until the
// filter has joined the graph. A name that matched no record keeps the null class identifier.
struct KeptRecord {
    CLSID clsid = CLSID_NULL;
    std::u16string name;
};

// Converts a wide platform name into `buffer` (ANSI code page). A name that does not fit, or
// cannot be converted, becomes the empty string so that it matches nothing.
void ToAnsi(const WCHAR* name, char* buffer, int size) {
    buffer[0] = '\0';
    if (name == nullptr) return;
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, buffer, size, nullptr, nullptr) == 0) {
        buffer[0] = '\0';
    }
    buffer[size - 1] = '\0';
}

template <typename T>
void SafeRelease(T*& p) {
    if (p != nullptr) {
        p->Release();
        p = nullptr;
    }
}

}  // namespace

COutputGraph::COutputGraph(MessageFunction message) : m_message(message) {
    CoInitialize(nullptr);
}

COutputGraph::~COutputGraph() {
    CoUninitialize();
}

int COutputGraph::Build() {
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
    if (FAILED(hr) || mapper == nullptr) {
        CoUninitialize();
        m_message("FilterMapperの初期化に失敗しました\n");
        return 0;
    }

    // Every registered filter of at least the merit the colour-bar filter registers with.
    IEnumRegFilters* registered = nullptr;
    hr = mapper->EnumMatchingFilters(&registered, MERIT_DO_NOT_USE, FALSE, GUID_NULL, GUID_NULL,
                                     FALSE, FALSE, GUID_NULL, GUID_NULL);
    if (FAILED(hr)) SafeRelease(registered);

    KeptRecord kept[3];
    if (registered != nullptr) {
        for (int i = 0; i < 3; ++i) {
            registered->Reset();
            REGFILTER* record = nullptr;
            ULONG fetched = 0;
            while (registered->Next(1, &record, &fetched) == S_OK && record != nullptr) {
                char name[128];
                ToAnsi(record->Name, name, sizeof(name));
                const bool match = name[0] != '\0' && lstrcmpA(name, kFilterNames[i]) == 0;
                if (match) {
                    kept[i].clsid = record->Clsid;
                    kept[i].name = record->Name;
                }
                CoTaskMemFree(record);
                record = nullptr;
                if (match) break;
            }
        }
    }
    SafeRelease(registered);
    SafeRelease(mapper);

    hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                          reinterpret_cast<void**>(&m_pGraph));
    if (FAILED(hr) || m_pGraph == nullptr) {
        m_pGraph = nullptr;
        CoUninitialize();
        return -1;
    }

    for (int i = 0; i < 4; ++i) {
        if (i < 3) {
            // An entry that was not found is created all the same: nothing is registered under
            // the null class identifier, so it fails like any other failed creation.
            REGFILTER record;
            record.Clsid = kept[i].clsid;
            record.Name = kept[i].name.data();
            m_pFilter[i] = CreateRegisteredFilter(m_pGraph, record);
            if (m_pFilter[i] == nullptr) {
                const std::string text =
                    std::string("必要なコンポーネントのロードに失敗しました。(") + kFilterNames[i] + ")";
                m_message(text.c_str());
                return 0;
            }
        } else {
            m_pFilter[3] = CreateDeviceFilter(m_pGraph, kFilterNames[3], 1);
            if (m_pFilter[3] == nullptr) {
                m_message("DV機器が見つかりませんでした。");
                return 0;
            }
        }
    }

    // Pins are looked up just before their connection, so a failure leaves the later ones null.
    IPin** const outputs[3] = {&m_pSourceOut, &m_pEncoderOut, &m_pMuxerOut};
    IPin** const inputs[3] = {&m_pEncoderIn, &m_pMuxerIn, &m_pDeviceIn};
    for (int c = 0; c < 3; ++c) {
        *outputs[c] = FindPinByName(m_pFilter[c], kConnections[c].outputPin);
        *inputs[c] = FindPinByName(m_pFilter[c + 1], kConnections[c].inputPin);
        // No media type: the two pins negotiate it themselves.
        if (*outputs[c] == nullptr || *inputs[c] == nullptr ||
            FAILED(m_pGraph->ConnectDirect(*outputs[c], *inputs[c], nullptr))) {
            m_message(kConnections[c].message);
            return 0;
        }
    }

    m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_pControl));
    if (m_pControl == nullptr) {
        m_message("メディアコントロールのロードに失敗しました。");
        return 0;
    }
    // Where failures while streaming (a deck that goes away, a full tape) come in. A graph
    // without events still streams; it only cannot be watched.
    m_pGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&m_pEvent));
    return 1;
}

int COutputGraph::Run() {
    if (m_pControl == nullptr) return 1;
    const HRESULT hr = m_pControl->Run();
    if (FAILED(hr)) {
        StreamFailed(CStreamFailure::kStarting, 0, hr);
        return 0;
    }
    return 1;
}

int COutputGraph::CheckEvents() {
    LONG code = 0;
    HRESULT status = S_OK;
    if (!TakeFailureEvent(&code, &status)) return 1;
    StreamFailed(CStreamFailure::kStreaming, code, status);
    return 0;
}

bool COutputGraph::TakeFailureEvent(LONG* code, HRESULT* status) {
    if (m_pEvent == nullptr) return false;
    LONG_PTR param1 = 0, param2 = 0;
    while (m_pEvent->GetEvent(code, &param1, &param2, 0) == S_OK) {
        m_pEvent->FreeEventParams(*code, param1, param2);
        if (CStreamFailure::EndsStreaming(*code, param2)) {
            // The first failure is the cause; what the other filters post after it only follows
            // from it. The device-lost event carries no status.
            *status = *code == EC_DEVICE_LOST ? S_OK : static_cast<HRESULT>(param1);
            return true;
        }
    }
    return false;
}

void COutputGraph::StreamFailed(CStreamFailure::Stage stage, LONG eventCode, HRESULT status) {
    // Stopped first, so nothing streams into a failed device while the message waits for OK.
    // What the stop itself brings up only follows from this failure.
    StopGraph();
    const std::string text = CStreamFailure::Describe(stage, eventCode, status);
    m_message(text.c_str());
}

int COutputGraph::Stop() {
    if (m_pControl == nullptr) return 1;
    StopGraph();
    // The device posts what it lost at the stop the way it posts a failure while streaming.
    LONG code = 0;
    HRESULT status = S_OK;
    if (!TakeFailureEvent(&code, &status)) return 1;
    const std::string text = CStreamFailure::Describe(CStreamFailure::kStreaming, code, status);
    m_message(text.c_str());
    return 0;
}

void COutputGraph::StopGraph() {
    if (m_pControl != nullptr) m_pControl->Stop();
}

IBaseFilter* COutputGraph::CreateRegisteredFilter(IGraphBuilder* graph, const REGFILTER& record) {
    IBaseFilter* filter = nullptr;
    const HRESULT hr = CoCreateInstance(record.Clsid, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    if (FAILED(hr) || filter == nullptr) return nullptr;
    graph->AddFilter(filter, record.Name);
    return filter;
}

IPin* COutputGraph::FindPinByName(IBaseFilter* filter, const char* name) {
    if (filter == nullptr) return nullptr;
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins)) || pins == nullptr) return nullptr;

    pins->Reset();
    IPin* pin = nullptr;
    ULONG fetched = 0;
    while (pins->Next(1, &pin, &fetched) == S_OK && pin != nullptr) {
        PIN_INFO info = {};
        if (SUCCEEDED(pin->QueryPinInfo(&info))) {
            // The information holds a reference on the pin's filter.
            if (info.pFilter != nullptr) info.pFilter->Release();
            info.achName[MAX_PIN_NAME - 1] = 0;
            char pinName[128];
            ToAnsi(info.achName, pinName, sizeof(pinName));
            if (lstrcmpA(pinName, name) == 0) {
                pins->Release();
                return pin;
            }
        }
        pin->Release();
        pin = nullptr;
    }
    pins->Release();
    return nullptr;
}

IBaseFilter* COutputGraph::CreateDeviceFilter(IGraphBuilder* graph, const char* friendlyName,
                                              int addToGraph) {
    IMoniker* moniker = nullptr;
    if (FindDeviceMoniker(&moniker, friendlyName) == 0 || moniker == nullptr) {
        SafeRelease(moniker);
        return nullptr;
    }
    IBaseFilter* filter = nullptr;
    const HRESULT hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                             reinterpret_cast<void**>(&filter));
    moniker->Release();
    if (FAILED(hr) || filter == nullptr) return nullptr;

    WCHAR wideName[100] = {};
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, friendlyName, -1, wideName, 100) == 0) {
        wideName[0] = 0;
    }
    wideName[99] = 0;
    if (addToGraph == 1) graph->AddFilter(filter, wideName);
    return filter;
}

int COutputGraph::FindDeviceMoniker(IMoniker** moniker, const char* friendlyName) {
    *moniker = nullptr;
    ICreateDevEnum* devices = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICreateDevEnum, reinterpret_cast<void**>(&devices));
    if (FAILED(hr) || devices == nullptr) return 0;

    IEnumMoniker* category = nullptr;
    hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &category, 0);
    devices->Release();
    if (FAILED(hr) || category == nullptr) {
        SafeRelease(category);
        return 0;
    }

    int found = 0;
    category->Reset();
    IMoniker* device = nullptr;
    ULONG fetched = 0;
    while (category->Next(1, &device, &fetched) == S_OK && device != nullptr) {
        IBindCtx* context = nullptr;
        CreateBindCtx(0, &context);
        IPropertyBag* bag = nullptr;
        hr = device->BindToStorage(context, nullptr, IID_IPropertyBag,
                                   reinterpret_cast<void**>(&bag));
        if (SUCCEEDED(hr) && bag != nullptr) {
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_BSTR;
            value.bstrVal = nullptr;
            if (SUCCEEDED(bag->Read(u"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR &&
                value.bstrVal != nullptr) {
                char name[100];
                ToAnsi(value.bstrVal, name, sizeof(name));
                if (name[0] != '\0' && lstrcmpA(name, friendlyName) == 0) {
                    // Several devices may carry the name; the last one enumerated is used, and
                    // the one it replaces is let go.
                    SafeRelease(*moniker);
                    *moniker = device;
                    device->AddRef();
                    found = 1;
                }
            }
            VariantClear(&value);
            bag->Release();
        } else {
            SafeRelease(bag);
        }
        SafeRelease(context);
        SafeRelease(device);
    }
    category->Release();
    return found;
}
