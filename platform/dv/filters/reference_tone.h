// "Reference Tone": the platform's line-up tone source (see IReferenceTone in
// <platform/platform.h>). Its output pin "Output" gives 48 kHz (or, set so, 32 kHz) 16-bit stereo
// PCM, one sample per DV frame of the system set (SetStandard): in 525/60 1600, 1602, 1602, 1602,
// 1602 sample frames, repeating (8008 in five frames; at 32 kHz 16016 in fifteen), stamped with
// that frame's times (frame k from k * 1001/30000 s, rounded to 100 ns); in 625/50 1920 (1280 at
// 32 kHz) each, frame k from k * 40 ms; and with
// media times counting sample frames. Both channels carry a 1 kHz sine whose phase runs on from
// sample frame to sample frame (48 or 32 of them a period), or silence.
//
// A source of the kit (filterkit::KitSourceFilter): its worker delivers a frame's samples as fast
// as downstream takes them (the muxer's audio queue holds it at the video's pace).
//
// Given a leader (ILeaderSound), each frame's sound is the leader plan's for that frame: the tone,
// a blip (one frame of 1 kHz starting on the cycle's zero crossing) or silence; and the frames are
// the leader's system's (1920 sample frames each at 48 kHz in 625/50, stamped at 25 a second).
//
// Threads: level and silent are atomics, read by the worker for each sample; rate changes only
// while stopped and unconnected, under filterLock, the standard (an atomic) and the leader only
// while stopped, under
// filterLock (the worker reads it without a lock: it runs only while not stopped); cycle and
// position are the worker's alone.
#pragma once

#include <platform/platform.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "dv/filters/leader_plan.h"

#include "filterkit/kit_source_filter.h"
#include "filterkit/kit_output_pin.h"

namespace dv {

class ReferenceTone;

class ReferenceToneOutputPin final : public filterkit::KitOutputPin {
public:
    // The largest frame's samples: 1920 sample frames of a 625/50 leader at 48 kHz.
    static constexpr LONG kMaxSampleBytes = 1920 * 4;

    explicit ReferenceToneOutputPin(ReferenceTone* owner);

    // Fills mt with the one output type (PCM, WAVEFORMATEX: 2 channels, 48000 or `rate`, 16 bits).
    static HRESULT MakeType(platform::MediaType* mt, int rate = 48000);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, platform::MediaType* mt) override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    ReferenceTone* const tone;  // the filter; owns the pin
};

class ReferenceTone final
    : public platform::ComExtend<filterkit::KitSourceFilter,
                                 platform::Implements<IReferenceTone, IID_IReferenceTone>,
                                 platform::Implements<ILeaderSound, IID_ILeaderSound>> {
public:
    ReferenceTone();
    ~ReferenceTone() override;

    ReferenceToneOutputPin& Output() { return output; }

    // IReferenceTone
    HRESULT STDMETHODCALLTYPE SetLevel(double dBFS) override;
    HRESULT STDMETHODCALLTYPE GetLevel(double* dBFS) override;
    HRESULT STDMETHODCALLTYPE SetSilent(BOOL silent) override;
    HRESULT STDMETHODCALLTYPE GetSilent(BOOL* silent) override;
    HRESULT STDMETHODCALLTYPE SetSampleRate(LONG samplesPerSecond) override;
    HRESULT STDMETHODCALLTYPE GetSampleRate(LONG* samplesPerSecond) override;
    HRESULT STDMETHODCALLTYPE SetStandard(LONG standard) override;
    HRESULT STDMETHODCALLTYPE GetStandard(LONG* standard) override;
    int Rate() const { return rate.load(); }

    // ILeaderSound
    HRESULT STDMETHODCALLTYPE SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place,
                                        BOOL tone) override;

    // One 1 kHz cycle at 48 kHz (48 sample frames) or 32 kHz (32) peaking at `peak` (0: silence).
    struct Cycle {
        double peak = -1;
        int period = 48;
        int16_t value[48] = {};
    };
    static void MakeCycle(double peak, Cycle* cycle, int rate = 48000);
    // Fills `frames` interleaved stereo sample frames starting at stream position `position`
    // from the cycle. Any thread.
    static void FillTone(int16_t* out, uint64_t position, int frames, const Cycle& cycle);
    // The sine's peak for a level in dBFS (see IReferenceTone).
    static double PeakOf(double dBFS);

protected:
    filterkit::KitOutputPin& SourcePin() override { return output; }
    void OnStreamStart() override;
    // One frame's samples (1600 or 1602 by the frame's place in the five-frame sequence).
    HRESULT FillSample(IMediaSample* sample, uint64_t frame) override;

private:
    ReferenceToneOutputPin output;
    std::atomic<double> level{REFERENCE_TONE_DEFAULT_LEVEL};
    std::atomic<bool> silent{false};
    std::atomic<int> rate{48000};
    std::atomic<LONG> standard{REFERENCE_BARS_525_60};  // changes only while stopped
    std::optional<LeaderPlan> leader;  // filterLock to write, only while stopped
    // The worker's own (see KitSourceFilter).
    Cycle cycle;
    uint64_t position = 0;  // sample frames delivered
};

}  // namespace dv
