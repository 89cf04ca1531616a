// A downstream input pin written for the tests (on the shared FakeInputPin). It accepts any type, takes
// every sample it is given, records its times, lengths and (for the first few) its bytes, and
// can run an action on the delivering thread while it holds a sample (as a device sending
// quality messages from inside Receive does).
//
// Threads: Receive runs on the filter's worker; the test thread reads the records through the
// accessors, which take `mutex`. The object lives on the test's stack; its reference count is
// only checked, never used to destroy it.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/fake_input_pin.h"

struct ReceivedSample {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT timeStatus = E_FAIL;
    LONG size = 0;
    LONG actualLength = 0;
    bool syncPoint = false;
    std::string bytes;  // whole buffer, kept only for the first keptSampleBytes samples
};

class TestInputPin : public testsupport::FakeInputPin, public testsupport::TestOwned {
public:
    TestInputPin();
    ~TestInputPin() override;

    // Allocator handed out by GetAllocator (AddRef'd); null answers VFW_E_NO_ALLOCATOR, which
    // makes the output pin create a platform Memory Allocator.
    void OfferAllocator(IMemAllocator* allocator);
    // How many of the first samples keep their bytes.
    void KeepBytesOf(int samples);
    // Runs on the delivering thread for each sample, with its 0-based index, while Receive holds
    // the sample (after its bytes were kept).
    void OnReceive(std::function<void(int index, IMediaSample* sample)> action);

    // Blocks until at least count samples arrived since the last Clear (no time limit: a hang is
    // caught by the test runner's timeout).
    void WaitForSamples(int count);
    std::vector<ReceivedSample> Samples();
    int SampleCount();
    void Clear();
    int EndOfStreamCount();
    IMemAllocator* NotifiedAllocator();  // not AddRef'd; null until NotifyAllocator
    IPin* Connector();                   // not AddRef'd

    // IPin: records the connector and end-of-stream.
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector,
                                                const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;

    // IMemInputPin: offers the allocator set by the test, records the one chosen and each sample.
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** allocator) override;
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;

private:
    std::mutex mutex;  // guards everything below
    std::condition_variable arrived;
    IMemAllocator* offered = nullptr;
    IMemAllocator* notified = nullptr;
    IPin* connector = nullptr;
    int keptSampleBytes = 0;
    int endOfStreamCount = 0;
    std::function<void(int, IMediaSample*)> receiveAction;
    std::vector<ReceivedSample> samples;
};
