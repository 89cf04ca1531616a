// "DV Muxer"'s audio input pin "Stream 1": 16-bit stereo PCM (MEDIATYPE_Audio /
// MEDIASUBTYPE_PCM / FORMAT_WaveFormatEx) at the rate of the muxer's audio mode (48 or 32 kHz),
// the locked audio DV25 carries. Samples of any length
// go into the muxer's AudioQueue; Receive waits there while the queue is full, so a source that
// runs ahead is held at the pace of the video.
//
// Threads and locks: KitInputPin's. Receive and EndOfStream run on the audio upstream's
// streaming thread; Activate/Deactivate under filterLock; `active` is read by the video path.
#pragma once

#include <atomic>

#include "dv/dif/system_data.h"
#include "dv/filters/audio_queue.h"
#include "filterkit/kit_input_pin.h"

namespace dv {

class MuxerAudioPin final : public filterkit::KitInputPin {
public:
    static constexpr WORD kChannels = 2;
    static constexpr WORD kBits = 16;

    MuxerAudioPin(filterkit::KitFilter* filter, AudioQueue* queue, const std::atomic<dif::AudioMode>* mode);

    // VFW_E_TYPE_NOT_ACCEPTED for anything but PCM of the shape above; E_INVALIDARG for a format
    // block shorter than the 16 bytes every wave format starts with.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;

    HRESULT Activate() override;
    HRESULT Deactivate() override;

    // True while connected and streaming: the video path takes its samples from the queue.
    bool IsActive() const { return active.load(); }

protected:
    // E_INVALIDARG for a sample that is not whole sample frames.
    HRESULT OnReceive(IMediaSample* sample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnEndFlush() override;
    void UnblockReceive() override;

private:
    AudioQueue* const queue;  // the muxer's; outlives the pin
    const std::atomic<dif::AudioMode>* const mode;  // the muxer's; changes only while unconnected
    std::atomic<bool> active{false};
};

}  // namespace dv
