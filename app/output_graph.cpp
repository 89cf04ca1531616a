#include "output_graph.h"

#include <string>
#include <vector>

#include "graph/graph_recipe.h"
#include "messages/build_failure.h"

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
            CGraphRecipe::FindRegisteredFilter(registered, kFilterNames[i], &kept[i].clsid, &kept[i].name);
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
                m_message(CBuildFailure::ComponentMissing(kFilterNames[i]).c_str());
                return 0;
            }
        } else {
            m_pFilter[3] = CreateDeviceFilter(m_pGraph, kFilterNames[3], 1);
            if (m_pFilter[3] == nullptr) {
                m_message(CBuildFailure::NoDevice());
                return 0;
            }
        }
    }

    // Pins are looked up just before their connection, so a failure leaves the later ones null.
    IPin** const outputs[3] = {&m_pSourceOut, &m_pEncoderOut, &m_pMuxerOut};
    IPin** const inputs[3] = {&m_pEncoderIn, &m_pMuxerIn, &m_pDeviceIn};
    for (int c = 0; c < 3; ++c) {
        // No media type: the two pins negotiate it themselves.
        if (FAILED(CGraphRecipe::Connect(m_pGraph, m_pFilter[c], kConnections[c].outputPin, m_pFilter[c + 1],
                                         kConnections[c].inputPin, outputs[c], inputs[c]))) {
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
    CGraphRecipe::CreateFilter(graph, record.Clsid, record.Name, &filter);
    return filter;
}

IPin* COutputGraph::FindPinByName(IBaseFilter* filter, const char* name) {
    return CGraphRecipe::FindPin(filter, name);
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
    // Several devices may carry the name; the last one enumerated is used, the others let go.
    std::vector<CDeviceEntry> devices = CGraphRecipe::FindDevices(friendlyName);
    *moniker = devices.empty() ? nullptr : devices.back().moniker.Detach();
    return *moniker != nullptr ? 1 : 0;
}
