// A separate process for the registration tests.
//   server_helper create                  CoCreateInstance of the colour-bar filter by class id;
//                                         prints the output pin's name; exit 0 on success
//   server_helper cycle LIBRARY COUNT     loads LIBRARY and registers then unregisters it COUNT
//                                         times; exit 0 when every call succeeded
//   server_helper forever LIBRARY         like cycle without end; prints "running" first (the
//                                         test kills it)
#include <dshow.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/server_registration.h"

namespace {

DEFINE_GUID(kColorBarClassId, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);

int CreateFilter() {
    CoInitialize(nullptr);
    IBaseFilter* filter = nullptr;
    const HRESULT hr = CoCreateInstance(kColorBarClassId, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    if (FAILED(hr)) {
        std::printf("CoCreateInstance failed: 0x%08x\n", static_cast<unsigned>(hr));
        CoUninitialize();
        return 1;
    }
    int result = 1;
    IPin* pin = nullptr;
    if (SUCCEEDED(filter->FindPin(u"1", &pin))) {
        PIN_INFO info = {};
        if (SUCCEEDED(pin->QueryPinInfo(&info))) {
            char name[MAX_PIN_NAME * 4] = {};
            WideCharToMultiByte(CP_UTF8, 0, info.achName, -1, name, sizeof(name), nullptr,
                                nullptr);
            std::printf("pin %s\n", name);
            if (info.pFilter != nullptr) info.pFilter->Release();
            result = 0;
        }
        pin->Release();
    }
    filter->Release();
    CoFreeUnusedLibraries();
    CoUninitialize();
    return result;
}

int Cycle(const char* library, long count) {
    HMODULE module = LoadLibraryA(library);
    const testsupport::ServerRegistration server = testsupport::FindRegistration(module);
    if (!server.Found()) return 2;
    if (count < 0) {
        std::printf("running\n");
        std::fflush(stdout);
    }
    // A lost race with another process is reported but tolerated, as the platform answers it:
    // a class key deleted by another process between our creating it and writing into it
    // (ERROR_KEY_DELETED). Mapper entries are written whole, so nothing else may fail.
    const HRESULT keyDeleted = HRESULT_FROM_WIN32(ERROR_KEY_DELETED);
    int result = 0;
    for (long i = 0; count < 0 || i < count; ++i) {
        for (int step = 0; step < 2; ++step) {
            const HRESULT hr = step == 0 ? server.doRegister() : server.doUnregister();
            if (hr == S_OK) continue;
            std::printf("%s %ld: 0x%08x\n", step == 0 ? "register" : "unregister", i,
                        static_cast<unsigned>(hr));
            if (hr != keyDeleted) result = 1;
        }
    }
    FreeLibrary(module);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "create") == 0) return CreateFilter();
    if (argc == 4 && std::strcmp(argv[1], "cycle") == 0) {
        return Cycle(argv[2], std::strtol(argv[3], nullptr, 10));
    }
    if (argc == 3 && std::strcmp(argv[1], "forever") == 0) return Cycle(argv[2], -1);
    std::fprintf(stderr, "usage: server_helper create | cycle LIBRARY COUNT | forever LIBRARY\n");
    return 2;
}
