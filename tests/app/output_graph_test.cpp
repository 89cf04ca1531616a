// COutputGraph on the real platform: the registered filter library, the platform's DV filters and
// a virtual deck standing in for the camcorder.
#include <gtest/gtest.h>

#include <platform/platform.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "app/output_graph.h"
#include "support/com_object.h"
#include "tests/support/com_fake.h"
#include "test_graph.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::BuildFile;
using testsupport::Exists;
using testsupport::OutputTo;

namespace {

std::vector<std::string> g_messages;
void RecordMessage(const char* text) { g_messages.emplace_back(text); }

const char kDevice[] = "Microsoft DV Camera and VCR";

// Lists the device "Microsoft DV Camera and VCR" with a filter whose input pin has another name.
// Lives as long as the test program.
class OddPinDeviceProvider final
    : public platform::ComObject<platform::Implements<IDeviceProvider, IID_IDeviceProvider>>,
      public testsupport::TestOwned {
public:
    HRESULT STDMETHODCALLTYPE Snapshot(REFCLSID category, ULONG* count) override {
        *count = category == CLSID_VideoInputDeviceCategory ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(ULONG index, BSTR* name, CLSID* filter, BSTR* path) override {
        if (index != 0) return E_INVALIDARG;
        *name = SysAllocString(u"Microsoft DV Camera and VCR");
        *filter = fake::CLSID_FakeD;
        *path = SysAllocString(u"test:odd-pin");
        return S_OK;
    }
};

class OutputGraphTest : public testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        for (const char* piece : {"tamsel.ax", "dvfilters.so", "regsvr", "dvdeck"}) {
            if (!Exists(BuildFile(piece))) {
                FAIL() << BuildFile(piece) << " is not built (the build makes it before the tests)";
            }
        }
        tape = testsupport::StateDir() + "/tape.dv";
    }
    void TearDown() override {
        if (deck > 0) testsupport::StopProcess(deck);
    }

    void Register(bool on) {
        std::vector<std::string> args = {BuildFile("regsvr")};
        if (!on) args.push_back("-u");
        args.push_back(BuildFile("tamsel.ax"));
        const int status = testsupport::RunProcess(args, OutputTo(testsupport::StateDir() + "/regsvr.log"));
        if (on) {
            ASSERT_EQ(status, 0) << "regsvr failed";
        }
    }

    // Starts the virtual deck and waits until the platform lists it.
    void StartDeck() {
        deck = testsupport::StartProcess({BuildFile("dvdeck"), "--tape", tape},
                                         OutputTo(testsupport::StateDir() + "/dvdeck.log"))
                   .pid;
        ASSERT_GT(deck, 0);
        CoInitialize(nullptr);
        bool listed = false;
        for (int i = 0; i < 600 && !listed; ++i) {
            IMoniker* moniker = nullptr;
            listed = COutputGraph::FindDeviceMoniker(&moniker, kDevice) == 1;
            if (listed) {
                moniker->Release();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        CoUninitialize();
        ASSERT_TRUE(listed) << "the virtual deck was never listed";
    }

    static std::vector<std::string> FilterNames(IGraphBuilder* graph) {
        std::vector<std::string> names;
        IEnumFilters* filters = nullptr;
        if (FAILED(graph->EnumFilters(&filters)) || filters == nullptr) return names;
        IBaseFilter* filter = nullptr;
        ULONG fetched = 0;
        while (filters->Next(1, &filter, &fetched) == S_OK) {
            FILTER_INFO info = {};
            if (SUCCEEDED(filter->QueryFilterInfo(&info))) {
                char name[256];
                WideCharToMultiByte(CP_ACP, 0, info.achName, -1, name, sizeof(name), nullptr, nullptr);
                names.emplace_back(name);
                if (info.pGraph != nullptr) info.pGraph->Release();
            }
            filter->Release();
        }
        filters->Release();
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string tape;
    pid_t deck = -1;
};

TEST_F(OutputGraphTest, BuildsTheWholeChainToTheDeck) {
    Register(true);
    StartDeck();
    apptest::TestGraph graph(&RecordMessage);
    ASSERT_EQ(graph.Build(), 1) << (g_messages.empty() ? "" : g_messages[0]);
    EXPECT_TRUE(g_messages.empty());
    std::vector<std::string> expected = {"DV Muxer", "DV Video Encoder", kDevice, "Velora Color Bar"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilterNames(graph.m_pGraph), expected);
    ASSERT_NE(graph.m_pControl, nullptr);

    // Run then pause as the window does, and stop again.
    EXPECT_EQ(graph.Run(), 1);
    graph.m_pControl->Pause();
    EXPECT_EQ(graph.Stop(), 1);
    OAFilterState state = -1;
    graph.m_pControl->GetState(1000, &state);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(OutputGraphTest, UnregisteredLibraryNamesTheColourBarFilter) {
    Register(true);
    Register(false);
    StartDeck();
    apptest::TestGraph graph(&RecordMessage);
    EXPECT_EQ(graph.Build(), 0);
    EXPECT_EQ(g_messages,
              std::vector<std::string>{"必要なコンポーネントのロードに失敗しました。(Velora Color Bar)"});
}

TEST_F(OutputGraphTest, NoDeckRunningMeansNoDevice) {
    Register(true);
    apptest::TestGraph graph(&RecordMessage);
    EXPECT_EQ(graph.Build(), 0);
    EXPECT_EQ(g_messages, std::vector<std::string>{"DV機器が見つかりませんでした。"});
    EXPECT_EQ(graph.m_pSourceOut, nullptr);  // nothing was connected
}

TEST_F(OutputGraphTest, DeviceWithAnotherPinNameFailsTheLastConnection) {
    Register(true);
    fake::World().classes = {{}, {}, {}, {fake::CLSID_FakeD, {u"DV In"}}};
    fake::RegisterFakeFilterClasses();
    static OddPinDeviceProvider provider;
    platform::RegisterDeviceProvider(CLSID_VideoInputDeviceCategory, &provider);

    apptest::TestGraph graph(&RecordMessage);
    EXPECT_EQ(graph.Build(), 0);
    platform::UnregisterDeviceProvider(CLSID_VideoInputDeviceCategory, &provider);
    EXPECT_EQ(g_messages, std::vector<std::string>{"初期化に失敗しました。(DVM->DVS)"});
    // The first two connections were made on the real filters.
    EXPECT_NE(graph.m_pMuxerOut, nullptr);
    EXPECT_EQ(graph.m_pDeviceIn, nullptr);
}

}  // namespace
