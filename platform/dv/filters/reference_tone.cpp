#include "dv/filters/reference_tone.h"

#include <cmath>
#include <cstring>

#include "dv/dif/dif_layout.h"
#include "dv/filters/dv_classes.h"
#include "support/log.h"
#include "dv/dv_system.h"

namespace dv {

namespace {

constexpr int kRate = 48000;
constexpr int kPeriod = kRate / 1000;  // sample frames of one 1 kHz cycle
constexpr double kFullScale = 32767.0;

REFERENCE_TIME FrameStart(uint64_t k) {
    return static_cast<REFERENCE_TIME>((k * k525_60.periodNum + k525_60.periodDen / 2) /
                                       k525_60.periodDen);
}

}  // namespace

// ---- pin --------------------------------------------------------------------------------------

ReferenceToneOutputPin::ReferenceToneOutputPin(ReferenceTone* owner)
    : KitOutputPin(owner, u"Output") {}

HRESULT ReferenceToneOutputPin::MakeType(platform::MediaType* mt) {
    mt->Clear();
    BYTE* format = mt->AllocFormat(sizeof(WAVEFORMATEX));
    if (format == nullptr) return E_OUTOFMEMORY;
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = kRate;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = kRate * 4;
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
    hr = MakeType(&ours);
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
    return MakeType(mt);
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

double ReferenceTone::PeakOf(double dBFS) { return kFullScale * std::pow(10.0, dBFS / 20.0); }

void ReferenceTone::MakeCycle(double peak, Cycle* cycle) {
    cycle->peak = peak;
    for (int i = 0; i < kPeriod; ++i)
        cycle->value[i] = static_cast<int16_t>(std::lround(peak * std::sin(2.0 * M_PI * i / kPeriod)));
}

void ReferenceTone::FillTone(int16_t* out, uint64_t position, int frames, const Cycle& cycle) {
    // 1 kHz at 48 kHz repeats every 48 sample frames exactly: the cycle, indexed by position.
    int phase = static_cast<int>(position % kPeriod);
    for (int n = 0; n < frames; ++n) {
        out[2 * n] = cycle.value[phase];
        out[2 * n + 1] = cycle.value[phase];
        if (++phase == kPeriod) phase = 0;
    }
}

void ReferenceTone::OnStreamStart() {
    cycle = Cycle();
    position = 0;
}

HRESULT ReferenceTone::FillSample(IMediaSample* sample, uint64_t frame) {
    const int frames = dif::AudioSamplesInFrame(frame);
    BYTE* data = nullptr;
    const HRESULT hr = BufferOf(sample, frames * 4, &data);
    if (FAILED(hr)) return hr;
    const double peak = silent.load() ? 0.0 : PeakOf(level.load());
    if (peak != cycle.peak) MakeCycle(peak, &cycle);
    FillTone(reinterpret_cast<int16_t*>(data), position, frames, cycle);
    const LONGLONG mediaStart = static_cast<LONGLONG>(position);
    position += static_cast<uint64_t>(frames);
    return Stamp(sample, FrameStart(frame), FrameStart(frame + 1), mediaStart, static_cast<LONGLONG>(position),
                 frames * 4, frame == 0);
}

HRESULT CreateReferenceTone(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<ReferenceTone>(outer, iid, out);
}

}  // namespace dv
