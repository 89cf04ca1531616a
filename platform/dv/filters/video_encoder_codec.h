// Compresses pictures into DV25 frames with libavcodec's DV encoder, in the system Open chose:
// 720x480 into NTSC frames (120000 bytes, 4:1:1) or 720x576 into consumer PAL frames (144000
// bytes, 4:2:0). BGR24 pictures go through libswscale's BT.601 conversion; UYVY pictures
// (Y'CbCr already) go straight in, luma as it is and chroma averaged (each pair of 4:2:2 samples
// across for 4:1:1, each pair of rows for 4:2:0), so that their levels reach the encoder
// unchanged. A still picture is the common case, so a picture byte-identical to the previous one
// reuses the previous frame instead of encoding again; a UYVY picture that changed only in places
// (a burnt-in timecode, a countdown) is put together from segments encoded before where it can be
// (SegmentCache), and otherwise libavcodec encodes only the segments the cache lacks: the codec
// context's execute (which the encoder calls with one job a video segment, in the frame's order)
// is replaced by one that runs the jobs of those segments alone.
//
// Threads: not thread-safe; the encoder filter calls it only under its input pin's receive lock,
// or under the filter lock while stopped (Open, Reset). Both samplings keep whole bands of 16
// rows independent: while open, the codec runs a helper thread, and the calling thread
// and the helper each take the next band from `nextBand` until none is left. The caller starts at
// once and the helper joins when it wakes, so a slow wake-up (a good part of a band on a virtual
// machine) costs nothing but the bands the helper did not get to. `helperLock` guards the job
// fields below it; the helper touches nothing else but `nextBand`, its own converter and the rows
// of `yuv` of the bands it took.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "dv/filters/kept_picture.h"
#include "dv/dv_system.h"
#include "dv/filters/row_span.h"
#include "dv/filters/segment_cache.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace dv {

class VideoEncoderCodec {
public:
    // 525/60's sizes; PictureBytes and the like give any system's.
    static constexpr int kWidth = k525_60.width;
    static constexpr int kHeight = k525_60.height;
    static constexpr int kRowBytes = kWidth * 3;
    static constexpr int kPictureBytes = kRowBytes * kHeight;  // 1036800
    static constexpr int kFrameBytes = k525_60.frameBytes;
    static constexpr int kUyvyRowBytes = kWidth * 2;
    static constexpr int kUyvyPictureBytes = kUyvyRowBytes * kHeight;  // 691200
    static constexpr int PictureBytes(const DvSystem& system) { return system.width * 3 * system.height; }
    static constexpr int UyvyPictureBytes(const DvSystem& system) { return system.width * 2 * system.height; }

    VideoEncoderCodec();
    ~VideoEncoderCodec();
    VideoEncoderCodec(const VideoEncoderCodec&) = delete;
    VideoEncoderCodec& operator=(const VideoEncoderCodec&) = delete;

    // Prepares the converter and the encoder for the system; S_OK when already open for it (open
    // for the other, it closes first). E_FAIL when libavcodec has no DV encoder or refuses the
    // settings, E_OUTOFMEMORY when allocations fail.
    HRESULT Open(const DvSystem& system = k525_60);
    // The system of the last Open.
    const DvSystem& System() const { return *system; }
    // Forgets the previous picture (a new stream starts).
    void Reset();
    // The aspect the frames signal (the sample aspect ratio libavcodec writes into them): 16:9
    // or, by default, 4:3. A change closes the encoder; the next Open opens it so.
    void SetWide(bool wide);
    bool Wide() const { return wide; }

    // Encodes one picture of PictureBytes (rows bottom first when bottomUp) into frame
    // (the system's frameBytes). E_UNEXPECTED before Open, E_FAIL when the encoder fails or its packet is
    // not a DV25 frame.
    HRESULT Encode(const uint8_t* picture, bool bottomUp, uint8_t* frame);
    // The same for a UYVY picture of UyvyPictureBytes, rows top first. With `changedRows`, the
    // picture differs from the one encoded just before it in those rows alone.
    HRESULT EncodeUyvy(const uint8_t* picture, uint8_t* frame, const RowSpan* changedRows = nullptr);

    // Reuse of the previous frame for an identical picture, and of encoded segments for a UYVY
    // picture that changed in places; on by default. The benchmark turns it off to measure the
    // full encoding cost.
    void SetReuse(bool enabled) { reuse = enabled; }
    // Pictures actually encoded, whole or in part (reused frames not counted); video segments
    // encoded (270 or 324 a whole picture).
    uint64_t EncodeCount() const { return encodeCount; }
    uint64_t SegmentsEncoded() const { return segmentsEncoded; }

private:
    static constexpr int kBandRows = 16;
    static_assert(k525_60.height % kBandRows == 0 && k625_50.height % kBandRows == 0);
    int Bands() const { return system->height / kBandRows; }

    void Close();
    // Converts bands of the picture into yuv with converters[thread] until none is left.
    void ConvertBands(int thread, const uint8_t* picture, bool bottomUp);
    void HelperMain();
    // Rows [firstRow, endRow) of a UYVY picture into yuv (4:2:0: pairs of rows, firstRow even).
    void ConvertUyvy(const uint8_t* picture, int firstRow, int endRow);
    // Encodes the converted picture in yuv into frame and counts it: every segment, or only those
    // listed in `only` (the rest of the frame's video blocks are then zero).
    HRESULT EncodeConverted(uint8_t* frame, const std::vector<int>* only = nullptr);
    // The context's execute: libavcodec's own (`execute`) for every job, or for the jobs of
    // `onlySegments` alone while it is set.
    static int ExecuteSome(AVCodecContext* c, int (*func)(AVCodecContext*, void*), void* arg, int* ret, int count,
                           int size);

    AVCodecContext* codec = nullptr;
    int (*execute)(AVCodecContext*, int (*)(AVCodecContext*, void*), void*, int*, int, int) = nullptr;
    const std::vector<int>* onlySegments = nullptr;  // during EncodeConverted only
    std::vector<uint8_t> someJobs;                   // ExecuteSome's copies of the jobs it runs
    SwsContext* converters[2] = {nullptr, nullptr};  // one band each; [1] is the helper's
    AVFrame* yuv = nullptr;
    AVPacket* packet = nullptr;
    int64_t nextPts = 0;

    std::thread helper;
    std::mutex helperLock;
    std::condition_variable helperWake;
    const uint8_t* jobPicture = nullptr;  // helperLock: the picture to help with, null when idle
    bool jobBottomUp = false;             // helperLock
    bool jobTaken = false;                // helperLock: the helper took the current job
    bool jobDone = false;                 // helperLock: ... and took its last band
    std::atomic<int> nextBand {0};        // the next band to convert; Bands() and above: none
    bool helperQuit = false;              // helperLock

    bool reuse = true;
    bool wide = false;
    bool lastBottomUp = false;
    const DvSystem* system = &k525_60;  // set by Open while no helper works
    // The BGR24 picture behind lastFrame, or the UYVY one (one of them is kept); sized by Open.
    std::optional<KeptPicture> lastPicture;
    std::optional<KeptPicture> lastUyvy;
    std::optional<SegmentCache> segments;  // the UYVY pictures' encoded segments; made by Open
    std::vector<int> missing;              // scratch: the segments to encode
    std::vector<bool> neededRows;          // scratch: their rows
    std::vector<uint8_t> lastFrame;
    uint64_t encodeCount = 0;
    uint64_t segmentsEncoded = 0;
};

}  // namespace dv
