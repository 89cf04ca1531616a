// A minimal in-process server for the COM loading tests. It counts its live objects so that
// DllCanUnloadNow answers truthfully, and its IPersistPropertyBag::Load fails on request (the
// bag holds "FailLoad").
#include <objbase.h>

#include <atomic>

#include "support/class_factory.h"
#include "support/com_object.h"
#include "test_server_interface.h"

namespace {

std::atomic<int> g_live{0};    // objects and factories alive
std::atomic<long> g_locks{0};  // LockServer holds
HMODULE g_module = nullptr;

__attribute__((constructor)) void OnLoad() {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OnLoad), &g_module);
}

class TestObject final
    : public platform::ComObject<
          platform::Implements<ITestObject, IID_ITestObject>,
          platform::Implements<IPersistPropertyBag, IID_IPersistPropertyBag, IID_IPersist>> {
public:
    explicit TestObject(IUnknown* outer) : outer(outer) { ++g_live; }

    HRESULT STDMETHODCALLTYPE ModuleHandle(HMODULE* module) override {
        *module = g_module;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DevicePath(BSTR* path) override {
        *path = devicePath == nullptr ? nullptr : SysAllocString(devicePath);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Outer(IUnknown** result) override {
        *result = outer;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        *clsid = CLSID_TestServerObject;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(bag->Read(u"FailLoad", &value, log))) {
            VariantClear(&value);
            return E_ACCESSDENIED;
        }
        value.vt = VT_BSTR;
        const HRESULT hr = bag->Read(u"DevicePath", &value, log);
        if (FAILED(hr)) return hr;
        SysFreeString(devicePath);
        devicePath = value.bstrVal;  // keeps the copy the bag gave us
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

private:
    ~TestObject() override {
        SysFreeString(devicePath);
        --g_live;
    }

    IUnknown* const outer;
    BSTR devicePath = nullptr;
};

// Aggregation is taken for IUnknown only; the object just keeps the outer pointer to show it.
HRESULT CreateTestObject(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* object = new TestObject(outer);
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// Counts a factory among the live objects.
struct LiveFactory {
    LiveFactory() { ++g_live; }
    ~LiveFactory() { --g_live; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestServerObject) return CLASS_E_CLASSNOTAVAILABLE;
    return platform::ClassFactory<LiveFactory>::Make(&CreateTestObject, &g_locks, riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_live.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE;
}
