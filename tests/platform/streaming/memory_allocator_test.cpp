// The Memory Allocator and its samples, through CoCreateInstance as filters use them.
#include <gtest/gtest.h>

#include <dshow.h>
#include <platform/platform.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "test_filters.h"

namespace {

class AllocatorTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_MemoryAllocator, IID_IMemAllocator, &allocator));
    }
    void TearDown() override {
        if (allocator != nullptr) allocator->Release();
        CoUninitialize();
    }
    void Configure(LONG count, LONG size, LONG align = 1, LONG prefix = 0) {
        ALLOCATOR_PROPERTIES request{count, size, align, prefix};
        ALLOCATOR_PROPERTIES actual{};
        ASSERT_EQ(S_OK, allocator->SetProperties(&request, &actual));
    }
    // Configured for `count` buffers of `size`, committed: the first sample, in *sample.
    void CommitAndTake(LONG count, LONG size, IMediaSample** sample) {
        Configure(count, size);
        ASSERT_EQ(S_OK, allocator->Commit());
        *sample = Get();
        ASSERT_NE(nullptr, *sample);
    }
    IMediaSample* Get(DWORD flags = 0) {
        IMediaSample* sample = nullptr;
        EXPECT_EQ(S_OK, allocator->GetBuffer(&sample, nullptr, nullptr, flags));
        return sample;
    }

    IMemAllocator* allocator = nullptr;
};

TEST_F(AllocatorTest, GrantsRoundedPropertiesAndRefusesBadRequests) {
    ALLOCATOR_PROPERTIES request{3, 1000, 16, 8};
    ALLOCATOR_PROPERTIES actual{};
    ASSERT_EQ(S_OK, allocator->SetProperties(&request, &actual));
    EXPECT_EQ(3, actual.cBuffers);
    EXPECT_EQ(1008, actual.cbBuffer);
    EXPECT_EQ(16, actual.cbAlign);
    EXPECT_EQ(8, actual.cbPrefix);
    ALLOCATOR_PROPERTIES read{};
    ASSERT_EQ(S_OK, allocator->GetProperties(&read));
    EXPECT_EQ(0, std::memcmp(&read, &actual, sizeof read));

    request = {2, 100, 0, 0};  // alignment 0 means 1
    ASSERT_EQ(S_OK, allocator->SetProperties(&request, &actual));
    EXPECT_EQ(1, actual.cbAlign);
    EXPECT_EQ(100, actual.cbBuffer);

    request = {2, 100, 3, 0};
    EXPECT_EQ(VFW_E_BADALIGN, allocator->SetProperties(&request, &actual));
    request = {-1, 100, 1, 0};
    EXPECT_EQ(E_INVALIDARG, allocator->SetProperties(&request, &actual));
    request = {1, INT32_MAX, 1024, 0};  // rounding would overflow the 32-bit size
    EXPECT_EQ(E_INVALIDARG, allocator->SetProperties(&request, &actual));
    EXPECT_EQ(E_POINTER, allocator->SetProperties(&request, nullptr));
    EXPECT_EQ(E_POINTER, allocator->GetProperties(nullptr));
}

TEST_F(AllocatorTest, CommitNeedsPropertiesAndLocksThem) {
    EXPECT_EQ(VFW_E_SIZENOTSET, allocator->Commit());
    IMediaSample* sample = nullptr;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, allocator->GetBuffer(&sample, nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, sample);

    Configure(1, 64);
    ASSERT_EQ(S_OK, allocator->Commit());
    ALLOCATOR_PROPERTIES request{2, 64, 1, 0}, actual{};
    EXPECT_EQ(VFW_E_ALREADY_COMMITTED, allocator->SetProperties(&request, &actual));

    sample = Get();
    ASSERT_NE(nullptr, sample);
    ASSERT_EQ(S_OK, allocator->Decommit());
    EXPECT_EQ(VFW_E_BUFFERS_OUTSTANDING, allocator->SetProperties(&request, &actual));
    // The decommitted allocator's outstanding sample is still usable until released.
    BYTE* data = nullptr;
    ASSERT_EQ(S_OK, sample->GetPointer(&data));
    std::memset(data, 0x5A, 64);
    sample->Release();
    EXPECT_EQ(S_OK, allocator->SetProperties(&request, &actual));
}

