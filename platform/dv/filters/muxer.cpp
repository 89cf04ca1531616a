#include "dv/filters/muxer.h"

#include <sys/time.h>
#include <time.h>

#include <cstring>
#include <new>

#include "dv/dif/packs.h"
#include "dv/dif/timecode.h"
#include "dv/dif/audio_shuffle.h"
#include "dv/filters/dv_classes.h"
#include "support/log.h"

namespace dv {

namespace {

// A pack's four bytes after its number, as a DVINFO word holds them (PC1 lowest).
template <typename Pack>
DWORD PackWord(const Pack& fields) {
    uint8_t pack[dif::kPackBytes];
    dif::WritePack(pack, fields);
    return DWORD{pack[1]} | DWORD{pack[2]} << 8 | DWORD{pack[3]} << 16 | DWORD{pack[4]} << 24;
}

// The packs every frame carries, for the FORMAT_DvInfo block of the interleaved stream.
DVINFO MakeDvInfo(const DvSystem& system) {
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

// The frame a start label (BCD) names in a system's counting: drop-frame in 525/60, where a
// skipped label starts at frame 2 of its second; nothing for what is no label of the system.
std::optional<uint32_t> StartFrame(uint32_t bcd, const DvSystem& system) {
    const std::optional<Timecode> label = Timecode::FromBcd(bcd, !system.fiftyFields, system.timecodeRate);
    if (!label) return std::nullopt;
    return label->FirstShown().Frame();
}

}  // namespace

// ---- types ------------------------------------------------------------------------------------

HRESULT Muxer::CheckInputType(const AM_MEDIA_TYPE* mt) {
    if (mt->majortype != MEDIATYPE_Video || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;
    const BITMAPINFOHEADER& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader;
    const DvSystem* videoSystem = DvSystem::OfPicture(bmi.biWidth, bmi.biHeight);
    if (videoSystem == nullptr) return E_INVALIDARG;
    if (Output().IsConnected() && videoSystem != &System()) return E_INVALIDARG;
    return S_OK;
}

HRESULT Muxer::InputConnected(const platform::MediaType& type) {
    const BITMAPINFOHEADER& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(type.get()->pbFormat)->bmiHeader;
    system.store(DvSystem::OfPicture(bmi.biWidth, bmi.biHeight));
    return S_OK;
}

HRESULT Muxer::CheckOutputType(const AM_MEDIA_TYPE* mt) {
    if (mt->majortype != MEDIATYPE_Interleaved || mt->subtype != MEDIASUBTYPE_dvsd ||
        mt->formattype != FORMAT_DvInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (mt->pbFormat == nullptr || mt->cbFormat < sizeof(DVINFO)) return E_INVALIDARG;
    return S_OK;
}

// ---- filter -----------------------------------------------------------------------------------

Muxer::Muxer() : ComExtend(CLSID_DVMux, u"Stream 0", u"Output"), audio(this, &audioQueue) {
    AddPin(&audio);
}

HRESULT Muxer::MakeOutputType(const DvSystem& system, platform::MediaType* mt) {
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(DVINFO));
    if (format == nullptr) return E_OUTOFMEMORY;
    const DVINFO info = MakeDvInfo(system);
    std::memcpy(format, &info, sizeof(info));
    filterkit::SetFrameType(mt, MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd, FORMAT_DvInfo, system.frameBytes);
    return S_OK;
}

HRESULT Muxer::OnActivate() {
    frameNumber = 0;
    audioStarving = false;
    recordedSecond = -1;
    silencedSamples.store(0);
    lastFrame.store(-1);
    recordingStartUs.store(-1);
    const std::optional<uint32_t> start = StartFrame(timecodeStart.load(), System());
    if (!start) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: the start timecode is no label of %s", System().name);
        return E_INVALIDARG;
    }
    streamStart.store(*start);
    return S_OK;
}

void Muxer::OnStop() { frameNumber = 0; }

HRESULT Muxer::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    const HRESULT hr = ComExtend::Run(start);
    if (SUCCEEDED(hr)) StartRecordingClock();
    return hr;
}

void Muxer::StartRecordingClock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    int64_t unset = -1;
    recordingStartUs.compare_exchange_strong(unset, int64_t{now.tv_sec} * 1000000 + now.tv_usec);
}

bool Muxer::RecordingTimeOf(uint64_t frame, dif::RecordingTime* out) {
    const int64_t startUs = recordingStartUs.load();
    if (startUs < 0) return false;
    // frame * the frame's period, in microseconds, exactly for any stream a tape can hold.
    const DvSystem& current = System();
    const int64_t offsetUs =
        static_cast<int64_t>(frame % (uint64_t{1} << 40)) * current.periodNum / (current.periodDen * 10);
    const int64_t second = (startUs + offsetUs) / 1000000;
    if (second != recordedSecond) {
        const time_t seconds = static_cast<time_t>(second);
        tm local{};
        if (localtime_r(&seconds, &local) == nullptr) return false;
        recordedTime = dif::RecordingTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                          local.tm_hour, local.tm_min, local.tm_sec};
        recordedSecond = second;
    }
    *out = recordedTime;
    return true;
}

