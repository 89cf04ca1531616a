// create_object_helper CLSID: creates the class with CoCreateInstance, as any program using the
// registry would, and prints the status in hexadecimal; exits 0 when the object was created.
#include <objbase.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: create_object_helper {CLSID}\n");
        return 2;
    }
    std::basic_string<OLECHAR> wide;
    for (const char* c = argv[1]; *c != '\0'; ++c) wide.push_back(static_cast<OLECHAR>(*c));
    CLSID clsid {};
    if (CLSIDFromString(wide.c_str(), &clsid) != S_OK) {
        std::fprintf(stderr, "create_object_helper: %s is not a class identifier\n", argv[1]);
        return 2;
    }
    CoInitialize(nullptr);
    IUnknown* object = nullptr;
    const HRESULT status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&object));
    std::printf("0x%08X\n", static_cast<unsigned>(status));
    if (object != nullptr) object->Release();
    CoUninitialize();
    return status == S_OK ? 0 : 1;
}
