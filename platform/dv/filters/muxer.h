// "DV Muxer": DV25 video frames in on "Stream 0" (MEDIATYPE_Video / MEDIASUBTYPE_dvsd), optional
// 16-bit stereo PCM of the audio mode's rate in on "Stream 1" (MuxerAudioPin), complete
// interleaved DIF frames out on "Output" (MEDIATYPE_Interleaved / MEDIASUBTYPE_dvsd,
// FORMAT_DvInfo), in the system of the video's size: 720x480 gives 525/60 (NTSC) frames of 120000
// bytes, 720x576 625/50 (PAL) frames of 144000 bytes.
//
// Each frame carries:
// - locked audio in the mode set with IDVAudioMode: 48 kHz 16-bit stereo, or 32 kHz 12-bit on
//   four channels ("Stream 1" on channels 1 and 2, silence on 3 and 4). Frame n of the stream
//   takes exactly the samples at positions [n's first, + its count) of the audio stream,
//   whatever the audio samples' sizes: at 48 kHz in 525/60 1600 or 1602 (the five-frame
//   pattern), in 625/50 1920; at 32 kHz 1067 or 1068 in fifteen frames, or 1280. Without a
//   connected audio pin the audio is silence. A connected source
//   that falls behind is waited for up to kAudioWaitMs once; what is still missing then is
//   silence (counted by SilencedSamples) and frames are not waited for again until the audio has
//   caught up, so a stalled source never stalls the video for more than that once. Late samples
//   are dropped, so audio and video stay paired by position.
// - timecode counting the frames handed on from the start set with
//   IAMTimecodeGenerator::SetTimecode (default 00:00:00;00), without gaps whatever the sample
//   times (they pass through): drop-frame or not in 525/60 as set, 25 frames a second in 625/50;
//   the user bits set there in the binary group pack.
// - the aspect set with IDVAspect in the VAUX source control pack.
// - the recording date and time packs (VAUX, AAUX, subcode): local time when the graph first ran
//   this stream (or of its first frame, if that came first), advancing with the frames.
// Quality messages arriving on the output pin go to the video upstream pin.
//
// Threads and locks: the base classes' (filterkit/kit_filter.h). Transform runs on the video
// upstream's streaming thread under "Stream 0"'s receive lock and owns frameNumber, audioStarving,
// audioFrame and the recorded* cache; OnActivate and OnStop reset them under filterLock while no
// Receive runs. The audio pin feeds audioQueue on its own upstream's thread (audio_queue.h).
// timecodeStart and userBits are set by any thread (atomics) and read when a stream starts; wide and
// audioMode are set under filterLock while stopped and read by the streaming thread; the other
// atomics are written by the streaming thread or under filterLock and read by anyone. `system`
// follows the video input's connection (under filterLock).
#pragma once

#include <platform/platform.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "dv/filters/audio_queue.h"
#include "filterkit/kit_transform_filter.h"
#include "dv/dif/dif_layout.h"
#include "dv/dif/system_data.h"
#include "dv/filters/muxer_audio_pin.h"