// ---- audio ------------------------------------------------------------------------------------

void Muxer::TakeAudio() {
    const DvSystem& current = System();
    const int samples = dif::AudioSamplesInFrame(current, frameNumber);
    const uint64_t position = dif::AudioSamplesBefore(current, frameNumber);
    const std::chrono::milliseconds wait(audioStarving ? 0 : kAudioWaitMs);
    const size_t present = audioQueue.Take(position, audioFrame.data(), static_cast<size_t>(samples), wait);
    const size_t missing = static_cast<size_t>(samples) - present;
    if (missing == 0) {
        if (audioStarving) PLATFORM_LOG(platform::log::kDv, Info, "DV Muxer: the audio caught up at frame %llu",
                                        static_cast<unsigned long long>(frameNumber));
        audioStarving = false;
        return;
    }
    silencedSamples.fetch_add(missing);
    if (!audioStarving)
        PLATFORM_LOG(platform::log::kDv, Warning, "DV Muxer: %zu audio samples of frame %llu did not come; silence instead",
                     missing, static_cast<unsigned long long>(frameNumber));
    audioStarving = true;
}

// ---- timecode ---------------------------------------------------------------------------------

HRESULT Muxer::GetTCGMode(LONG /*param*/, LONG* value) {
    if (value == nullptr) return E_POINTER;
    return E_NOTIMPL;
}

HRESULT Muxer::SetTCGMode(LONG /*param*/, LONG /*value*/) { return E_NOTIMPL; }

HRESULT Muxer::put_VITCLine(LONG /*line*/) { return E_NOTIMPL; }

HRESULT Muxer::get_VITCLine(LONG* line) {
    if (line == nullptr) return E_POINTER;
    return E_NOTIMPL;
}

HRESULT Muxer::SetTimecode(PTIMECODE_SAMPLE sample) {
    if (sample == nullptr) return E_POINTER;
    const DvSystem& current = System();
    const uint32_t bcd = sample->timecode.dwFrames;
    // A label drop-frame counting skips: the count starts where that second's labels do.
    if (!StartFrame(bcd, current)) return E_INVALIDARG;
    timecodeStart.store(bcd);
    const std::optional<Timecode> label = Timecode::FromBcd(bcd, !current.fiftyFields, current.timecodeRate);
    return label->Skipped() ? S_FALSE : S_OK;
}

HRESULT Muxer::GetTimecode(PTIMECODE_SAMPLE sample) {
    if (sample == nullptr) return E_POINTER;
    const DvSystem& current = System();
    const int64_t last = lastFrame.load();
    const uint32_t start = last < 0 ? StartFrame(timecodeStart.load(), current).value_or(0) : streamStart.load();
    const uint64_t frame = last < 0 ? 0 : static_cast<uint64_t>(last);
    *sample = TIMECODE_SAMPLE{};
    sample->qwTick = static_cast<LONGLONG>(frame);
    sample->timecode.dwFrames =
        Timecode::OfFrame(int64_t{start} + static_cast<int64_t>(frame), true, current.timecodeRate).Bcd();
    sample->dwFlags = current.fiftyFields ? 0 : AM_TIMECODE_FLAG_DF;
    return S_OK;
}

// ---- frames -----------------------------------------------------------------------------------

HRESULT Muxer::PrepareInput(IMediaSample* sample, const BYTE** video) {
    const BYTE* data = nullptr;
    const DvSystem& current = System();
    const HRESULT hr = SampleData(sample, current.frameBytes, "frame", &data);
    if (FAILED(hr)) return hr;  // SampleData said why
    if (!dif::IsDifFrame(data, current)) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: a sample that is no %s DV frame", current.name);
        return E_INVALIDARG;
    }
    *video = data;
    return S_OK;
}

HRESULT Muxer::Transform(IMediaSample* /*in*/, const BYTE* video, BYTE* frame, IMediaSample* /*out*/) {
    const DvSystem& current = System();
    std::memcpy(frame, video, size_t(current.frameBytes));
    if (frameNumber == 0) StartRecordingClock();
    dif::SystemData data;
    data.system = &current;
    data.frameNumber = frameNumber;
    data.timecode = Timecode::OfFrame(int64_t{streamStart.load()} + static_cast<int64_t>(frameNumber), true,
                                      current.timecodeRate);
    data.hasRecordingTime = RecordingTimeOf(frameNumber, &data.recorded);
    dif::WriteSystemData(frame, data);
    if (audio.IsActive()) {
        TakeAudio();
        ShuffleAudio(frame, audioFrame.data(), dif::AudioSamplesInFrame(current, frameNumber), current);
    }
    return S_OK;
}

void Muxer::OnDelivered() {
    lastFrame.store(static_cast<int64_t>(frameNumber));
    ++frameNumber;
}

HRESULT CreateMuxer(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<Muxer>(outer, iid, out);
}

}  // namespace dv
