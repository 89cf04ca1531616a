// The DV device filter against a virtual deck: Interrupt from another thread while a call waits on
// a deck that answers nothing (SIGSTOP), what goes out after it, RECORD on a write-protected tape,
// and the gaps in the stream's progress.
#include <gtest/gtest.h>

#include <dshow.h>
#include <platform/platform.h>

#include <atomic>
#include <thread>

#include "dv/deck/transport_deck.h"
#include "dv/filters/device_filter.h"
#include "dv/filters/dv_classes.h"
#include "support/com_ptr.h"
#include "tests/support/com_fake.h"
#include "tests/support/dv/deck_test_process.h"
#include "tests/support/fake_allocator.h"

using namespace decktest;
using platform::ComPtr;

namespace {

constexpr useconds_t kFramePeriodUs = 1001000 / 30;
// Long enough for a call started on another thread to be waiting on the frozen deck (its
// answer would take the transport's reply timeout, 3 s); the outcome, not the time, is checked.
constexpr useconds_t kLetItBlockUs = 300000;

// A call run on a thread of its own, to be interrupted from the test's thread: its status, and
// whether it returned only after the interrupt was asked for.
class BlockedCall {
public:
    template <typename Call>
    explicit BlockedCall(Call call)
        : thread([this, call] {
              CoInitialize(nullptr);
              status = call();
              returnedAfterInterrupt = interruptAsked.load();
              CoUninitialize();
          }) {}
    ~BlockedCall() {
        if (thread.joinable()) thread.join();
    }
    void InterruptAsked() { interruptAsked = true; }
    HRESULT Status() {
        thread.join();
        return status;
    }
    bool ReturnedAfterInterrupt() const { return returnedAfterInterrupt; }

private:
    std::atomic<bool> interruptAsked{false};
    HRESULT status = E_UNEXPECTED;
    bool returnedAfterInterrupt = false;
    std::thread thread;
};

class DeviceFilterTest : public DeckTest {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override {
        if (device != nullptr) device->Stop();
        stream.Reset();
        transportControl.Reset();
        device.Reset();
        CoUninitialize();
    }

    // The filter for the deck that runs now, loaded as a device's moniker loads it.
    void MakeFilter() {
        ASSERT_EQ(S_OK, dv::CreateDeviceFilter(nullptr, IID_IBaseFilter, device.PutVoid()));
        bag.values[u"DevicePath"] = "deck:" + deck.SocketPath();
        ComPtr<IPersistPropertyBag> persist;
        ASSERT_EQ(S_OK, device.As(IID_IPersistPropertyBag, &persist));
        ASSERT_EQ(S_OK, persist->Load(&bag, nullptr));
        ASSERT_EQ(S_OK, device.As(IID_IAMExtTransport, &transportControl));
        ASSERT_EQ(S_OK, device.As(IID_IDVDeviceStream, &stream));
    }

    // The deck's mode, asked over a connection of the test's own.
    dv::DeckMode DeckMode() {
        dv::DeckTransport probe(deck.SocketPath());
        dv::DeckState state;
        EXPECT_EQ(S_OK, probe.GetDeckState(&state)) << probe.LastError();
        return state.mode;
    }

    // Hands `count` frames to the filter as its input pin would, one sample at a time.
    void Send(int count) {
        for (int i = 0; i < count; ++i) {
            ComPtr<IMediaSample> sample;
            ASSERT_EQ(S_OK, allocator.GetBuffer(sample.Put(), nullptr, nullptr, 0));
            BYTE* data = nullptr;
            ASSERT_EQ(S_OK, sample->GetPointer(&data));
            const auto frame = MakeFrame(uint32_t(sent));
            std::memcpy(data, frame.data(), frame.size());
            sample->SetActualDataLength(LONG(frame.size()));
            REFERENCE_TIME start = sent * 333667, stop = start + 333667;
            sample->SetTime(&start, &stop);
            ASSERT_EQ(S_OK, Filter()->SendSample(sample.Get()));
            ++sent;
        }
    }
    dv::DeviceFilter* Filter() { return static_cast<dv::DeviceFilter*>(device.Get()); }

