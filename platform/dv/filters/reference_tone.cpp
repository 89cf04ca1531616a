#include "dv/filters/reference_tone.h"

#include <cmath>
#include <cstring>

#include "dv/dif/dif_layout.h"
#include "dv/filters/dv_classes.h"
#include "support/log.h"
#include "dv/dv_system.h"

namespace dv {

namespace {

constexpr double kFullScale = 32767.0;

REFERENCE_TIME FrameStart(const DvSystem& system, uint64_t k) {
    return static_cast<REFERENCE_TIME>((k * uint64_t(system.periodNum) + uint64_t(system.periodDen) / 2) /
                                       uint64_t(system.periodDen));
}

}  // namespace

// ---- pin --------------------------------------------------------------------------------------

ReferenceToneOutputPin::ReferenceToneOutputPin(ReferenceTone* owner)
    : KitOutputPin(owner, u"Output"), tone(owner) {}

HRESULT ReferenceToneOutputPin::MakeType(platform::MediaType* mt, int rate) {
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(WAVEFORMATEX));
    if (format == nullptr) return E_OUTOFMEMORY;
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = static_cast<DWORD>(rate);
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = static_cast<DWORD>(rate) * 4;
    wave.cbSize = 0;
    std::memcpy(format, &wave, sizeof(wave));
    filterkit::SetFrameType(mt, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 4);
    return S_OK;
}

HRESULT ReferenceToneOutputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    WAVEFORMATEX wave{};
    HRESULT hr = filterkit::ReadPcmFormat(mt, &wave);
    if (hr != S_OK) return hr;
    platform::MediaType ours;
    hr = MakeType(&ours, tone->Rate());
    if (FAILED(hr)) return hr;
    // Only our own shape: the fields up to wBitsPerSample must match.
    return std::memcmp(mt->pbFormat, ours->pbFormat, offsetof(WAVEFORMATEX, cbSize)) == 0
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT ReferenceToneOutputPin::GetMediaType(int position, platform::MediaType* mt) {
    if (mt == nullptr) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return MakeType(mt, tone->Rate());
}

HRESULT ReferenceToneOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    if (props->cBuffers < 2) props->cBuffers = 2;  // one filled while the other is taken
    return SizeForFrames(allocator, props, kMaxSampleBytes);
}

// ---- filter -----------------------------------------------------------------------------------

ReferenceTone::ReferenceTone() : ComExtend(CLSID_ReferenceTone, platform::log::kDv, "Reference Tone"), output(this) { AddPin(&output); }

ReferenceTone::~ReferenceTone() {
    // The graph stops a filter before letting it go; a filter dropped while running stops here.
    Stop();
}

HRESULT ReferenceTone::SetLevel(double dBFS) {
    if (!(dBFS <= 0.0 && dBFS >= REFERENCE_TONE_MIN_LEVEL)) return E_INVALIDARG;  // NaN too
    level.store(dBFS);
    return S_OK;
}

HRESULT ReferenceTone::GetLevel(double* dBFS) {
    if (dBFS == nullptr) return E_POINTER;
    *dBFS = level.load();
    return S_OK;
}

HRESULT ReferenceTone::SetSilent(BOOL value) {
    silent.store(value != FALSE);
    return S_OK;
}

HRESULT ReferenceTone::GetSilent(BOOL* value) {
    if (value == nullptr) return E_POINTER;
    *value = silent.load() ? TRUE : FALSE;
    return S_OK;
}

HRESULT ReferenceTone::SetSampleRate(LONG value) {
    if (value != 48000 && value != 32000) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (output.IsConnected()) return VFW_E_ALREADY_CONNECTED;
    rate.store(static_cast<int>(value));
    return S_OK;
}

HRESULT ReferenceTone::GetSampleRate(LONG* value) {
    if (value == nullptr) return E_POINTER;
    *value = rate.load();
    return S_OK;
}

HRESULT ReferenceTone::SetStandard(LONG value) {
    if (value != REFERENCE_BARS_525_60 && value != REFERENCE_BARS_625_50) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    standard.store(value);
    return S_OK;
}

HRESULT ReferenceTone::GetStandard(LONG* value) {
    if (value == nullptr) return E_POINTER;
    *value = standard.load();
    return S_OK;
}

HRESULT ReferenceTone::SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place, BOOL tone) {
    if (place == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    std::string why;
    std::optional<LeaderPlan> made = LeaderPlan::Make(segments, count, *place, tone != FALSE, &why);
    if (!made) {
        PLATFORM_LOG(platform::log::kDv, Error, "Reference Tone: %s", why.c_str());
        return E_INVALIDARG;
    }
    leader = std::move(made);
    return S_OK;
}

double ReferenceTone::PeakOf(double dBFS) { return kFullScale * std::pow(10.0, dBFS / 20.0); }

void ReferenceTone::MakeCycle(double peak, Cycle* cycle, int rate) {
    cycle->peak = peak;
    cycle->period = rate / 1000;
    for (int i = 0; i < cycle->period; ++i)
        cycle->value[i] = static_cast<int16_t>(std::lround(peak * std::sin(2.0 * M_PI * i / cycle->period)));
}

void ReferenceTone::FillTone(int16_t* out, uint64_t position, int frames, const Cycle& cycle) {
    // 1 kHz at 48 or 32 kHz repeats every 48 or 32 sample frames exactly: the cycle, indexed by
    // position.
    const int period = cycle.period;
    int phase = static_cast<int>(position % static_cast<uint64_t>(period));
    for (int n = 0; n < frames; ++n) {
        out[2 * n] = cycle.value[phase];
        out[2 * n + 1] = cycle.value[phase];
        if (++phase == period) phase = 0;
    }
}

void ReferenceTone::OnStreamStart() {
    cycle = Cycle();
    position = 0;
}

HRESULT ReferenceTone::FillSample(IMediaSample* sample, uint64_t frame) {
    const int sampleRate = rate.load();
    // A leader's frames are its system's; otherwise the one set.
    const LONG of = leader ? leader->Standard() : standard.load();
    const DvSystem& system = DvSystem::Of(of == REFERENCE_BARS_625_50 ? DvStandard::Pal625_50 : DvStandard::Ntsc525_60);
    const int frames = dif::AudioSamplesInFrame(system, frame, sampleRate);
    BYTE* data = nullptr;
    const HRESULT hr = BufferOf(sample, frames * 4, &data);
    if (FAILED(hr)) return hr;
    const LeaderPlan::Moment moment = leader ? leader->At(frame) : LeaderPlan::Moment{};
    const bool sounds = !leader || moment.tone || moment.blip;
    const double peak = silent.load() || !sounds ? 0.0 : PeakOf(level.load());
    if (peak != cycle.peak || cycle.period != sampleRate / 1000) MakeCycle(peak, &cycle, sampleRate);
    // A blip begins on the sine's zero crossing, so that it starts without a click.
    FillTone(reinterpret_cast<int16_t*>(data), moment.blip ? 0 : position, frames, cycle);
    const LONGLONG mediaStart = static_cast<LONGLONG>(position);
    position += static_cast<uint64_t>(frames);
    return Stamp(sample, FrameStart(system, frame), FrameStart(system, frame + 1), mediaStart, static_cast<LONGLONG>(position),
                 frames * 4, frame == 0);
}

HRESULT CreateReferenceTone(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<ReferenceTone>(outer, iid, out);
}

}  // namespace dv
