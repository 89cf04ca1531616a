#include "dv/filters/device_output_pin.h"

#include <pthread.h>

#include <cstring>
#include <vector>

#include "dv/dif/packs.h"
#include "dv/filters/device_filter.h"
#include "dv/dif/dif_layout.h"
#include "dv/dv_system.h"
#include "dv/transport_interface.h"
#include "support/log.h"

namespace dv {
namespace {

constexpr int kWaitMs = 100;  // the worker looks at `stopping` at least this often

// A pack's four bytes after its number, as a DVINFO word holds them (PC1 lowest).
template <typename Pack>
DWORD PackWord(const Pack& fields) {
    uint8_t pack[dif::kPackBytes];
    dif::WritePack(pack, fields);
    return DWORD{pack[1]} | DWORD{pack[2]} << 8 | DWORD{pack[3]} << 16 | DWORD{pack[4]} << 24;
}

// The source packs of a recording of the system with locked 48 kHz stereo sound: what the type
// says before the first frame shows what the tape holds.
DVINFO CaptureDvInfo(const DvSystem& system) {
    DVINFO info{};
    dif::AudioSourcePack left;
    left.samples = dif::AudioSamplesInFrame(system, 0);
    left.fiftyFields = system.fiftyFields;
    dif::AudioSourcePack right = left;
    right.audioMode = 1;
    info.dwDVAAuxSrc = PackWord(left);
    info.dwDVAAuxCtl = PackWord(dif::AudioControlPack{});
    info.dwDVAAuxSrc1 = PackWord(right);
    info.dwDVAAuxCtl1 = PackWord(dif::AudioControlPack{});
    dif::VideoSourcePack video;
    video.fiftyFields = system.fiftyFields;
    info.dwDVVAuxSrc = PackWord(video);
    info.dwDVVAuxCtl = PackWord(dif::VideoControlPack{});
    return info;
}

REFERENCE_TIME FrameStart(const DvSystem& system, uint64_t index) {
    return REFERENCE_TIME(index * uint64_t(system.periodNum) / uint64_t(system.periodDen));
}

}  // namespace

DeviceOutputPin::DeviceOutputPin(DeviceFilter* owner) : KitOutputPin(owner, u"DV A/V Out"), owner(owner) {}

DeviceOutputPin::~DeviceOutputPin() {
    stopping.store(true);
    if (receiver != nullptr) receiver->Cancel();
    if (worker.joinable()) worker.join();
}

HRESULT DeviceOutputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Interleaved || mt->subtype != MEDIASUBTYPE_dvsd || mt->formattype != FORMAT_DvInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(DVINFO)) return E_INVALIDARG;
    return S_OK;
}

HRESULT DeviceOutputPin::GetMediaType(int position, platform::MediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(DVINFO));
    if (format == nullptr) return E_OUTOFMEMORY;
    // The system the device records (525/60 when it cannot say).
    LONG standard = DV_STANDARD_525_60;
    if (FAILED(owner->GetDeviceStandard(&standard))) standard = DV_STANDARD_525_60;
    const DvSystem& system = standard == DV_STANDARD_625_50 ? k625_50 : k525_60;
    const DVINFO info = CaptureDvInfo(system);
    std::memcpy(format, &info, sizeof info);
    filterkit::SetFrameType(mt, MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd, FORMAT_DvInfo, system.frameBytes);
    return S_OK;
}

HRESULT DeviceOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    // A few frames in flight: a downstream that holds one now and then does not cost a frame.
    if (props->cBuffers < 4) props->cBuffers = 4;
    // Room for a frame of either system: a tape may change system where a recording ends.
    return SizeForFrames(allocator, props, k625_50.frameBytes);
}

void DeviceOutputPin::StartCapture(Receiver* opened) {
    receiver = opened;
    stopping.store(false);
    worker = std::thread(&DeviceOutputPin::Capture, this);
    pthread_setname_np(worker.native_handle(), "dv-capture");
}

HRESULT DeviceOutputPin::Deactivate() {
    stopping.store(true);
    if (receiver != nullptr) receiver->Cancel();
    if (worker.joinable()) worker.join();
    receiver = nullptr;
    return KitOutputPin::Deactivate();
}

void DeviceOutputPin::Capture() {
    std::vector<uint8_t> frame;
    uint64_t index = 0;        // the next sample's place in the stream
    uint64_t missedSoFar = 0;  // frames the receiver could not hand on, as of the last sample
    bool first = true;
    while (!stopping.load()) {
        const HRESULT hr = receiver->ReceiveFrame(&frame, kWaitMs);
        if (hr == S_FALSE) continue;  // the unit sends nothing now (stopped, winding)
        if (hr == kTransportCancelled) break;
        if (FAILED(hr)) {
            PLATFORM_LOG(platform::log::kDv, Warning, "capture ended: %s", receiver->LastError().c_str());
            owner->NotifyEvent(EC_ERRORABORT, hr, 0);
            DeliverEndOfStream();
            break;
        }
        const Receiver::Counts counts = receiver->GetCounts();
        const uint64_t missed = counts.lostInResets + counts.incomplete + counts.overflowed;
        const bool gap = missed > missedSoFar;
        index += missed - missedSoFar;
        missedSoFar = missed;
        IMediaSample* sample = nullptr;
        if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0)) || sample == nullptr) break;  // decommitted
        BYTE* data = nullptr;
        LONG size = 0;
        if (SUCCEEDED(sample->GetPointer(&data)) && (size = sample->GetSize()) >= LONG(frame.size())) {
            std::memcpy(data, frame.data(), frame.size());
            sample->SetActualDataLength(LONG(frame.size()));
            const DvSystem* system = DvSystem::OfFrameBytes(frame.size());
            if (system == nullptr) system = &k525_60;
            REFERENCE_TIME start = FrameStart(*system, index), stop = FrameStart(*system, index + 1);
            sample->SetTime(&start, &stop);
            LONGLONG mediaStart = LONGLONG(index), mediaStop = LONGLONG(index + 1);
            sample->SetMediaTime(&mediaStart, &mediaStop);
            sample->SetSyncPoint(TRUE);
            sample->SetDiscontinuity(first || gap ? TRUE : FALSE);
            sample->SetPreroll(FALSE);
        }
        const HRESULT delivered = Deliver(sample);
        sample->Release();
        first = false;
        ++index;
        if (delivered == S_FALSE) {
            DeliverEndOfStream();  // downstream has all it wants
            break;
        }
        if (FAILED(delivered)) break;  // stopping, or downstream failed and said so itself
    }
}

}  // namespace dv
