#include "dv/filters/muxer_audio_pin.h"

namespace dv {

MuxerAudioPin::MuxerAudioPin(filterkit::KitFilter* filter, AudioQueue* queue,
                             const std::atomic<dif::AudioMode>* mode)
    : KitInputPin(filter, u"Stream 1"), queue(queue), mode(mode) {}

HRESULT MuxerAudioPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    WAVEFORMATEX wave{};
    const HRESULT hr = filterkit::ReadPcmFormat(mt, &wave);
    if (hr != S_OK) return hr;
    const DWORD rate = mode->load() == dif::AudioMode::FourChannel32k ? 32000 : 48000;
    if (wave.wFormatTag != WAVE_FORMAT_PCM || wave.nChannels != kChannels || wave.nSamplesPerSec != rate || wave.wBitsPerSample != kBits ||
        wave.nBlockAlign != kChannels * kBits / 8)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT MuxerAudioPin::Activate() {
    queue->Open();
    const HRESULT hr = KitInputPin::Activate();
    active.store(SUCCEEDED(hr));
    return hr;
}

HRESULT MuxerAudioPin::Deactivate() {
    active.store(false);
    return KitInputPin::Deactivate();  // closes the queue (UnblockReceive)
}

HRESULT MuxerAudioPin::OnReceive(IMediaSample* sample) {
    BYTE* data = nullptr;
    const HRESULT hr = sample->GetPointer(&data);
    if (FAILED(hr)) return hr;
    const LONG length = sample->GetActualDataLength();
    constexpr LONG kFrameBytes = kChannels * kBits / 8;
    if (length < 0 || length % kFrameBytes != 0 || (length > 0 && data == nullptr)) return E_INVALIDARG;
    if (length == 0) return S_OK;
    // Closed: the pin is stopping or flushing; the samples are not wanted.
    if (!queue->Push(reinterpret_cast<const int16_t*>(data), static_cast<size_t>(length / kFrameBytes)))
        return IsStopped() ? VFW_E_WRONG_STATE : S_FALSE;
    return S_OK;
}

HRESULT MuxerAudioPin::OnEndOfStream() {
    queue->EndOfStream();
    return S_OK;
}

HRESULT MuxerAudioPin::OnEndFlush() {
    queue->Resume();
    return S_OK;
}

void MuxerAudioPin::UnblockReceive() { queue->Close(); }

}  // namespace dv
