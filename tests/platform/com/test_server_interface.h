// The class served by the test in-process server (com-test-server.so).
#pragma once

#include <objbase.h>

DEFINE_GUID(CLSID_TestServerObject, 0x2b8e6c1a, 0x5f0d, 0x4e57, 0x9a, 0x1b, 0x33, 0x6d, 0x0e, 0x71, 0xc4, 0x20);
DEFINE_GUID(IID_ITestObject, 0x2b8e6c1b, 0x5f0d, 0x4e57, 0x9a, 0x1b, 0x33, 0x6d, 0x0e, 0x71, 0xc4, 0x20);

struct ITestObject : public IUnknown {
    // The module handle the server recorded from its ELF constructor.
    virtual HRESULT STDMETHODCALLTYPE ModuleHandle(HMODULE* module) = 0;
    // "DevicePath" from the property bag given to IPersistPropertyBag::Load (null before).
    virtual HRESULT STDMETHODCALLTYPE DevicePath(BSTR* path) = 0;
    // The controlling object passed to the class factory (not AddRef'd).
    virtual HRESULT STDMETHODCALLTYPE Outer(IUnknown** outer) = 0;
};
