#include "fake_platform.h"

#include <platform/platform.h>

#include <cstring>
#include <functional>

#include "support/com_object.h"
#include "tests/support/com_fake.h"
#include "tests/support/fake_input_pin.h"

namespace fake {

FakeWorld& World() {
    static FakeWorld world;
    return world;
}

namespace {

using platform::ComObject;
using platform::Implements;

// Counts the objects of one kind alive now in `live` (the fakes count on the COM base).
class Living {
public:
    explicit Living(int* live) : m_live(live) { ++*m_live; }
    ~Living() { --*m_live; }
    Living(const Living&) = delete;
    Living& operator=(const Living&) = delete;

private:
    int* m_live;
};

class Filter;

// An enumerator handing out one item a call (all the control program asks for): make(index) for
// each index below count(), then S_FALSE until Reset. Counted in `live`.
template <typename Enum, const IID& kIid, typename Item>
class OneByOneEnum final : public ComObject<Implements<Enum, kIid>>, private Living {
public:
    // make hands out item `index` with the reference or block the caller is to release.
    OneByOneEnum(int* live, std::function<size_t()> count, std::function<Item(size_t)> make)
        : Living(live), m_count(std::move(count)), m_make(std::move(make)) {}
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
        if (count != 1) return E_INVALIDARG;
        if (m_next >= m_count()) {
            if (fetched != nullptr) *fetched = 0;
            return S_FALSE;
        }
        items[0] = m_make(m_next++);
        if (fetched != nullptr) *fetched = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_next = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Enum**) override { return E_NOTIMPL; }

private:
    const std::function<size_t()> m_count;
    const std::function<Item(size_t)> m_make;
    size_t m_next = 0;
};

// A pin of a fake filter: the control program asks it only for its name and filter (the graph
// connects pins by name); the rest are the shared test pin's plain answers.
class Pin final : public testsupport::FakeInputPin {
public:
    Pin(Filter* filter, std::u16string name) : m_filter(filter), m_name(name) {}
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;

    const std::u16string& Name() const { return m_name; }

private:
    Filter* m_filter;  // not counted: the tests never outlive their filters
    std::u16string m_name;
};

class Filter : public ComObject<Implements<IBaseFilter, IID_IBaseFilter, IID_IMediaFilter, IID_IPersist>> {
public:
    explicit Filter(int classIndex) : m_class(classIndex) {
        for (const auto& name : World().classes[classIndex].pins) m_pins.push_back(new Pin(this, name));
    }
    ~Filter() override {
        for (Pin* pin : m_pins) pin->Release();
    }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** out) override {
        *out = new OneByOneEnum<IEnumPins, IID_IEnumPins, IPin*>(
            &World().livePinEnums, [pins = m_pins] { return pins.size(); },
            [pins = m_pins](size_t index) -> IPin* {
                pins[index]->AddRef();
                return pins[index];
            });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    int ClassIndex() const { return m_class; }

private:
    int m_class;
    std::vector<Pin*> m_pins;
};

HRESULT Pin::QueryPinInfo(PIN_INFO* info) {
    std::memset(info, 0, sizeof(*info));
    info->pFilter = m_filter;
    m_filter->AddRef();
    info->dir = PINDIR_INPUT;
    for (size_t i = 0; i < m_name.size() && i + 1 < MAX_PIN_NAME; ++i) info->achName[i] = m_name[i];
    return S_OK;
}

// The registered filter `index`: one block holding the record and its name, as the platform hands
// them out.
REGFILTER* RegisteredRecord(size_t index) {
    const RegisteredFilter& entry = World().registered[index];
    const size_t nameBytes = (entry.name.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(REGFILTER) + nameBytes));
    auto* record = reinterpret_cast<REGFILTER*>(block);
    record->Clsid = entry.clsid;
    record->Name = reinterpret_cast<LPWSTR>(block + sizeof(REGFILTER));
    std::memcpy(record->Name, entry.name.c_str(), nameBytes);
    return record;
}