namespace dv {

class Muxer final : public platform::ComExtend<
                        filterkit::KitTransformFilter<Muxer>,
                        platform::Implements<IAMTimecodeGenerator, IID_IAMTimecodeGenerator>,
                        platform::Implements<IDVAspect, IID_IDVAspect>,
                        platform::Implements<IDVAudioMode, IID_IDVAudioMode>> {
public:
    static constexpr LONG kFrameBytes = dif::kFrameBytes;  // 525/60's
    // The longest one frame waits for audio that has not come.
    static constexpr int kAudioWaitMs = 500;
    // Audio the queue holds: twenty frames, two thirds of a second. A source that fills it wakes
    // again when half of it was taken, once every ten frames.
    static constexpr size_t kAudioQueueFrames = 4 * 8008;
    static constexpr const char* kFilterName = "DV Muxer";  // in the log
    static constexpr const platform::log::Category& kLogCategory = platform::log::kDv;

    Muxer();

    // Fills mt with the one output type of a system (interleaved dvsd with a DVINFO block of the
    // packs the system, the aspect and the audio mode make).
    HRESULT MakeOutputType(const DvSystem& system, platform::MediaType* mt);
    // The output type of the video input's system (525/60's while it is unconnected).
    HRESULT MakeOutputType(platform::MediaType* mt) { return MakeOutputType(System(), mt); }
    HRESULT OfferedOutputType(platform::MediaType* mt) { return MakeOutputType(System(), mt); }
    LONG FrameBytes() const { return System().frameBytes; }
    const DvSystem& System() const { return *system.load(); }

    // Input: MEDIATYPE_Video / MEDIASUBTYPE_dvsd in FORMAT_VideoInfo with at least a
    // VIDEOINFOHEADER, 720x480 or 720x576 (while the output is connected, only its system's).
    // VFW_E_TYPE_NOT_ACCEPTED for another kind, E_INVALIDARG for a bad format block.
    HRESULT CheckInputType(const AM_MEDIA_TYPE* mt);
    // Output: interleaved dvsd with a whole DVINFO block.
    HRESULT CheckOutputType(const AM_MEDIA_TYPE* mt);

    MuxerAudioPin& Audio() { return audio; }
    // Sample frames of the connected audio pin's stream that were missing when their frame was
    // made and went out as silence, since the stream started. Any thread.
    uint64_t SilencedSamples() const { return silencedSamples.load(); }
    // Sample frames waiting in the audio queue. Any thread.
    size_t QueuedAudioSamples() { return audioQueue.Queued(); }

    // IMediaFilter: the first Run of a stream fixes its recording time.
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;

    // IAMTimecodeGenerator. SetTimecode takes the start label in timecode.dwFrames (BCD
    // 0xhhmmssff; qwTick and the frame-rate fields are ignored), its counting in dwFlags
    // (AM_TIMECODE_FLAG_DF: drop-frame, else non-drop-frame) and the user bits in dwUser (the
    // eight binary groups, group 1 in the lowest four bits; 0: none, no binary group pack), and
    // applies them from the next stream on. In 525/60 the tape's timecode counts 29.97 frames a
    // second either way; a drop-frame label that drop-frame counting skips (frames 0 and 1 of a
    // minute not divisible by ten, such as 00:58:00;00) starts the count at frame 2 of that
    // second, with S_FALSE. In 625/50 it counts 25 frames a second, never drop-frame (the flag is
    // ignored). E_INVALIDARG for what is no label of the video input's system (past 23:59:59;29,
    // frames past 24 in 625/50, or not BCD); a stream that starts in a system whose labels do not
    // hold the label set before its input connected fails to start with E_INVALIDARG. GetTimecode
    // gives the label of the frame handed on last, or the start while no frame went out, with
    // qwTick that frame's number in the stream, AM_TIMECODE_FLAG_DF only for drop-frame and
    // dwUser the user bits. The TCG mode and VITC line: E_NOTIMPL (DV has neither).
    HRESULT STDMETHODCALLTYPE GetTCGMode(LONG param, LONG* value) override;
    HRESULT STDMETHODCALLTYPE SetTCGMode(LONG param, LONG value) override;
    HRESULT STDMETHODCALLTYPE put_VITCLine(LONG line) override;
    HRESULT STDMETHODCALLTYPE get_VITCLine(LONG* line) override;
    HRESULT STDMETHODCALLTYPE SetTimecode(PTIMECODE_SAMPLE sample) override;
    HRESULT STDMETHODCALLTYPE GetTimecode(PTIMECODE_SAMPLE sample) override;

    // IDVAspect, IDVAudioMode (see <platform/platform.h>).
    HRESULT STDMETHODCALLTYPE SetAspect(LONG aspect) override;
    HRESULT STDMETHODCALLTYPE GetAspect(LONG* aspect) override;
    HRESULT STDMETHODCALLTYPE SetAudioMode(LONG mode) override;
    HRESULT STDMETHODCALLTYPE GetAudioMode(LONG* mode) override;
    // The audio mode now (the audio pin takes its rate).
    dif::AudioMode Mode() const { return audioMode.load(); }

protected:
    HRESULT OnActivate() override;
    void OnStop() override;

private:
    friend class filterkit::KitTransformFilter<Muxer>;
    friend InputPin;

    // Only whole DIF frames of the system can be wrapped; anything else would make a broken tape.
    HRESULT PrepareInput(IMediaSample* in, const BYTE** video);
    // Copies the frame and writes its system data and audio.
    HRESULT Transform(IMediaSample* in, const BYTE* video, BYTE* frame, IMediaSample* out);
    // The timecode counts frames handed on, so a refused frame leaves no gap.
    void OnDelivered();

    // Fills audioFrame with this frame's samples from the queue (see the class comment).
    void TakeAudio();
    // The local time of frame frameNumber of the stream; false before the clock was read.
    bool RecordingTimeOf(uint64_t frame, dif::RecordingTime* time);
    // Fixes the stream's recording time to now unless it was fixed already. Any thread.
    void StartRecordingClock();

    HRESULT InputConnected(const platform::MediaType& type);

    AudioQueue audioQueue{kAudioQueueFrames};
    std::atomic<const DvSystem*> system{&k525_60};
    MuxerAudioPin audio;

    // The next stream's start: its BCD label in the low 32 bits, kNonDrop above them (525/60's
    // counting; 625/50 never drops).
    static constexpr uint64_t kNonDrop = uint64_t{1} << 32;
    std::atomic<uint64_t> timecodeStart{0};
    std::atomic<uint64_t> streamStart{0};    // this stream's: frames from 00:00:00:00, kNonDrop; fixed by OnActivate
    std::atomic<uint32_t> userBits{0};       // the next stream's user bits; 0 none
    std::atomic<uint32_t> streamUserBits{0}; // this stream's
    std::atomic<bool> wide{false};           // 16:9
    std::atomic<dif::AudioMode> audioMode{dif::AudioMode::Stereo48k};
    std::atomic<int64_t> lastFrame{-1};      // frame number handed on last in this stream
    // Microseconds since the epoch at the stream's recording start; -1 until fixed.
    std::atomic<int64_t> recordingStartUs{-1};
    std::atomic<uint64_t> silencedSamples{0};

    uint64_t frameNumber = 0;    // frames delivered since the stream started; see the class comment
    bool audioStarving = false;  // the last frame had to fill silence
    // The last second RecordingTimeOf broke down, and into what: one localtime_r a second.
    int64_t recordedSecond = -1;
    dif::RecordingTime recordedTime{};
    std::vector<int16_t> audioFrame = std::vector<int16_t>(2 * 1920);
    std::vector<int16_t> fourChannels = std::vector<int16_t>(4 * 1280);  // 32 kHz: channels 1-4
};

using MuxerInputPin = Muxer::InputPin;
using MuxerOutputPin = Muxer::OutputPin;

}  // namespace dv
