// A minimal in-process server for the COM loading tests. It counts its live objects so that
// DllCanUnloadNow answers truthfully, and its IPersistPropertyBag::Load fails on request (the
// bag holds "FailLoad").
#include <objbase.h>

#include <atomic>

#include "test_server_interface.h"

namespace {

std::atomic<int> g_live{0};
HMODULE g_module = nullptr;

__attribute__((constructor)) void OnLoad() {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OnLoad), &g_module);
}

class TestObject final : public ITestObject, public IPersistPropertyBag {
public:
    explicit TestObject(IUnknown* outer) : outer(outer) { ++g_live; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITestObject) {
            *ppv = static_cast<ITestObject*>(this);
        } else if (riid == IID_IPersistPropertyBag || riid == IID_IPersist) {
            *ppv = static_cast<IPersistPropertyBag*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }

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
    ~TestObject() {
        SysFreeString(devicePath);
        --g_live;
    }

    std::atomic<ULONG> references{1};
    IUnknown* const outer;
    BSTR devicePath = nullptr;
};

class TestFactory final : public IClassFactory {
public:
    TestFactory() { ++g_live; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        auto* object = new TestObject(outer);
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_live;
        } else {
            --g_live;
        }
        return S_OK;
    }

private:
    ~TestFactory() { --g_live; }
    std::atomic<ULONG> references{1};
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestServerObject) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new TestFactory();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_live.load() == 0 ? S_OK : S_FALSE;
}
