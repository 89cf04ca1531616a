#include "graph_recipe.h"

#include <cstring>

#include "graph/utf_text.h"

namespace {

bool Matches(const WCHAR* candidate, const char* wanted) {
    if (candidate == nullptr || wanted == nullptr || wanted[0] == '\0') return false;
    return CUtfText::Utf8OrEmpty(candidate) == wanted;
}

// A text property of a device's bag, "" when it has none.
std::string ReadText(IPropertyBag* bag, LPCOLESTR name) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = nullptr;
    std::string text;
    if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
        text = CUtfText::Utf8OrEmpty(value.bstrVal);
    }
    VariantClear(&value);
    return text;
}

}  // namespace

bool CGraphRecipe::FindRegisteredFilter(IEnumRegFilters* records, const char* name, CLSID* clsid,
                                        std::u16string* registeredName) {
    if (records == nullptr) return false;
    records->Reset();
    REGFILTER* record = nullptr;
    ULONG fetched = 0;
    while (records->Next(1, &record, &fetched) == S_OK && record != nullptr) {
        const bool match = Matches(record->Name, name);
        if (match) {
            *clsid = record->Clsid;
            *registeredName = record->Name;
        }
        // The record goes back to the task allocator; the name lives on in the copy.
        CoTaskMemFree(record);
        record = nullptr;
        if (match) return true;
    }
    return false;
}

HRESULT CGraphRecipe::CreateFilter(IGraphBuilder* graph, REFCLSID clsid, LPCWSTR name, IBaseFilter** filter) {
    *filter = nullptr;
    const HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(filter));
    if (FAILED(hr) || *filter == nullptr) {
        *filter = nullptr;
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    return graph->AddFilter(*filter, name);
}

IPin* CGraphRecipe::FindPin(IBaseFilter* filter, const char* name) {
    if (filter == nullptr) return nullptr;
    CComRef<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.out())) || !pins) return nullptr;
    pins->Reset();
    IPin* pin = nullptr;
    ULONG fetched = 0;
    while (pins->Next(1, &pin, &fetched) == S_OK && pin != nullptr) {
        CComRef<IPin> held(pin);
        PIN_INFO info = {};
        if (SUCCEEDED(held->QueryPinInfo(&info))) {
            // The information holds a reference on the pin's filter.
            if (info.pFilter != nullptr) info.pFilter->Release();
            info.achName[MAX_PIN_NAME - 1] = 0;
            if (Matches(info.achName, name)) return held.Detach();
        }
        pin = nullptr;
    }
    return nullptr;
}

HRESULT CGraphRecipe::Connect(IGraphBuilder* graph, IBaseFilter* from, const char* outputName, IBaseFilter* to,
                              const char* inputName, IPin** output, IPin** input) {
    *output = FindPin(from, outputName);
    *input = FindPin(to, inputName);
    if (*output == nullptr || *input == nullptr) return VFW_E_NOT_FOUND;
    return graph->ConnectDirect(*output, *input, nullptr);
}

std::vector<CDeviceEntry> CGraphRecipe::FindDevices(const char* friendlyName, bool* denied) {
    std::vector<CDeviceEntry> found;
    if (denied != nullptr) *denied = false;
    CComRef<ICreateDevEnum> devices;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devices.outVoid())) ||
        !devices) {
        return found;
    }
    CComRef<IEnumMoniker> category;
    const HRESULT listed = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, category.out(), 0);
    if (FAILED(listed) || !category) {
        if (denied != nullptr) *denied = listed == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        return found;
    }
    devices.Reset();
    category->Reset();
    IMoniker* next = nullptr;
    ULONG fetched = 0;
    while (category->Next(1, &next, &fetched) == S_OK && next != nullptr) {
        CDeviceEntry entry;
        *entry.moniker.out() = next;
        next = nullptr;
        CComRef<IBindCtx> context;
        CreateBindCtx(0, context.out());
        CComRef<IPropertyBag> bag;
        if (SUCCEEDED(entry.moniker->BindToStorage(context.get(), nullptr, IID_IPropertyBag, bag.outVoid())) &&
            bag) {
            entry.friendlyName = ReadText(bag.get(), u"FriendlyName");
            if (!entry.friendlyName.empty() && entry.friendlyName == friendlyName) {
                entry.devicePath = ReadText(bag.get(), u"DevicePath");
                found.push_back(std::move(entry));
            }
        }
    }
    return found;
}
