// An allocator with one sample of a buffer size the test chooses, independent of what it grants
// in SetProperties: it can hand the filter a 2 MB buffer, or a 1000-byte buffer after telling
// negotiation it granted a whole frame. The buffer starts filled with kUntouchedByte so a test
// can see what the filter did not write.
//
// Threads: GetBuffer runs on the filter's worker and blocks until the sample comes back or the
// allocator is decommitted; Commit and Decommit come from the thread stopping the filter. All
// state is guarded by `mutex`.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <mutex>
#include <vector>

class TestAllocator : public IMemAllocator {
public:
    static constexpr BYTE kUntouchedByte = 0xAB;

    // grantedBytes is what SetProperties reports; bufferBytes the size of the one sample.
    TestAllocator(LONG grantedBytes, LONG bufferBytes);
    ~TestAllocator();

    // The sample's buffer as the filter last left it (read while the filter is stopped).
    std::vector<BYTE> Buffer();
    ALLOCATOR_PROPERTIES LastRequest();
    LONG References() const { return referenceCount; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* request,
                                            ALLOCATOR_PROPERTIES* actual) override;
    HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* props) override;
    HRESULT STDMETHODCALLTYPE Commit() override;
    HRESULT STDMETHODCALLTYPE Decommit() override;
    HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                        REFERENCE_TIME* stop, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample* sample) override;

private:
    class Sample;
    friend class Sample;
    void SampleReturned();

    volatile LONG referenceCount = 1;
    std::mutex mutex;  // guards everything below and the sample's fields
    std::condition_variable changed;
    LONG grantedBytes;
    ALLOCATOR_PROPERTIES lastRequest = {};
    bool committed = false;
    bool sampleOut = false;
    Sample* sample;
};
