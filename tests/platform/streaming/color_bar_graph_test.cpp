// The system's colour-bar source, loaded from tamsel.ax through the registry like any other
// filter, streaming into a test renderer through the graph.
#include <gtest/gtest.h>

#include <dshow.h>

#include <filesystem>
#include <string>
#include <thread>

#include "test_filters.h"
#include "tests/support/test_support.h"

namespace {

using streamtest::TestFilter;

// "Velora Color Bar"
constexpr CLSID kColorBarClsid = {0x56b794ad, 0x9850, 0x4f6f,
                                  {0xa6, 0x95, 0x4e, 0x55, 0x38, 0x6f, 0x73, 0x28}};
constexpr LONG kFrameBytes = 720 * 480 * 3;

IPin* FirstOutputPin(IBaseFilter* filter) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins)) || pins == nullptr) return nullptr;
    IPin* found = nullptr;
    IPin* pin = nullptr;
    while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction = PINDIR_INPUT;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT) {
            found = pin;
        } else {
            pin->Release();
        }
    }
    pins->Release();
    return found;
}

TEST(ColorBarGraphTest, StreamsFramesIntoRendererThroughGraph) {
    const std::string library = testsupport::BuildDir() + "/tamsel.ax";
    ASSERT_TRUE(std::filesystem::exists(library)) << library << " is not built";
    CoInitialize(nullptr);

    HMODULE module = LoadLibraryA(library.c_str());
    ASSERT_NE(nullptr, module);
    const FARPROC entry = GetProcAddress(module, "DllRegisterServer");
    ASSERT_NE(nullptr, entry);
    const auto registerServer =
        reinterpret_cast<LPFNREGISTERSERVER>(reinterpret_cast<void*>(entry));
    ASSERT_EQ(S_OK, registerServer());
    FreeLibrary(module);

    IBaseFilter* colorBar = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(kColorBarClsid, IID_IBaseFilter, &colorBar));
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_FilterGraph, IID_IGraphBuilder, &graph));
    TestFilter* renderer = TestFilter::Create(TestFilter::Kind::Renderer, "renderer");
    ASSERT_EQ(S_OK, graph->AddFilter(colorBar, u"Velora Color Bar"));
    ASSERT_EQ(S_OK, graph->AddFilter(renderer, u"Renderer"));

    IPin* output = FirstOutputPin(colorBar);
    ASSERT_NE(nullptr, output);
    PIN_INFO info{};
    ASSERT_EQ(S_OK, output->QueryPinInfo(&info));
    EXPECT_EQ(std::u16string(u"Output"), std::u16string(info.achName));
    if (info.pFilter != nullptr) info.pFilter->Release();
    ASSERT_EQ(S_OK, graph->ConnectDirect(output, renderer->InputPin(), nullptr));

    IMediaControl* control = nullptr;
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)));
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_EQ(S_OK, control->Pause());  // the control program leaves the graph paused
    EXPECT_TRUE(renderer->WaitForReceived(3));
    EXPECT_EQ(kFrameBytes, renderer->LastSampleLength());
    EXPECT_EQ(0, renderer->LastSampleStart() % 200000);
    EXPECT_EQ(S_OK, control->Stop());
    const int atStop = renderer->Received();
    std::this_thread::yield();
    EXPECT_EQ(atStop, renderer->Received());  // the source's worker has ended

    control->Release();
    output->Release();
    graph->Release();
    renderer->Release();
    colorBar->Release();
    CoFreeUnusedLibraries();
    CoUninitialize();
}

}  // namespace