TEST_F(AllocatorTest, HandsOutDistinctAlignedBuffersUntilExhausted) {
    Configure(3, 100, 64, 16);
    ASSERT_EQ(S_OK, allocator->Commit());
    std::vector<IMediaSample*> held;
    for (int i = 0; i < 3; ++i) held.push_back(Get());
    std::vector<BYTE*> pointers;
    for (IMediaSample* sample : held) {
        ASSERT_NE(nullptr, sample);
        BYTE* data = nullptr;
        ASSERT_EQ(S_OK, sample->GetPointer(&data));
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 64);
        EXPECT_EQ(128, sample->GetSize());
        std::memset(data - 16, 0xEE, 16 + 128);  // prefix and buffer are ours to write
        pointers.push_back(data);
    }
    for (size_t i = 0; i < pointers.size(); ++i) {
        for (size_t j = i + 1; j < pointers.size(); ++j) {
            const intptr_t gap = pointers[i] - pointers[j];
            EXPECT_GE(gap < 0 ? -gap : gap, 128 + 16);
        }
    }
    IMediaSample* none = reinterpret_cast<IMediaSample*>(1);
    EXPECT_EQ(VFW_E_TIMEOUT, allocator->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT));
    EXPECT_EQ(nullptr, none);

    held[1]->Release();  // the last release returns the buffer
    IMediaSample* again = Get(AM_GBF_NOWAIT);
    ASSERT_NE(nullptr, again);
    BYTE* data = nullptr;
    again->GetPointer(&data);
    EXPECT_EQ(pointers[1], data);
    held[1] = again;
    for (IMediaSample* sample : held) sample->Release();
    EXPECT_EQ(S_OK, allocator->Decommit());
}