    testsupport::TextBag bag;
    testsupport::FakeAllocator allocator {LONG(kFrameBytes), LONG(kFrameBytes)};
    ComPtr<IBaseFilter> device;
    ComPtr<IAMExtTransport> transportControl;
    ComPtr<IDVDeviceStream> stream;
    int sent = 0;
};

// Two deck-control calls wait on a deck that answers nothing, the second behind the first's
// lock; Interrupt from a third thread ends both with E_ABORT. After it nothing but STOP goes to
// the deck: RECORD and the status calls fail at once, and STOP still reaches a deck that answers.
TEST_F(DeviceFilterTest, InterruptEndsDeckControlWaitingOnAFrozenDeckAndOnlyStopGoesOutAfterIt) {
    ASSERT_TRUE(deck.StartListening(tape, "test deck", 0, {"--stopped"}));
    MakeFilter();
    deck.Signal(SIGSTOP);
    LONG status = 0, mode = 0;
    BlockedCall statusCall([&] { return transportControl->GetStatus(ED_MODE, &status); });
    BlockedCall modeCall([&] { return transportControl->get_Mode(&mode); });
    usleep(kLetItBlockUs);
    statusCall.InterruptAsked();
    modeCall.InterruptAsked();
    ASSERT_EQ(S_OK, stream->Interrupt());
    EXPECT_EQ(E_ABORT, statusCall.Status());
    EXPECT_EQ(E_ABORT, modeCall.Status());
    EXPECT_TRUE(statusCall.ReturnedAfterInterrupt()) << "the call did not wait on the frozen deck";
    EXPECT_TRUE(modeCall.ReturnedAfterInterrupt());
    deck.Signal(SIGCONT);

    EXPECT_EQ(E_ABORT, transportControl->put_Mode(ED_MODE_RECORD));
    EXPECT_EQ(E_ABORT, transportControl->put_Mode(ED_MODE_PLAY));
    EXPECT_EQ(E_ABORT, transportControl->GetStatus(ED_MEDIA_PRESENT, &status));
    ComPtr<IAMTimecodeReader> timecode;
    ASSERT_EQ(S_OK, device.As(IID_IAMTimecodeReader, &timecode));
    TIMECODE_SAMPLE where {};
    EXPECT_EQ(E_ABORT, timecode->GetTimecode(&where));
    EXPECT_EQ(dv::DeckMode::Stop, DeckMode()) << "RECORD reached the deck after the interrupt";
    EXPECT_EQ(std::string::npos, deck.Output().find("mode record")) << deck.Output();

    // Someone else put the deck into record; this filter's STOP still stops it.
    dv::DeckTransport other(deck.SocketPath());
    ASSERT_EQ(S_OK, other.SetDeckMode(dv::DeckMode::Record)) << other.LastError();
    EXPECT_EQ(S_OK, transportControl->put_Mode(ED_MODE_STOP));
    EXPECT_EQ(dv::DeckMode::Stop, DeckMode());
}

// The graph's Run waits, under the graph's and the filter's locks, for a deck that answers
// nothing to say Hello; Interrupt ends it with E_ABORT, and a later Run fails so at once.
TEST_F(DeviceFilterTest, InterruptEndsAGraphRunWaitingToOpenAFrozenDeck) {
    ASSERT_TRUE(deck.StartListening(tape));
    MakeFilter();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(device.Get(), u"device"));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(IID_IMediaControl, &control));

    deck.Signal(SIGSTOP);
    BlockedCall run([&] { return control->Run(); });
    usleep(kLetItBlockUs);
    run.InterruptAsked();
    ASSERT_EQ(S_OK, stream->Interrupt());
    EXPECT_EQ(E_ABORT, run.Status());
    EXPECT_TRUE(run.ReturnedAfterInterrupt()) << "Run did not wait on the frozen deck";
    deck.Signal(SIGCONT);
    EXPECT_EQ(E_ABORT, control->Run());
    OAFilterState state = State_Running;
    EXPECT_EQ(S_OK, control->GetState(0, &state));
    EXPECT_EQ(State_Stopped, state);
    EXPECT_EQ(S_OK, graph->RemoveFilter(device.Get()));
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ("0", deck.ReportValue("frames"));
}

