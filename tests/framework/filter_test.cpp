// The filter base: state changes, clock, graph membership, object counting; the source filter's
// pin table; the pin and media-type enumerators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "support/com_object.h"
#include "tests/support/com_fake.h"
#include "framework/media_type_enumerator.h"
#include "framework/module_state.h"

using fakes::FakeInputPin;
using fakes::TestSource;
using fakes::TestStream;
using fakes::VideoType;

namespace {

// A connected pin that records the filter's calls instead of streaming.
class RecordingStream : public TestStream {
public:
    RecordingStream(HRESULT* status, TestSource* owner, int number, std::vector<std::string>* log)
        : TestStream(status, owner, u"Recording"), number(number), log(log) {}
    HRESULT Activate() override { return Record("Activate", activateAnswer); }
    HRESULT Deactivate() override { return Record("Deactivate", deactivateAnswer); }
    HRESULT StartRunning(REFERENCE_TIME) override { return Record("StartRunning", runAnswer); }

    HRESULT activateAnswer = S_OK;
    HRESULT deactivateAnswer = S_OK;
    HRESULT runAnswer = S_OK;

private:
    HRESULT Record(const char* what, HRESULT answer) {
        log->push_back(std::string(what) + std::to_string(number));
        return answer;
    }
    int number;
    std::vector<std::string>* log;
};

// On the test's stack (see tests/support/com_fake.h).
class CountingClock
    : public platform::ComObject<platform::Implements<IReferenceClock, IID_IReferenceClock>>,
      public testsupport::TestOwned {
public:
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* time) override {
        *time = now;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT,
                                         DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE,
                                             DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
    REFERENCE_TIME now = 0;
};

class FilterState : public ::testing::Test {
protected:
    void SetUp() override {
        source = new TestSource();
        filter = fakes::AsFilter(source);
        for (int number = 0; number < 2; ++number) {
            HRESULT status = E_FAIL;
            pins[number] = new RecordingStream(&status, source, number, &log);
            ASSERT_EQ(status, S_OK);
            pins[number]->singleType = VideoType(MEDIASUBTYPE_RGB24);
            peers[number].acceptedSubtypes = {MEDIASUBTYPE_RGB24};
            ASSERT_EQ(pins[number]->Connect(&peers[number], nullptr), S_OK);
        }
        // A third pin stays unconnected and must never be called.
        HRESULT status = E_FAIL;
        new RecordingStream(&status, source, 9, &log);
    }

    void TearDown() override {
        filter->Stop();
        for (FakeInputPin& peer : peers) {
            peer.Disconnect();
        }
        for (RecordingStream* pin : pins) {
            pin->Disconnect();
        }
        filter->Release();
    }

    FILTER_STATE State() {
        FILTER_STATE state = State_Running;
        EXPECT_EQ(filter->GetState(0, &state), S_OK);
        return state;
    }

    std::vector<std::string> TakeLog() {
        std::vector<std::string> taken;
        taken.swap(log);
        return taken;
    }