TEST_F(AllocatorTest, SampleSurface) {
    IMediaSample* sample = nullptr;
    ASSERT_NO_FATAL_FAILURE(CommitAndTake(1, 256, &sample));

    EXPECT_EQ(256, sample->GetActualDataLength());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, sample->SetActualDataLength(257));
    EXPECT_EQ(256, sample->GetActualDataLength());
    EXPECT_EQ(S_OK, sample->SetActualDataLength(10));
    EXPECT_EQ(10, sample->GetActualDataLength());

    REFERENCE_TIME start = -1, stop = -1;
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, sample->GetTime(&start, &stop));
    start = 200000;
    stop = 400000;
    EXPECT_EQ(S_OK, sample->SetTime(&start, &stop));
    REFERENCE_TIME readStart = 0, readStop = 0;
    EXPECT_EQ(S_OK, sample->GetTime(&readStart, &readStop));
    EXPECT_EQ(200000, readStart);
    EXPECT_EQ(400000, readStop);
    EXPECT_EQ(S_OK, sample->SetTime(&start, nullptr));
    EXPECT_EQ(VFW_S_NO_STOP_TIME, sample->GetTime(&readStart, &readStop));
    EXPECT_EQ(200001, readStop);
    EXPECT_EQ(S_OK, sample->SetTime(nullptr, nullptr));
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, sample->GetTime(&readStart, &readStop));

    LONGLONG mediaStart = 5, mediaStop = 6;
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, sample->GetMediaTime(&mediaStart, &mediaStop));
    EXPECT_EQ(S_OK, sample->SetMediaTime(&mediaStart, &mediaStop));
    LONGLONG a = 0, b = 0;
    EXPECT_EQ(S_OK, sample->GetMediaTime(&a, &b));
    EXPECT_EQ(5, a);
    EXPECT_EQ(6, b);

    EXPECT_EQ(S_FALSE, sample->IsSyncPoint());
    EXPECT_EQ(S_OK, sample->SetSyncPoint(TRUE));
    EXPECT_EQ(S_OK, sample->IsSyncPoint());
    EXPECT_EQ(S_FALSE, sample->IsPreroll());
    EXPECT_EQ(S_OK, sample->SetPreroll(TRUE));
    EXPECT_EQ(S_OK, sample->IsPreroll());
    EXPECT_EQ(S_FALSE, sample->IsDiscontinuity());
    EXPECT_EQ(S_OK, sample->SetDiscontinuity(TRUE));
    EXPECT_EQ(S_OK, sample->IsDiscontinuity());
    EXPECT_EQ(S_OK, sample->SetSyncPoint(FALSE));
    EXPECT_EQ(S_FALSE, sample->IsSyncPoint());

    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(S_FALSE, sample->GetMediaType(&type));
    EXPECT_EQ(nullptr, type);
    VIDEOINFOHEADER format{};
    format.bmiHeader.biWidth = 720;
    AM_MEDIA_TYPE proposed{};
    proposed.majortype = MEDIATYPE_Video;
    proposed.subtype = MEDIASUBTYPE_RGB24;
    proposed.formattype = FORMAT_VideoInfo;
    proposed.cbFormat = sizeof format;
    proposed.pbFormat = reinterpret_cast<BYTE*>(&format);
    EXPECT_EQ(S_OK, sample->SetMediaType(&proposed));
    format.bmiHeader.biWidth = 1;  // the sample holds its own copy
    ASSERT_EQ(S_OK, sample->GetMediaType(&type));
    ASSERT_NE(nullptr, type);
    EXPECT_EQ(MEDIASUBTYPE_RGB24, type->subtype);
    ASSERT_EQ(sizeof format, type->cbFormat);
    ASSERT_NE(reinterpret_cast<BYTE*>(&format), type->pbFormat);
    EXPECT_EQ(720, reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biWidth);
    CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);

    // The rows that changed from the sample before: unknown until said; a wrong pair is refused
    // and leaves them unknown.
    ISampleChangedRows* rows = nullptr;
    ASSERT_EQ(S_OK, sample->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(&rows)));
    LONG first = -5, end = -5;
    EXPECT_EQ(S_FALSE, rows->GetChangedRows(&first, &end));
    EXPECT_EQ(S_OK, rows->SetChangedRows(16, 64));
    EXPECT_EQ(S_OK, rows->GetChangedRows(&first, &end));
    EXPECT_EQ(16, first);
    EXPECT_EQ(64, end);
    EXPECT_EQ(S_OK, rows->SetChangedRows(0, 0));
    EXPECT_EQ(S_OK, rows->GetChangedRows(&first, &end));
    EXPECT_EQ(E_INVALIDARG, rows->SetChangedRows(10, 9));
    EXPECT_EQ(S_FALSE, rows->GetChangedRows(&first, &end));
    EXPECT_EQ(E_INVALIDARG, rows->SetChangedRows(-1, 9));
    EXPECT_EQ(E_POINTER, rows->GetChangedRows(nullptr, &end));
    EXPECT_EQ(S_OK, rows->SetChangedRows(1, 2));
    rows->Release();

    IMediaSample* viaQuery = nullptr;
    ASSERT_EQ(S_OK, sample->QueryInterface(IID_IMediaSample, reinterpret_cast<void**>(&viaQuery)));
    EXPECT_EQ(sample, viaQuery);
    viaQuery->Release();  // not the last reference: the sample stays out
    EXPECT_EQ(VFW_E_TIMEOUT, allocator->GetBuffer(&viaQuery, nullptr, nullptr, AM_GBF_NOWAIT));

    // Handed out again, the sample starts clean.
    sample->Release();
    sample = Get();
    ASSERT_NE(nullptr, sample);
    EXPECT_EQ(256, sample->GetActualDataLength());
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, sample->GetTime(&readStart, &readStop));
    EXPECT_EQ(S_FALSE, sample->IsPreroll());
    EXPECT_EQ(S_FALSE, sample->IsDiscontinuity());
    EXPECT_EQ(S_FALSE, sample->GetMediaType(&type));
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, sample->GetMediaTime(&a, &b));
    ASSERT_EQ(S_OK, sample->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(&rows)));
    EXPECT_EQ(S_FALSE, rows->GetChangedRows(&first, &end));
    rows->Release();
    sample->Release();
}

