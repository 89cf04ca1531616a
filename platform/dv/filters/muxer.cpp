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
DVINFO MakeDvInfo(const DvSystem& system, bool wide, dif::AudioMode mode) {
    DVINFO info{};
    info.dwDVAAuxSrc = PackWord(dif::AudioSourceOf(mode, system, 0, 0));
    info.dwDVAAuxCtl = PackWord(dif::AudioControlPack{});
    info.dwDVAAuxSrc1 = PackWord(dif::AudioSourceOf(mode, system, 0, 1));
    info.dwDVAAuxCtl1 = PackWord(dif::AudioControlPack{});
    dif::VideoSourcePack video;
    video.fiftyFields = system.fiftyFields;
    info.dwDVVAuxSrc = PackWord(video);
    dif::VideoControlPack control;
    control.display = wide ? dif::kDisplayWide : dif::kDisplayNormal;
    info.dwDVVAuxCtl = PackWord(control);
    return info;
}

// The frame a start (a BCD label, kNonDrop for 525/60's non-drop-frame counting) names in a
// system's counting, with kNonDrop kept: in 525/60 drop-frame a skipped label starts at frame 2
// of its second. Nothing for what is no label of the system.
std::optional<uint64_t> StartFrame(uint64_t start, uint64_t kNonDrop, const DvSystem& system) {
    const bool dropFrame = !system.fiftyFields && (start & kNonDrop) == 0;
    const std::optional<Timecode> label =
        Timecode::FromBcd(static_cast<uint32_t>(start), dropFrame, system.timecodeRate);
    if (!label) return std::nullopt;
    const std::optional<uint32_t> frame = label->FirstShown().Frame();
    if (!frame) return std::nullopt;
    return uint64_t{*frame} | (start & kNonDrop);
}

// The label of frame `frame` of a count that started at `start` (kNonDrop: non-drop-frame).
Timecode LabelOf(uint64_t start, uint64_t kNonDrop, int64_t frame, const DvSystem& system) {
    return Timecode::OfFrame(int64_t{static_cast<uint32_t>(start)} + frame, (start & kNonDrop) == 0,
                             system.timecodeRate);
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

Muxer::Muxer() : ComExtend(CLSID_DVMux, u"Stream 0", u"Output"), audio(this, &audioQueue, &audioMode) {
    AddPin(&audio);
}

HRESULT Muxer::MakeOutputType(const DvSystem& system, platform::MediaType* mt) {
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(DVINFO));
    if (format == nullptr) return E_OUTOFMEMORY;
    const DVINFO info = MakeDvInfo(system, wide.load(), audioMode.load());
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
    const std::optional<uint64_t> start = StartFrame(timecodeStart.load(), kNonDrop, System());
    if (!start) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Muxer: the start timecode is no label of %s", System().name);
        return E_INVALIDARG;
    }
    streamStart.store(*start);
    streamUserBits.store(userBits.load());
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
    const int rate = audioMode.load() == dif::AudioMode::FourChannel32k ? 32000 : 48000;
    const int samples = dif::AudioSamplesInFrame(current, frameNumber, rate);
    const uint64_t position = dif::AudioPositionOfFrame(current, frameNumber, rate);
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
    const bool dropFrame = !current.fiftyFields && (sample->dwFlags & AM_TIMECODE_FLAG_DF) != 0;
    const uint64_t start = uint64_t{sample->timecode.dwFrames} | (dropFrame ? 0 : kNonDrop);
    // A label drop-frame counting skips: the count starts where that second's labels do.
    if (!StartFrame(start, kNonDrop, current)) return E_INVALIDARG;
    const std::optional<Timecode> label = Timecode::FromBcd(sample->timecode.dwFrames, dropFrame, current.timecodeRate);
    if (!label) return E_INVALIDARG;
    timecodeStart.store(start);
    userBits.store(sample->dwUser);
    return label->Skipped() ? S_FALSE : S_OK;
}

HRESULT Muxer::GetTimecode(PTIMECODE_SAMPLE sample) {
    if (sample == nullptr) return E_POINTER;
    const DvSystem& current = System();
    const int64_t last = lastFrame.load();
    const uint64_t start =
        last < 0 ? StartFrame(timecodeStart.load(), kNonDrop, current).value_or(0) : streamStart.load();
    const uint64_t frame = last < 0 ? 0 : static_cast<uint64_t>(last);
    *sample = TIMECODE_SAMPLE{};
    sample->qwTick = static_cast<LONGLONG>(frame);
    const Timecode label = LabelOf(start, kNonDrop, static_cast<int64_t>(frame), current);
    sample->timecode.dwFrames = label.Bcd();
    sample->dwFlags = label.dropFrame ? AM_TIMECODE_FLAG_DF : 0;
    sample->dwUser = last < 0 ? userBits.load() : streamUserBits.load();
    return S_OK;
}

// ---- format -----------------------------------------------------------------------------------

HRESULT Muxer::SetAspect(LONG aspect) {
    if (aspect != DV_ASPECT_4_3 && aspect != DV_ASPECT_16_9) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (Output().IsConnected()) return VFW_E_ALREADY_CONNECTED;
    wide.store(aspect == DV_ASPECT_16_9);
    return S_OK;
}

HRESULT Muxer::GetAspect(LONG* aspect) {
    if (aspect == nullptr) return E_POINTER;
    *aspect = wide.load() ? DV_ASPECT_16_9 : DV_ASPECT_4_3;
    return S_OK;
}

HRESULT Muxer::SetAudioMode(LONG mode) {
    if (mode != DV_AUDIO_48K_2CH && mode != DV_AUDIO_32K_4CH) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (Output().IsConnected() || audio.IsConnected()) return VFW_E_ALREADY_CONNECTED;
    audioMode.store(mode == DV_AUDIO_32K_4CH ? dif::AudioMode::FourChannel32k : dif::AudioMode::Stereo48k);
    return S_OK;
}

HRESULT Muxer::GetAudioMode(LONG* mode) {
    if (mode == nullptr) return E_POINTER;
    *mode = audioMode.load() == dif::AudioMode::FourChannel32k ? DV_AUDIO_32K_4CH : DV_AUDIO_48K_2CH;
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
    data.timecode = LabelOf(streamStart.load(), kNonDrop, static_cast<int64_t>(frameNumber), current);
    data.hasRecordingTime = RecordingTimeOf(frameNumber, &data.recorded);
    data.userBits = streamUserBits.load();
    data.hasUserBits = data.userBits != 0;
    data.wide = wide.load();
    data.audio = audioMode.load();
    dif::WriteSystemData(frame, data);
    if (!audio.IsActive()) return S_OK;
    TakeAudio();
    if (data.audio == dif::AudioMode::FourChannel32k) {
        // The pair on channels 1 and 2; 3 and 4 stay silent.
        const int samples = dif::AudioSamplesInFrame32k(current, frameNumber);
        for (int n = 0; n < samples; ++n) {
            fourChannels[4 * n] = audioFrame[2 * n];
            fourChannels[4 * n + 1] = audioFrame[2 * n + 1];
            fourChannels[4 * n + 2] = 0;
            fourChannels[4 * n + 3] = 0;
        }
        ShuffleAudio12(frame, fourChannels.data(), samples, current);
    } else {
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