    TestSource* source = nullptr;
    IBaseFilter* filter = nullptr;
    RecordingStream* pins[2] = {};
    FakeInputPin peers[2];
    std::vector<std::string> log;
};

using Log = std::vector<std::string>;

TEST_F(FilterState, TransitionsCallConnectedPinsInOrder) {
    ASSERT_EQ(filter->Run(100), S_OK);
    EXPECT_EQ(TakeLog(), (Log{"Activate0", "Activate1", "StartRunning0", "StartRunning1"}));
    EXPECT_EQ(State(), State_Running);

    // Running again only replaces the start time.
    CountingClock clock;
    clock.now = 1000;
    ASSERT_EQ(filter->SetSyncSource(&clock), S_OK);
    ASSERT_EQ(filter->Run(400), S_OK);
    EXPECT_TRUE(TakeLog().empty());
    REFERENCE_TIME streamTime = 0;
    EXPECT_EQ(source->CurrentStreamTime(&streamTime), S_OK);
    EXPECT_EQ(streamTime, 600);

    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(State(), State_Paused);
    EXPECT_TRUE(source->IsStarted());

    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(TakeLog(), (Log{"StartRunning0", "StartRunning1"}));

    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(TakeLog(), (Log{"Deactivate0", "Deactivate1"}));
    EXPECT_FALSE(source->IsStarted());
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_TRUE(TakeLog().empty());

    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(testsupport::References(clock), 1u);
}

TEST_F(FilterState, FailingPinsDuringPauseRunAndStop) {
    pins[0]->activateAnswer = E_ABORT;
    EXPECT_EQ(filter->Run(0), E_ABORT);
    EXPECT_EQ(TakeLog(), (Log{"Activate0"}));
    EXPECT_EQ(State(), State_Stopped);

    // A pin that fails after others started stops those again: the filter stays stopped.
    pins[0]->activateAnswer = S_OK;
    pins[1]->activateAnswer = E_OUTOFMEMORY;
    EXPECT_EQ(filter->Pause(), E_OUTOFMEMORY);
    EXPECT_EQ(TakeLog(), (Log{"Activate0", "Activate1", "Deactivate0"}));
    EXPECT_EQ(State(), State_Stopped);

    pins[1]->activateAnswer = S_OK;
    pins[1]->runAnswer = E_ACCESSDENIED;
    EXPECT_EQ(filter->Run(0), E_ACCESSDENIED);
    EXPECT_EQ(State(), State_Paused);
    TakeLog();

    // Every connected pin is deactivated; the first failure is the one reported.
    pins[0]->deactivateAnswer = E_FAIL;
    pins[1]->deactivateAnswer = E_ABORT;
    EXPECT_EQ(filter->Stop(), E_FAIL);
    EXPECT_EQ(TakeLog(), (Log{"Deactivate0", "Deactivate1"}));
    EXPECT_EQ(State(), State_Stopped);
    pins[0]->deactivateAnswer = S_OK;
    pins[1]->deactivateAnswer = S_OK;
}

TEST_F(FilterState, ConnectionChangesNeedAStoppedFilter) {
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_EQ(pins[0]->Connect(&peers[0], nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(pins[0]->Disconnect(), VFW_E_NOT_STOPPED);
    TestStream* spare = static_cast<TestStream*>(source->PinAt(2));
    EXPECT_EQ(spare->Disconnect(), VFW_E_NOT_STOPPED);  // before the connection test
    FakeInputPin other;
    EXPECT_EQ(spare->Connect(&other, nullptr), VFW_E_NOT_STOPPED);
    EXPECT_EQ(testsupport::References(other), 1u);
}

TEST(Filter, ClockGraphAndName) {
    TestSource* source = new TestSource();
    IBaseFilter* filter = fakes::AsFilter(source);

    IReferenceClock* clock = nullptr;
    EXPECT_EQ(filter->GetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock, nullptr);
    REFERENCE_TIME time = 0;
    EXPECT_EQ(source->CurrentStreamTime(&time), VFW_E_NO_CLOCK);
    // Without a clock that is the answer, whatever place was given.
    EXPECT_EQ(source->CurrentStreamTime(nullptr), VFW_E_NO_CLOCK);

    CountingClock counting;
    filter->SetSyncSource(&counting);
    filter->SetSyncSource(&counting);  // the clock already held stays alive
    EXPECT_EQ(testsupport::References(counting), 2u);
    EXPECT_EQ(source->CurrentStreamTime(nullptr), E_POINTER);

    // No vendor text, but a missing place is still refused as such.
    LPWSTR vendor = nullptr;
    EXPECT_EQ(filter->QueryVendorInfo(&vendor), E_NOTIMPL);
    EXPECT_EQ(filter->QueryVendorInfo(nullptr), E_POINTER);

    fakes::FakeGraph silentGraph;
    silentGraph.hasEventSink = false;
    EXPECT_EQ(filter->JoinFilterGraph(&silentGraph, u"quiet"), S_OK);
    EXPECT_EQ(source->PostGraphEvent(EC_ERRORABORT, E_FAIL, 0), E_NOTIMPL);

    fakes::FakeGraph graph;
    std::u16string longName(200, u'f');
    EXPECT_EQ(filter->JoinFilterGraph(&graph, longName.c_str()), S_OK);
    EXPECT_EQ(testsupport::References(graph), 1u);  // held uncounted
    EXPECT_EQ(source->PostGraphEvent(EC_COMPLETE, 5, 0), S_OK);
    ASSERT_EQ(graph.Events().size(), 1u);

    FILTER_INFO info;
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), longName.substr(0, 127));
    EXPECT_EQ(info.pGraph, &graph);
    info.pGraph->Release();

    EXPECT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], u'\0');
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(source->PostGraphEvent(EC_COMPLETE, 5, 0), E_NOTIMPL);

    // No registration data: the setup interface does nothing.
    IAMovieSetup* setup = nullptr;
    ASSERT_EQ(filter->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&setup)), S_OK);
    EXPECT_EQ(setup->Register(), S_FALSE);
    EXPECT_EQ(setup->Unregister(), S_FALSE);
    setup->Release();

    filter->Release();
    EXPECT_EQ(testsupport::References(counting), 1u);  // the destroyed filter gave its clock back
}