TEST_F(AllocatorTest, StrayReleaseBufferIsRefused) {
    IMediaSample* sample = nullptr;
    ASSERT_NO_FATAL_FAILURE(CommitAndTake(1, 32, &sample));
    // Still referenced: returning it would let a second holder write into it.
    EXPECT_EQ(E_INVALIDARG, allocator->ReleaseBuffer(sample));
    IMediaSample* other = nullptr;
    EXPECT_EQ(VFW_E_TIMEOUT, allocator->GetBuffer(&other, nullptr, nullptr, AM_GBF_NOWAIT));
    EXPECT_EQ(E_POINTER, allocator->ReleaseBuffer(nullptr));
    sample->Release();

    IMemAllocator* second = nullptr;
    ASSERT_EQ(S_OK, streamtest::CreateInstance(CLSID_MemoryAllocator, IID_IMemAllocator, &second));
    sample = Get();
    EXPECT_EQ(E_INVALIDARG, second->ReleaseBuffer(sample));  // not its sample
    second->Release();
    sample->Release();
}

TEST_F(AllocatorTest, WaitingGetBufferIsReleasedBySampleRelease) {
    IMediaSample* held = nullptr;
    ASSERT_NO_FATAL_FAILURE(CommitAndTake(1, 16, &held));

    std::atomic<bool> obtained{false};
    HRESULT result = E_FAIL;
    IMediaSample* got = nullptr;
    std::thread waiter([&] {
        result = allocator->GetBuffer(&got, nullptr, nullptr, 0);
        obtained = true;
    });
    EXPECT_FALSE(obtained.load());  // nothing free until we release ours
    held->Release();
    waiter.join();
    EXPECT_EQ(S_OK, result);
    ASSERT_NE(nullptr, got);
    got->Release();
}

TEST_F(AllocatorTest, DecommitReleasesWaiterAndLaterCallsFailAtOnce) {
    IMediaSample* held = nullptr;
    ASSERT_NO_FATAL_FAILURE(CommitAndTake(1, 16, &held));

    HRESULT result = S_OK;
    IMediaSample* got = reinterpret_cast<IMediaSample*>(1);
    std::thread waiter([&] { result = allocator->GetBuffer(&got, nullptr, nullptr, 0); });
    ASSERT_EQ(S_OK, allocator->Decommit());
    waiter.join();
    EXPECT_EQ(VFW_E_NOT_COMMITTED, result);
    EXPECT_EQ(nullptr, got);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, allocator->GetBuffer(&got, nullptr, nullptr, 0));

    // The allocator can be committed again while the old sample is still out.
    ASSERT_EQ(S_OK, allocator->Commit());
    held->Release();
    got = Get(AM_GBF_NOWAIT);
    ASSERT_NE(nullptr, got);
    got->Release();
}

TEST_F(AllocatorTest, OutstandingSampleKeepsAllocatorAlive) {
    IMediaSample* sample = nullptr;
    ASSERT_NO_FATAL_FAILURE(CommitAndTake(2, 4096, &sample));
    allocator->Release();  // our last reference; the sample holds another
    allocator = nullptr;
    BYTE* data = nullptr;
    ASSERT_EQ(S_OK, sample->GetPointer(&data));
    std::memset(data, 1, 4096);
    EXPECT_EQ(0u, sample->Release());  // frees the allocator (checked by the address sanitizer)
}

TEST_F(AllocatorTest, WorkerRacingCommitAndDecommitNeitherHangsNorCrashes) {
    Configure(2, 1024);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            IMediaSample* sample = nullptr;
            if (allocator->GetBuffer(&sample, nullptr, nullptr, 0) == S_OK) {
                BYTE* data = nullptr;
                sample->GetPointer(&data);
                data[0] = 1;
                sample->Release();
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(S_OK, allocator->Commit());
        std::this_thread::yield();
        ASSERT_EQ(S_OK, allocator->Decommit());
    }
    stop = true;
    worker.join();
    // No buffer was lost in the race: both come out again at once.
    ASSERT_EQ(S_OK, allocator->Commit());
    IMediaSample* first = Get(AM_GBF_NOWAIT);
    IMediaSample* second = Get(AM_GBF_NOWAIT);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    first->Release();
    second->Release();
    EXPECT_EQ(S_OK, allocator->Decommit());
}

}  // namespace