class Mapper final : public ComObject<Implements<IFilterMapper, IID_IFilterMapper>>, private Living {
public:
    Mapper() : Living(&World().liveMappers) {}
    HRESULT STDMETHODCALLTYPE RegisterFilter(CLSID, LPCWSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterFilterInstance(CLSID, LPCWSTR, CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterPin(CLSID, LPCWSTR, BOOL, BOOL, BOOL, BOOL, CLSID, LPCWSTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RegisterPinType(CLSID, LPCWSTR, CLSID, CLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterFilter(CLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterPin(CLSID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumRegFilters** out, DWORD merit, BOOL inputNeeded,
                                                  CLSID inMajor, CLSID inSub, BOOL render,
                                                  BOOL outputNeeded, CLSID outMajor,
                                                  CLSID outSub) override {
        if (World().onBuildStarted) World().onBuildStarted();
        World().enumMerit = merit;
        World().enumConditionsClear = !inputNeeded && inMajor == GUID_NULL && inSub == GUID_NULL &&
                                      !render && !outputNeeded && outMajor == GUID_NULL &&
                                      outSub == GUID_NULL;
        *out = new OneByOneEnum<IEnumRegFilters, IID_IEnumRegFilters, REGFILTER*>(
            &World().liveRegEnums, [] { return World().registered.size(); }, &RegisteredRecord);
        return S_OK;
    }
};

// IMediaControl and IMediaEvent are answered while the world says the graph has them.
class Graph final
    : public testsupport::Withholding<
          ComObject<Implements<IGraphBuilder, IID_IGraphBuilder, IID_IFilterGraph>,
                    Implements<IMediaControl, IID_IMediaControl>, Implements<IMediaEvent, IID_IMediaEvent>>> {
public:
    ~Graph() override {
        for (IBaseFilter* filter : m_filters) filter->Release();
    }
    bool Offers(REFIID iid) override {
        return (iid != IID_IMediaControl || World().graphHasMediaControl) &&
               (iid != IID_IMediaEvent || World().graphHasMediaEvent);
    }
    // IFilterGraph
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* filter, LPCWSTR name) override {
        filter->AddRef();
        m_filters.push_back(filter);
        World().addedNames.push_back(name != nullptr ? std::u16string(name) : std::u16string());
        World().addedClasses.push_back(static_cast<Filter*>(filter)->ClassIndex());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override {
        const int index = static_cast<int>(World().connections.size());
        World().connections.push_back({static_cast<Pin*>(out)->Name(), static_cast<Pin*>(in)->Name(), mt});
        return index == World().failConnection ? VFW_E_CANNOT_CONNECT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override { return E_NOTIMPL; }
    // IGraphBuilder
    HRESULT STDMETHODCALLTYPE Connect(IPin*, IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Render(IPin*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Abort() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override { return E_NOTIMPL; }
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    // IMediaControl: the results the world asks for.
    HRESULT STDMETHODCALLTYPE Run() override {
        ++World().runs;
        World().calls.push_back("Run");
        return World().runResult;
    }
    HRESULT STDMETHODCALLTYPE Pause() override {
        ++World().pauses;
        World().calls.push_back("Pause");
        return World().pauseResult;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        ++World().stops;
        World().calls.push_back("Stop");
        World().events.insert(World().events.end(), World().eventsAtStop.begin(), World().eventsAtStop.end());
        World().eventsAtStop.clear();
        return World().stopResult;
    }
    HRESULT STDMETHODCALLTYPE GetState(LONG, OAFilterState*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StopWhenReady() override { return E_NOTIMPL; }
    // IMediaEvent: hands out the world's events; nothing ever waits here.
    HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2,
                                       LONG) override {
        ++World().eventReads;
        *code = 0;
        *param1 = *param2 = 0;
        if (World().events.empty()) return E_ABORT;
        const Event event = World().events.front();
        World().events.pop_front();
        *code = event.code;
        *param1 = event.param1;
        *param2 = event.param2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FreeEventParams(LONG, LONG_PTR, LONG_PTR) override {
        ++World().eventsFreed;
        return S_OK;
    }

private:
    std::vector<IBaseFilter*> m_filters;
};

class Bag final : public ComObject<Implements<IPropertyBag, IID_IPropertyBag>>, private Living {
public:
    explicit Bag(std::u16string name) : Living(&World().liveBags), m_name(std::move(name)) {}
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR property, VARIANT* value, IErrorLog*) override {
        if (std::u16string(property) != u"FriendlyName" || value->vt != VT_BSTR) return E_INVALIDARG;
        value->bstrVal = SysAllocString(m_name.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    std::u16string m_name;
};

class Moniker final : public ComObject<Implements<IMoniker, IID_IMoniker>>, private Living {
public:
    explicit Moniker(int device) : Living(&World().liveMonikers), m_device(device) {}
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID iid, void** out) override {
        const int classIndex = World().devices[m_device].filterClass;
        if (iid != IID_IBaseFilter || classIndex < 0) return E_FAIL;
        World().boundDevice = m_device;
        *out = static_cast<IBaseFilter*>(new Filter(classIndex));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID iid, void** out) override {
        if (iid != IID_IPropertyBag) return E_NOINTERFACE;
        *out = static_cast<IPropertyBag*>(new Bag(World().devices[m_device].friendlyName));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsEqual(IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Hash(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Inverse(IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD*) override { return E_NOTIMPL; }

private:
    int m_device;
};

class DevEnum final : public ComObject<Implements<ICreateDevEnum, IID_ICreateDevEnum>>, private Living {
public:
    DevEnum() : Living(&World().liveDevEnums) {}
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker** out,
                                                    DWORD) override {
        // Like the platform: no enumeration at all for an empty category.
        *out = nullptr;
        if (category != CLSID_VideoInputDeviceCategory || World().devices.empty()) return S_FALSE;
        *out = new OneByOneEnum<IEnumMoniker, IID_IEnumMoniker, IMoniker*>(
            &World().liveMonikerEnums, [] { return World().devices.size(); },
            [](size_t index) -> IMoniker* { return new Moniker(static_cast<int>(index)); });
        return S_OK;
    }
};

// A class the world may have made unavailable.
template <typename T>
HRESULT CreateIf(bool creatable, IUnknown* outer, REFIID iid, void** out) {
    if (!creatable) {
        *out = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return platform::CreateInstance<T>(outer, iid, out);
}

HRESULT CreateMapper(IUnknown* outer, REFIID iid, void** out) {
    return CreateIf<Mapper>(World().mapperCreatable, outer, iid, out);
}
HRESULT CreateGraph(IUnknown* outer, REFIID iid, void** out) {
    return CreateIf<Graph>(World().graphCreatable, outer, iid, out);
}
HRESULT CreateDevEnum(IUnknown* outer, REFIID iid, void** out) {
    return CreateIf<DevEnum>(World().devEnumCreatable, outer, iid, out);
}

// The filter of class Index, as its creator makes it.
template <int Index>
class FilterOfClass final : public Filter {
public:
    FilterOfClass() : Filter(Index) {}
};

template <int Index>
HRESULT CreateFilterOfClass(IUnknown* outer, REFIID iid, void** out) {
    const bool creatable = Index < static_cast<int>(World().classes.size()) && World().classes[Index].creatable;
    return CreateIf<FilterOfClass<Index>>(creatable, outer, iid, out);
}

}  // namespace

void InstallGoodWorld() {
    FakeWorld& world = World();
    world = FakeWorld{};
    world.classes = {
        {CLSID_FakeA, {u"Output"}},
        {CLSID_FakeB, {u"XForm In", u"XForm Out"}},
        {CLSID_FakeC, {u"Stream 0", u"Output"}},
        {CLSID_FakeD, {u"DV A/V In"}},
        {CLSID_FakeE, {u"Output"}},
        {CLSID_FakeF, {u"In", u"Out"}},
    };
    world.registered = {
        {CLSID_FakeB, u"DV Video Encoder"},
        {CLSID_FakeA, u"Velora Color Bar"},
        {CLSID_FakeC, u"DV Muxer"},
    };
    world.devices = {{u"Microsoft DV Camera and VCR", 3}};

    platform::RegisterBuiltinClass(CLSID_FilterMapper, &CreateMapper);
    platform::RegisterBuiltinClass(CLSID_FilterGraph, &CreateGraph);
    platform::RegisterBuiltinClass(CLSID_SystemDeviceEnum, &CreateDevEnum);
    RegisterFakeFilterClasses();
}

void RegisterFakeFilterClasses() {
    platform::RegisterBuiltinClass(CLSID_FakeA, &CreateFilterOfClass<0>);
    platform::RegisterBuiltinClass(CLSID_FakeB, &CreateFilterOfClass<1>);
    platform::RegisterBuiltinClass(CLSID_FakeC, &CreateFilterOfClass<2>);
    platform::RegisterBuiltinClass(CLSID_FakeD, &CreateFilterOfClass<3>);
    platform::RegisterBuiltinClass(CLSID_FakeE, &CreateFilterOfClass<4>);
    platform::RegisterBuiltinClass(CLSID_FakeF, &CreateFilterOfClass<5>);
}

}  // namespace fake