// An aggregating object that hands every query but IUnknown on to the inner object. On the
// test's stack (see tests/support/com_fake.h).
using Aggregator = testsupport::Aggregating<ObjectBase>;

TEST(Filter, CountsAndAggregation) {
    const LONG before = liveObjectCount;
    Aggregator outer;
    TestSource* source = new TestSource(&outer);
    outer.inner = source;
    EXPECT_EQ(liveObjectCount, before + 1);

    IBaseFilter* filter = nullptr;
    ASSERT_EQ(source->InnerQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)),
              S_OK);
    EXPECT_EQ(testsupport::References(outer), 2u);  // the exposed interface counts on the outer object
    IUnknown* unknown = nullptr;
    ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, &outer);
    unknown->Release();
    filter->Release();
    EXPECT_EQ(testsupport::References(outer), 1u);

    IUnknown* inner = nullptr;
    ASSERT_EQ(source->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_EQ(inner, source->InnerInterface());
    EXPECT_EQ(inner->AddRef(), 2u);
    EXPECT_EQ(inner->Release(), 1u);
    void* nothing = &outer;
    EXPECT_EQ(source->InnerQueryInterface(IID_IMemAllocator, &nothing), E_NOINTERFACE);
    EXPECT_EQ(nothing, nullptr);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(liveObjectCount, before);
}

// A test source held through its IBaseFilter, released when the test ends.
class SourceFilter : public ::testing::Test {
protected:
    void TearDown() override { filter->Release(); }

    TestSource* source = new TestSource();
    IBaseFilter* filter = fakes::AsFilter(source);
};

TEST_F(SourceFilter, PinTableAndIdentifiers) {
    EXPECT_EQ(source->PinCount(), 0);
    EXPECT_EQ(source->PinAt(0), nullptr);
    EXPECT_EQ(source->PinAt(-1), nullptr);

    TestStream* first = source->AddStream(u"first");
    TestStream* second = source->AddStream(u"second");
    TestStream* third = source->AddStream(u"third");
    EXPECT_EQ(source->PinCount(), 3);
    EXPECT_EQ(source->PinAt(1), second);

    for (const char16_t* id : {u"1", u"01", u"1abc"}) {
        IPin* found = nullptr;
        EXPECT_EQ(filter->FindPin(id, &found), S_OK);
        EXPECT_EQ(found, static_cast<IPin*>(first));
        found->Release();
    }
    for (const char16_t* id : {u"0", u"4", u"", u"x1"}) {
        IPin* found = first;
        EXPECT_EQ(filter->FindPin(id, &found), VFW_E_NOT_FOUND);
        EXPECT_EQ(found, nullptr);
    }
    LPWSTR id = nullptr;
    ASSERT_EQ(third->QueryId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"3");
    CoTaskMemFree(id);

    // Detaching the middle pin closes the gap; a stranger is not in the table.
    EXPECT_EQ(source->DetachStream(second), S_OK);
    EXPECT_EQ(source->PinAt(1), third);
    EXPECT_EQ(source->DetachStream(second), S_FALSE);
    EXPECT_EQ(second->QueryId(&id), VFW_E_NOT_FOUND);
    delete second;  // owned by the test once detached

    delete third;  // detaches itself
    delete first;
    EXPECT_EQ(source->pinCount, 0);
    EXPECT_EQ(source->pinTable, nullptr);
}

