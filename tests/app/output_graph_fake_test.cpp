// COutputGraph against stand-in platform objects: the lookups, the connections, every failure
// message and result, and that what Build borrows it gives back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "app/output_graph.h"
#include "test_graph.h"

namespace {

using apptest::g_messages;
using apptest::RecordMessage;

class OutputGraphFakeTest : public testing::Test {
protected:
    void SetUp() override { StartAfresh(); }
    // The good world again, and no message told yet.
    void StartAfresh() {
        g_messages.clear();
        fake::InstallGoodWorld();
    }
    fake::FakeWorld& world = fake::World();
};

TEST_F(OutputGraphFakeTest, BuildsTheFourFilterChainAndGivesBackWhatItBorrows) {
    apptest::TestGraph graph(&RecordMessage);
    ASSERT_EQ(graph.Build(), 1);
    EXPECT_TRUE(g_messages.empty());

    // Every registered filter of at least the do-not-use merit, with no pin or type condition.
    EXPECT_EQ(world.enumMerit, 0x200000u);
    EXPECT_TRUE(world.enumConditionsClear);

    const std::vector<std::u16string> names = {u"Velora Color Bar", u"DV Video Encoder", u"DV Muxer",
                                               u"Microsoft DV Camera and VCR"};
    EXPECT_EQ(world.addedNames, names);
    EXPECT_EQ(world.addedClasses, (std::vector<int>{0, 1, 2, 3}));

    ASSERT_EQ(world.connections.size(), 3u);
    const std::u16string expected[3][2] = {
        {u"Output", u"XForm In"}, {u"XForm Out", u"Stream 0"}, {u"Output", u"DV A/V In"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(world.connections[i].outputPin, expected[i][0]) << i;
        EXPECT_EQ(world.connections[i].inputPin, expected[i][1]) << i;
        EXPECT_EQ(world.connections[i].mediaType, nullptr) << i;
    }
    EXPECT_NE(graph.m_pControl, nullptr);
    for (IPin* pin : {graph.m_pSourceOut, graph.m_pEncoderIn, graph.m_pEncoderOut, graph.m_pMuxerIn,
                      graph.m_pMuxerOut, graph.m_pDeviceIn}) {
        EXPECT_NE(pin, nullptr);
    }
    for (IBaseFilter* filter : graph.m_pFilter) EXPECT_NE(filter, nullptr);

    EXPECT_EQ(world.liveMappers, 0);
    EXPECT_EQ(world.liveRegEnums, 0);
    EXPECT_EQ(world.livePinEnums, 0);
    EXPECT_EQ(world.liveDevEnums, 0);
    EXPECT_EQ(world.liveMonikerEnums, 0);
    EXPECT_EQ(world.liveMonikers, 0);
    EXPECT_EQ(world.liveBags, 0);

    // Run and Stop report 1 whatever the graph answers (the fake answers failure).
    EXPECT_EQ(graph.Run(), 1);
    EXPECT_EQ(graph.Stop(), 1);
    EXPECT_EQ(world.calls, (std::vector<std::string>{"Run", "Stop"}));
}

TEST_F(OutputGraphFakeTest, MissingOrUncreatableRegisteredFilterNamesItself) {
    struct Case {
        const char* what;
        int missingIndex;  // registered entry to spoil
        bool renameLowerCase;
        const char* expectedName;
    };
    // registered = {encoder, source, muxer}
    const Case cases[] = {
        {"source not registered", 1, false, "Velora Color Bar"},
        {"encoder not registered", 0, false, "DV Video Encoder"},
        {"names compare case-sensitively", 2, true, "DV Muxer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartAfresh();
        if (c.renameLowerCase) {
            world.registered[c.missingIndex].name = u"dv muxer";
        } else {
            world.registered.erase(world.registered.begin() + c.missingIndex);
        }
        apptest::TestGraph graph(&RecordMessage);
        EXPECT_EQ(graph.Build(), 0);
        ASSERT_EQ(g_messages.size(), 1u);
        EXPECT_EQ(g_messages[0],
                  std::string("必要なコンポーネントのロードに失敗しました。(") + c.expectedName + ")");
        EXPECT_TRUE(world.connections.empty());
        EXPECT_EQ(graph.m_pControl, nullptr);
    }

    // Registered but its library fails to create the filter: the same message.
    StartAfresh();
    world.classes[2].creatable = false;
    apptest::TestGraph graph(&RecordMessage);
    EXPECT_EQ(graph.Build(), 0);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "必要なコンポーネントのロードに失敗しました。(DV Muxer)");
    EXPECT_EQ(world.addedNames.size(), 2u);
}

TEST_F(OutputGraphFakeTest, FirstRegisteredFilterOfANameWinsAndItsNameOutlivesTheRecord) {
    world.registered.insert(world.registered.begin(), {fake::CLSID_FakeE, u"Velora Color Bar"});
    apptest::TestGraph graph(&RecordMessage);
    ASSERT_EQ(graph.Build(), 1);
    EXPECT_EQ(world.addedClasses[0], 4);
    EXPECT_EQ(world.addedNames[0], u"Velora Color Bar");
}

TEST_F(OutputGraphFakeTest, NoMatchingDeviceIsReportedAndNothingConnected) {
    struct Case {
        const char* what;
        std::vector<fake::Device> devices;
    };
    const Case cases[] = {
        {"empty category", {}},
        {"only other devices", {{u"Some Webcam", 3}, {u"microsoft dv camera and vcr", 3}}},
        {"device cannot be bound", {{u"Microsoft DV Camera and VCR", -1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartAfresh();
        world.devices = c.devices;
        apptest::TestGraph graph(&RecordMessage);
        EXPECT_EQ(graph.Build(), 0);
        EXPECT_EQ(g_messages, std::vector<std::string>{"DV機器が見つかりませんでした。"});
        EXPECT_TRUE(world.connections.empty());
        EXPECT_EQ(world.liveMonikers, 0);
        EXPECT_EQ(world.liveMonikerEnums, 0);
    }
}

TEST_F(OutputGraphFakeTest, LastDeviceOfTheNameIsUsed) {
    world.devices = {{u"Microsoft DV Camera and VCR", 3},
                     {u"Other", 3},
                     {u"Microsoft DV Camera and VCR", 3}};
    IMoniker* moniker = nullptr;
    ASSERT_EQ(COutputGraph::FindDeviceMoniker(&moniker, "Microsoft DV Camera and VCR"), 1);
    ASSERT_NE(moniker, nullptr);
    // Only the kept moniker is alive: the earlier match was given back.
    EXPECT_EQ(world.liveMonikers, 1);
    moniker->Release();

    apptest::TestGraph graph(&RecordMessage);
    ASSERT_EQ(graph.Build(), 1);
    EXPECT_EQ(world.boundDevice, 2);
    EXPECT_EQ(world.liveMonikers, 0);
}

// Names that are almost the wanted one: longer (a prefix match would take them), shorter (the
// wanted name would be their prefix), other case, outer spaces, a part of a longer name.
std::vector<std::u16string> NearMisses(const std::u16string& name) {
    std::u16string lower = name, upper = name;
    for (char16_t& c : lower) c = (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c;
    for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c;
    return {name + u" #2", name + u"2", name.substr(0, name.size() - 1), name.substr(0, 2),
            lower, upper, name + u" ", u" " + name, u"My " + name, u"My " + name + u" #2"};
}

std::string Ascii(const std::u16string& text) { return std::string(text.begin(), text.end()); }

TEST_F(OutputGraphFakeTest, NearMissesOfTheDeviceNameAreNotTheDevice) {
    const std::u16string wanted = u"Microsoft DV Camera and VCR";
    for (const std::u16string& nearMiss : NearMisses(wanted)) {
        SCOPED_TRACE("device \"" + Ascii(nearMiss) + "\"");
        // Alone, the near miss is no device.
        StartAfresh();
        world.devices = {{nearMiss, 3}};
        IMoniker* moniker = nullptr;
        EXPECT_EQ(COutputGraph::FindDeviceMoniker(&moniker, "Microsoft DV Camera and VCR"), 0);
        EXPECT_EQ(moniker, nullptr);
        apptest::TestGraph lone(&RecordMessage);
        EXPECT_EQ(lone.Build(), 0);
        EXPECT_EQ(g_messages, std::vector<std::string>{"DV機器が見つかりませんでした。"});
        EXPECT_EQ(world.boundDevice, -1);

        // Listed after the real one, it does not win as the last of the name would.
        StartAfresh();
        world.devices = {{wanted, 3}, {nearMiss, 3}};
        apptest::TestGraph graph(&RecordMessage);
        EXPECT_EQ(graph.Build(), 1);
        EXPECT_TRUE(g_messages.empty());
        EXPECT_EQ(world.boundDevice, 0);
        EXPECT_EQ(world.liveMonikers, 0);
    }
}

TEST_F(OutputGraphFakeTest, NearMissesOfTheFilterNamesAreNotTheFilters) {
    // registered = {encoder, source, muxer}; the graph adds source, encoder, muxer in that order.
    struct Wanted {
        std::u16string name;
        int registeredIndex;
        int graphIndex;
    };
    const Wanted filters[] = {{u"Velora Color Bar", 1, 0}, {u"DV Video Encoder", 0, 1},
                              {u"DV Muxer", 2, 2}};
    for (const Wanted& filter : filters) {
        for (const std::u16string& nearMiss : NearMisses(filter.name)) {
            SCOPED_TRACE("filter \"" + Ascii(nearMiss) + "\" for \"" + Ascii(filter.name) + "\"");
            // Registered under the near miss only: the filter is missing.
            StartAfresh();
            world.registered[filter.registeredIndex].name = nearMiss;
            apptest::TestGraph missing(&RecordMessage);
            EXPECT_EQ(missing.Build(), 0);
            EXPECT_EQ(g_messages, std::vector<std::string>{
                                      "必要なコンポーネントのロードに失敗しました。(" +
                                      Ascii(filter.name) + ")"});
            EXPECT_TRUE(world.connections.empty());

            // A near miss of another class listed first does not stand in for the real one.
            StartAfresh();
            world.registered.insert(world.registered.begin(), {fake::CLSID_FakeE, nearMiss});
            apptest::TestGraph graph(&RecordMessage);
            EXPECT_EQ(graph.Build(), 1);
            EXPECT_TRUE(g_messages.empty());
            EXPECT_EQ(world.addedClasses, (std::vector<int>{0, 1, 2, 3}));
            ASSERT_EQ(world.addedNames.size(), 4u);
            EXPECT_EQ(world.addedNames[filter.graphIndex], filter.name);
        }
    }
}

TEST_F(OutputGraphFakeTest, EachFailedConnectionHasItsOwnMessage) {
    struct Case {
        const char* what;
        int failConnection;
        int renamedClass;  // class whose pins get other names, -1 none
        const char* message;
        size_t attempts;   // ConnectDirect calls made
    };
    const Case cases[] = {
        {"first refused", 0, -1, "初期化に失敗しました。(VCB->DVE)", 1},
        {"second refused", 1, -1, "初期化に失敗しました。(DVE->DVM)", 2},
        {"third refused", 2, -1, "初期化に失敗しました。(DVM->DVS)", 3},
        {"device pin named otherwise", -1, 3, "初期化に失敗しました。(DVM->DVS)", 2},
        {"encoder pins named otherwise", -1, 1, "初期化に失敗しました。(VCB->DVE)", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartAfresh();
        world.failConnection = c.failConnection;
        if (c.renamedClass >= 0) world.classes[c.renamedClass].pins = {u"In", u"Out"};
        apptest::TestGraph graph(&RecordMessage);
        EXPECT_EQ(graph.Build(), 0);
        EXPECT_EQ(g_messages, std::vector<std::string>{c.message});
        EXPECT_EQ(world.connections.size(), c.attempts);
        EXPECT_EQ(graph.m_pControl, nullptr);
        EXPECT_EQ(world.livePinEnums, 0);
        if (c.failConnection == 0) {
            // Pins of later connections are looked up only when their turn comes.
            EXPECT_EQ(graph.m_pEncoderOut, nullptr);
            EXPECT_EQ(graph.m_pDeviceIn, nullptr);
        }
    }
}

TEST_F(OutputGraphFakeTest, PlatformObjectsMissing) {
    struct Case {
        const char* name;
        bool fake::FakeWorld::*available;  // made false
        int built;                         // what Build returns
        std::vector<std::string> messages;
        void (*more)(apptest::TestGraph& graph, fake::FakeWorld& world);  // or null
    };
    const Case cases[] = {
        {"no media control", &fake::FakeWorld::graphHasMediaControl, 0,
         {"メディアコントロールのロードに失敗しました。"},
         [](apptest::TestGraph& graph, fake::FakeWorld& world) {
             // Stop without a control interface does nothing.
             EXPECT_EQ(graph.Stop(), 1);
             EXPECT_EQ(world.stops, 0);
         }},
        {"no filter mapper", &fake::FakeWorld::mapperCreatable, 0,
         {"FilterMapperの初期化に失敗しました\n"},
         [](apptest::TestGraph&, fake::FakeWorld& world) {
             EXPECT_TRUE(world.addedNames.empty());
         }},
        {"no graph manager: -1 and nothing shown", &fake::FakeWorld::graphCreatable, -1, {},
         [](apptest::TestGraph& graph, fake::FakeWorld& world) {
             EXPECT_EQ(graph.m_pGraph, nullptr);
             EXPECT_EQ(world.liveMappers, 0);
             EXPECT_EQ(world.liveRegEnums, 0);
         }},
        {"no device enumerator", &fake::FakeWorld::devEnumCreatable, 0,
         {"DV機器が見つかりませんでした。"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartAfresh();
        world.*c.available = false;
        apptest::TestGraph graph(&RecordMessage);
        EXPECT_EQ(graph.Build(), c.built);
        EXPECT_EQ(g_messages, c.messages);
        if (c.more != nullptr) c.more(graph, world);
    }
}

// Statuses the DV device reports, as Win32 errors.
constexpr HRESULT kDeviceBusy = HRESULT_FROM_WIN32(ERROR_BUSY);
constexpr HRESULT kDiskFull = HRESULT_FROM_WIN32(112);     // ERROR_DISK_FULL
constexpr HRESULT kDeviceGone = HRESULT_FROM_WIN32(1167);  // ERROR_DEVICE_NOT_CONNECTED
constexpr HRESULT kDeviceStalled = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

const std::string kInterrupted = "DV出力が中断されました。\n";
const std::string kGone = "DV機器が取り外されたか、接続が切れました。";

// A failure while streaming: the graph is stopped and the user told what failed and why. (A
// graph that cannot start is told the same way; see the window's tests.)
TEST_F(OutputGraphFakeTest, FailureEventsStopTheGraphAndSayWhatFailedAndWhy) {
    struct Case {
        std::vector<fake::Event> events;
        std::string text;  // empty: streaming goes on
    };
    const Case cases[] = {
        // Nothing wrong: events of a healthy graph, and a device that came back.
        {{{EC_PAUSED, S_OK, 0}, {EC_COMPLETE, S_OK, 0}, {EC_DEVICE_LOST, 0, 1}}, ""},
        {{{EC_ERRORABORT, kDeviceGone, 0}}, kInterrupted + kGone},
        {{{EC_DEVICE_LOST, 0, 0}}, kInterrupted + kGone},
        {{{EC_ERRORABORT, kDeviceBusy, 0}}, kInterrupted + "DV機器は他のアプリケーションが使用中です。"},
        {{{EC_ERRORABORT, kDiskFull, 0}}, kInterrupted + "テープまたはディスクの空きがありません。"},
        {{{EC_ERRORABORT, HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL), 0}},
         kInterrupted + "テープまたはディスクの空きがありません。"},
        {{{EC_ERRORABORT, kDeviceStalled, 0}}, kInterrupted + "DV機器が応答しません。"},
        {{{EC_ERRORABORT, HRESULT_FROM_WIN32(1450), 0}},  // the bus has no bandwidth or channel left
         kInterrupted + "IEEE 1394 バスの帯域またはチャンネルが足りません。"},
        {{{EC_STREAM_ERROR_STOPPED, E_FAIL, 0}}, kInterrupted + "エラーが発生しました。(0x80004005)"},
        // The first failure is the cause; what follows from it is not told again.
        {{{EC_PAUSED, S_OK, 0}, {EC_ERRORABORT, kDiskFull, 0}, {EC_ERRORABORT, E_FAIL, 0}},
         kInterrupted + "テープまたはディスクの空きがありません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.empty() ? "harmless events" : c.text);
        StartAfresh();
        apptest::TestGraph graph(&RecordMessage);
        ASSERT_EQ(graph.Build(), 1);
        ASSERT_NE(graph.m_pEvent, nullptr);
        ASSERT_EQ(graph.Run(), 1);
        world.events.assign(c.events.begin(), c.events.end());
        const size_t posted = c.events.size();
        if (c.text.empty()) {
            EXPECT_EQ(graph.CheckEvents(), 1);
            EXPECT_TRUE(g_messages.empty());
            EXPECT_EQ(world.stops, 0);
            EXPECT_EQ(world.eventsFreed, static_cast<int>(posted));
        } else {
            EXPECT_EQ(graph.CheckEvents(), 0);
            EXPECT_EQ(g_messages, std::vector<std::string>{c.text});
            EXPECT_EQ(world.calls.back(), "Stop");
            EXPECT_EQ(world.stops, 1);
            // Every event taken is given back, up to the failure.
            EXPECT_EQ(world.eventsFreed, static_cast<int>(posted - world.events.size()));
        }
    }

    // A graph without events cannot be watched but still streams.
    StartAfresh();
    world.graphHasMediaEvent = false;
    apptest::TestGraph quiet(&RecordMessage);
    ASSERT_EQ(quiet.Build(), 1);
    EXPECT_EQ(quiet.m_pEvent, nullptr);
    world.events = {{EC_ERRORABORT, E_FAIL, 0}};
    EXPECT_EQ(quiet.CheckEvents(), 1);
    EXPECT_TRUE(g_messages.empty());
}

// What the device finds only when it is stopped (it had stalled just before, or its tape could
// not take the last frames) ends the run as a failure too, as does one posted since the last
// look: told once, the graph stopped once.
TEST_F(OutputGraphFakeTest, FailureThatComesWithTheStopIsTold) {
    struct Case {
        std::vector<fake::Event> before, atStop;
        std::string text;  // empty: a clean stop
    };
    const Case cases[] = {
        {{}, {{EC_ERRORABORT, kDeviceStalled, 0}}, kInterrupted + "DV機器が応答しません。"},
        {{{EC_PAUSED, S_OK, 0}}, {{EC_ERRORABORT, kDiskFull, 0}},
         kInterrupted + "テープまたはディスクの空きがありません。"},
        // Unpolled when the stop came: the cause, and what the stop brings up follows from it.
        {{{EC_DEVICE_LOST, 0, 0}}, {{EC_ERRORABORT, kDeviceStalled, 0}}, kInterrupted + kGone},
        {{{EC_PAUSED, S_OK, 0}}, {{EC_DEVICE_LOST, 0, 1}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.empty() ? "clean stop" : c.text);
        StartAfresh();
        apptest::TestGraph graph(&RecordMessage);
        ASSERT_EQ(graph.Build(), 1);
        ASSERT_EQ(graph.Run(), 1);
        world.events.assign(c.before.begin(), c.before.end());
        world.eventsAtStop.assign(c.atStop.begin(), c.atStop.end());
        EXPECT_EQ(graph.Stop(), c.text.empty() ? 1 : 0);
        EXPECT_EQ(g_messages, c.text.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.text});
        EXPECT_EQ(world.stops, 1);
    }
}

}  // namespace