// RECORD on a write-protected tape is refused with the write-protect status, the filter reports
// the record inhibit, and the deck stays in stop with its tape untouched.
TEST_F(DeviceFilterTest, RecordOnAWriteProtectedTapeIsRefused) {
    { std::ofstream(tape) << "kept"; }
    ASSERT_TRUE(deck.StartListening(tape, "test deck", 0, {"--protected"}));
    MakeFilter();
    EXPECT_EQ(dv::kTransportWriteProtected, transportControl->put_Mode(ED_MODE_RECORD));
    LONG value = 0;
    ASSERT_EQ(S_OK, transportControl->GetStatus(ED_RECORD_INHIBIT, &value));
    EXPECT_EQ(OATRUE, value);
    ASSERT_EQ(S_OK, transportControl->get_Mode(&value));
    EXPECT_EQ(ED_MODE_STOP, value);
    ASSERT_TRUE(deck.Finish());
    EXPECT_EQ("kept", ReadFile(tape));
}

// Only the modes a unit can be put in are commanded: play-pause, which a unit may report, and a
// value that is no mode are refused as not implemented, and the deck stays as it was.
TEST_F(DeviceFilterTest, AModeThatIsNotCommandedIsRefusedAndTheDeckStaysAsItWas) {
    ASSERT_TRUE(deck.StartListening(tape, "test deck", 0, {"--stopped"}));
    MakeFilter();
    EXPECT_EQ(E_NOTIMPL, transportControl->put_Mode(ED_MODE_FREEZE));
    EXPECT_EQ(E_NOTIMPL, transportControl->put_Mode(12345));
    LONG value = 0;
    ASSERT_EQ(S_OK, transportControl->get_Mode(&value));
    EXPECT_EQ(ED_MODE_STOP, value);
    EXPECT_EQ(S_OK, transportControl->put_Mode(ED_MODE_STOP));
    ASSERT_TRUE(deck.Finish());
}

// A source that stops delivering for a while: the progress shows the gap, about as long as the
// pause, at the frame where it began, during the run and after the stop. Waiting for the first
// frame and, after the last, for the stop are no gaps.
TEST_F(DeviceFilterTest, ProgressShowsAPauseOfTheSourceAsAGapAtItsFrame) {
    ASSERT_TRUE(deck.StartListening(tape));
    MakeFilter();
    ASSERT_EQ(S_OK, allocator.Commit());
    constexpr int kBefore = 20, kPauseTicks = 15, kAfter = 20;
    ASSERT_EQ(S_OK, device->Pause());
    DVStreamProgress progress {};
    ASSERT_EQ(S_OK, stream->GetProgress(&progress));
    EXPECT_EQ(0, progress.longestGap);
    usleep(10 * kFramePeriodUs);
    Send(kBefore);
    usleep(kPauseTicks * kFramePeriodUs);
    Send(kAfter);
    ASSERT_EQ(S_OK, stream->GetProgress(&progress));
    EXPECT_EQ(kBefore, progress.longestGapAfter);
    EXPECT_GE(progress.longestGap, kPauseTicks - 3);
    EXPECT_LE(progress.longestGap, 2 * kPauseTicks);
    EXPECT_GE(progress.framesRepeated, progress.longestGap);
    const DVStreamProgress during = progress;
    usleep(10 * kFramePeriodUs);
    ASSERT_EQ(S_OK, device->Stop());
    ASSERT_EQ(S_OK, stream->GetProgress(&progress));
    EXPECT_EQ(kBefore + kAfter, progress.framesSent);
    EXPECT_EQ(kBefore + kAfter, progress.framesRecorded);
    EXPECT_EQ(during.longestGap, progress.longestGap);
    EXPECT_EQ(during.longestGapAfter, progress.longestGapAfter);
    EXPECT_EQ(during.framesRepeated, progress.framesRepeated) << "ticks after the last frame were counted";
    ASSERT_EQ(S_OK, allocator.Decommit());
}

}  // namespace