TEST_F(SourceFilter, IdentifiersBeyondThreeDigitsStayInTheirBlock) {
    TestStream* last = nullptr;
    for (int count = 0; count < 1000; ++count) {
        last = source->AddStream(nullptr);
    }
    LPWSTR id = nullptr;
    ASSERT_EQ(last->QueryId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"1000");
    CoTaskMemFree(id);
    IPin* found = nullptr;
    ASSERT_EQ(filter->FindPin(u"1000", &found), S_OK);
    EXPECT_EQ(found, static_cast<IPin*>(last));
    found->Release();
}

// The source with a first stream "a".
class Enumerators : public SourceFilter {
protected:
    TestStream* first = source->AddStream(u"a");
};

TEST_F(Enumerators, PinEnumeratorWalksResynchronisesAndClones) {
    TestStream* second = source->AddStream(u"b");

    IEnumPins* pins = nullptr;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* got[2] = {};
    ULONG fetched = 7;
    EXPECT_EQ(pins->Next(0, got, &fetched), S_FALSE);
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);
    ASSERT_EQ(pins->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin*>(first));
    got[0]->Release();

    // A clone continues from here and remembers what was handed out.
    IEnumPins* clone = nullptr;
    ASSERT_EQ(pins->Clone(&clone), S_OK);

    // The pin set changes: Skip and Clone refuse, Next carries on without repeating.
    source->ChangePinSet();
    IEnumPins* staleClone = clone;
    EXPECT_EQ(pins->Clone(&staleClone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(staleClone, nullptr);
    EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    ASSERT_EQ(pins->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();

    // The clone starts again from the first pin but skips the one its source returned.
    ASSERT_EQ(clone->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();
    clone->Release();

    ASSERT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Skip(3), S_FALSE);  // past the end: position stays
    ASSERT_EQ(pins->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    got[0]->Release();
    got[1]->Release();
    pins->Release();
}

TEST_F(Enumerators, MediaTypeEnumeratorEndsAndGoesStale) {
    TestStream* pin = first;
    pin->singleType = VideoType(MEDIASUBTYPE_RGB24);

    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* got[2] = {};
    ULONG fetched = 9;
    EXPECT_EQ(types->Next(0, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(types->Next(2, got, nullptr), E_INVALIDARG);
    ASSERT_EQ(types->Next(1, got, nullptr), S_OK);
    EXPECT_TRUE(*static_cast<MediaTypeRecord*>(got[0]) == pin->singleType);
    EXPECT_NE(got[0]->pbFormat, pin->singleType.pbFormat);
    DisposeMediaType(got[0]);
    EXPECT_EQ(pin->singleType.cbFormat, sizeof(VIDEOINFO));  // the pin's offer is untouched
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(types->Next(1, got, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
    }

    ASSERT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Skip(5), S_FALSE);
    EXPECT_EQ(types->Next(1, got, &fetched), S_FALSE);  // the position stayed at 5
    ASSERT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Skip(1), S_OK);

    pin->ChangeTypeList();
    EXPECT_EQ(types->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumMediaTypes* clone = types;
    EXPECT_EQ(types->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    ASSERT_EQ(types->Reset(), S_OK);
    ASSERT_EQ(types->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    DisposeMediaType(got[0]);
    clone->Release();
    types->Release();

    // The default single type of a push-stream pin offers nothing and accepts nothing.
    pin->hasSingleType = false;
    MediaTypeRecord record;
    EXPECT_EQ(pin->GetOfferedType(0, &record), E_UNEXPECTED);
    EXPECT_EQ(pin->GetOfferedType(-1, &record), E_INVALIDARG);
    EXPECT_EQ(pin->GetOfferedType(1, &record), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pin->TestMediaType(&record), E_FAIL);
}

}  // namespace
