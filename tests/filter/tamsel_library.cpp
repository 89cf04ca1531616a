#include "tamsel_library.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/test_support.h"

namespace {

// GetProcAddress returns a generic function pointer; going through void(*)() is the sanctioned
// way to turn it into the export's real type.
template <typename Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

TamselLibrary::TamselLibrary(const std::string& path) {
    module = LoadLibraryA(path.c_str());
    if (module == nullptr) return;
    getClassObject =
        Export<LPFNGETCLASSOBJECT>(module, "DllGetClassObject");
    canUnloadNow = Export<LPFNCANUNLOADNOW>(module, "DllCanUnloadNow");
    registerServer =
        Export<LPFNREGISTERSERVER>(module, "DllRegisterServer");
    unregisterServer =
        Export<LPFNREGISTERSERVER>(module, "DllUnregisterServer");
}

TamselLibrary::~TamselLibrary() {
    if (module != nullptr) FreeLibrary(module);
}

bool TamselLibrary::Loaded() const {
    return module != nullptr && getClassObject != nullptr && canUnloadNow != nullptr &&
           registerServer != nullptr && unregisterServer != nullptr;
}

HRESULT TamselLibrary::GetClassObject(REFCLSID classId, REFIID iid, void** result) const {
    return getClassObject(classId, iid, result);
}

HRESULT TamselLibrary::CanUnloadNow() const { return canUnloadNow(); }
HRESULT TamselLibrary::RegisterServer() const { return registerServer(); }
HRESULT TamselLibrary::UnregisterServer() const { return unregisterServer(); }

IBaseFilter* TamselLibrary::CreateFilter() const {
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(kColorBarClassId, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr) || factory == nullptr) return nullptr;
    IBaseFilter* filter = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    factory->Release();
    EXPECT_EQ(hr, S_OK);
    return SUCCEEDED(hr) ? filter : nullptr;
}

std::string BuiltLibraryPath() { return testsupport::BuildDir() + "/tamsel.ax"; }
std::string BuiltImagePath() { return testsupport::BuildDir() + "/colorbar.dat"; }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

IPin* OutputPinOf(IBaseFilter* filter) {
    IPin* pin = nullptr;
    if (FAILED(filter->FindPin(u"1", &pin))) return nullptr;
    return pin;
}
