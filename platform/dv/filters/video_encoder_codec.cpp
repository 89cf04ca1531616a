#include "dv/filters/video_encoder_codec.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "support/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace dv {
namespace {

// Logs a failure of libavcodec or libswscale with the library's own reason. Returns `status`.
HRESULT Failed(HRESULT status, const char* what, int error = 0) {
    if (error == 0) {
        PLATFORM_LOG(platform::log::kDv, Error, "DV Video Encoder: %s", what);
    } else {
        char reason[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, reason, sizeof reason);
        PLATFORM_LOG(platform::log::kDv, Error, "DV Video Encoder: %s: %s", what, reason);
    }
    return status;
}

}  // namespace

VideoEncoderCodec::VideoEncoderCodec() = default;

VideoEncoderCodec::~VideoEncoderCodec() { Close(); }

void VideoEncoderCodec::Close() {
    if (helper.joinable()) {
        {
            std::lock_guard<std::mutex> lock(helperLock);
            helperQuit = true;
        }
        helperWake.notify_all();
        helper.join();
        helperQuit = false;
    }
    avcodec_free_context(&codec);
    for (SwsContext*& converter : converters) {
        sws_freeContext(converter);
        converter = nullptr;
    }
    av_frame_free(&yuv);
    av_packet_free(&packet);
    lastPicture.reset();
    lastUyvy.reset();
    segments.reset();
    execute = nullptr;
}

HRESULT VideoEncoderCodec::Open(const DvSystem& wanted) {
    if (codec != nullptr && system == &wanted) return S_OK;
    Close();
    system = &wanted;
    const AVCodec* dvEncoder = avcodec_find_encoder(AV_CODEC_ID_DVVIDEO);
    if (dvEncoder == nullptr) return Failed(E_FAIL, "libavcodec has no DV encoder");

    codec = avcodec_alloc_context3(dvEncoder);
    yuv = av_frame_alloc();
    packet = av_packet_alloc();
    if (codec == nullptr || yuv == nullptr || packet == nullptr) {
        Close();
        return Failed(E_OUTOFMEMORY, "libavcodec cannot allocate its context, frame or packet");
    }
    // Size, sampling and time base select the profile: 4:1:1 at 30000/1001 for NTSC DV25, 4:2:0
    // at 25 for consumer PAL DV25.
    const AVPixelFormat format = system->fiftyFields ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
    codec->width = system->width;
    codec->height = system->height;
    codec->pix_fmt = format;
    codec->time_base = AVRational{int(system->rateDen), int(system->rateNum)};
    // The pixel shapes of each system in 4:3 and in 16:9 (ITU-R BT.601 sampling).
    if (system->fiftyFields)
        codec->sample_aspect_ratio = wide ? AVRational{64, 45} : AVRational{16, 15};
    else
        codec->sample_aspect_ratio = wide ? AVRational{40, 33} : AVRational{10, 11};
    // Slice threads only: frame threading would hold frames back, and every picture must give
    // its frame at once.
    codec->thread_type = FF_THREAD_SLICE;
#ifdef DV_ENCODER_ONE_THREAD
    codec->thread_count = 1;
#else
    codec->thread_count = 0;
#endif
    if (const int error = avcodec_open2(codec, dvEncoder, nullptr); error < 0) {
        Close();
        return Failed(E_FAIL, "libavcodec refuses the DV settings", error);
    }
    execute = codec->execute;
    codec->opaque = this;
    codec->execute = &VideoEncoderCodec::ExecuteSome;

    yuv->format = format;
    yuv->width = system->width;
    yuv->height = system->height;
    if (const int error = av_frame_get_buffer(yuv, 0); error < 0) {
        Close();
        return Failed(E_OUTOFMEMORY, "libavcodec cannot allocate the picture", error);
    }

    // Only chroma is resampled; an area-weighted bilinear filter does that well at half the cost
    // of a bicubic one.
    for (SwsContext*& converter : converters) {
        converter = sws_getContext(system->width, kBandRows, AV_PIX_FMT_BGR24, system->width, kBandRows, format,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (converter == nullptr) {
            Close();
            return Failed(E_FAIL, "libswscale refuses the BGR24 to DV sampling conversion");
        }
        // BT.601 with studio range (black at 16), as DV carries it.
        const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(converter, bt601, 1, bt601, 0, 0, 1 << 16, 1 << 16);
    }
    try {
        helper = std::thread(&VideoEncoderCodec::HelperMain, this);
    } catch (const std::system_error& error) {
        Close();
        PLATFORM_LOG(platform::log::kDv, Error, "DV Video Encoder: no converter thread: %s",
                     error.what());
        return E_OUTOFMEMORY;
    }

    lastPicture.emplace(size_t(system->width) * 3, size_t(system->height));
    lastUyvy.emplace(size_t(system->width) * 2, size_t(system->height));
    segments.emplace(*system);
    lastFrame.resize(size_t(system->frameBytes));
    return S_OK;
}

void VideoEncoderCodec::SetWide(bool value) {
    if (value == wide) return;
    wide = value;
    Close();
}

void VideoEncoderCodec::Reset() {
    if (lastPicture) lastPicture->Forget();
    if (lastUyvy) lastUyvy->Forget();
    if (segments) segments->Forget();
    nextPts = 0;
}

HRESULT VideoEncoderCodec::Encode(const uint8_t* picture, bool bottomUp, uint8_t* frame) {
    if (codec == nullptr) return E_UNEXPECTED;
    segments->Forget();  // its previous picture is a UYVY one
    if (reuse && lastBottomUp == bottomUp && lastPicture->Matches(picture)) {
        std::memcpy(frame, lastFrame.data(), lastFrame.size());
        return S_OK;
    }

    if (const int error = av_frame_make_writable(yuv); error < 0)
        return Failed(E_OUTOFMEMORY, "libavcodec cannot make the picture writable", error);
    {
        std::lock_guard<std::mutex> lock(helperLock);
        nextBand.store(0, std::memory_order_relaxed);
        jobPicture = picture;
        jobBottomUp = bottomUp;
        jobTaken = false;
        jobDone = false;
    }
    helperWake.notify_all();
    ConvertBands(0, picture, bottomUp);
    {
        // A helper that has not woken yet is not waited for: the job is taken back.
        std::unique_lock<std::mutex> lock(helperLock);
        if (jobTaken) {
            helperWake.wait(lock, [this] { return jobDone; });
        } else {
            jobPicture = nullptr;
        }
    }
    const HRESULT hr = EncodeConverted(frame);
    if (FAILED(hr) || !reuse) return hr;
    lastBottomUp = bottomUp;
    lastPicture->Keep(picture);
    lastUyvy->Forget();
    std::memcpy(lastFrame.data(), frame, lastFrame.size());
    return S_OK;
}

void VideoEncoderCodec::ConvertUyvy(const uint8_t* picture, int firstRow, int endRow) {
    const int width = system->width;
    const size_t rowBytes = size_t(width) * 2;
    for (int row = firstRow; row < endRow; ++row) {
        const uint8_t* in = picture + static_cast<size_t>(row) * rowBytes;
        uint8_t* y = yuv->data[0] + static_cast<ptrdiff_t>(row) * yuv->linesize[0];
        for (int x = 0; x < width; x += 2, in += 4) {
            y[x] = in[1];
            y[x + 1] = in[3];
        }
    }
    if (system->fiftyFields) {
        // Cb Y0 Cr Y1 -> one Cb and one Cr a pair of pixels, each the mean of the pair of rows,
        // rounded.
        for (int row = firstRow / 2; row < endRow / 2; ++row) {
            const uint8_t* top = picture + static_cast<size_t>(2 * row) * rowBytes;
            const uint8_t* bottom = top + rowBytes;
            uint8_t* cb = yuv->data[1] + static_cast<ptrdiff_t>(row) * yuv->linesize[1];
            uint8_t* cr = yuv->data[2] + static_cast<ptrdiff_t>(row) * yuv->linesize[2];
            for (int x = 0; x < width / 2; ++x) {
                cb[x] = static_cast<uint8_t>((top[4 * x] + bottom[4 * x] + 1) / 2);
                cr[x] = static_cast<uint8_t>((top[4 * x + 2] + bottom[4 * x + 2] + 1) / 2);
            }
        }
    } else {
        // Cb Y0 Cr Y1 Cb Y2 Cr Y3 -> one Cb and one Cr: the mean of the pair across, rounded.
        for (int row = firstRow; row < endRow; ++row) {
            const uint8_t* in = picture + static_cast<size_t>(row) * rowBytes;
            uint8_t* cb = yuv->data[1] + static_cast<ptrdiff_t>(row) * yuv->linesize[1];
            uint8_t* cr = yuv->data[2] + static_cast<ptrdiff_t>(row) * yuv->linesize[2];
            for (int x = 0; x < width; x += 4, in += 8) {
                cb[x / 4] = static_cast<uint8_t>((in[0] + in[4] + 1) / 2);
                cr[x / 4] = static_cast<uint8_t>((in[2] + in[6] + 1) / 2);
            }
        }
    }
}

HRESULT VideoEncoderCodec::EncodeUyvy(const uint8_t* picture, uint8_t* frame, const RowSpan* changedRows) {
    if (codec == nullptr) return E_UNEXPECTED;
    // Told where the picture changed, the cache compares those rows alone.
    if (reuse && changedRows == nullptr && lastUyvy->Matches(picture)) {
        std::memcpy(frame, lastFrame.data(), lastFrame.size());
        return S_OK;
    }
    missing.clear();
    if (reuse && segments->Assemble(picture, frame, &missing, changedRows)) {
        // The kept picture is no longer the previous one; the cache now holds that.
        lastUyvy->Forget();
        return S_OK;
    }
    if (const int error = av_frame_make_writable(yuv); error < 0)
        return Failed(E_OUTOFMEMORY, "libavcodec cannot make the picture writable", error);
    if (missing.empty()) {
        ConvertUyvy(picture, 0, system->height);
    } else {
        // Only the rows of the segments to encode (whole macroblocks: 8 or 16 rows from a
        // multiple of their height, so 4:2:0's pairs of rows stay whole).
        neededRows.assign(size_t(system->height), false);
        for (int s : missing) {
            for (int m = 0; m < 5; ++m) {
                const SegmentCache::Macroblock& mb = segments->Place(s, m);
                std::fill(neededRows.begin() + mb.y, neededRows.begin() + mb.y + mb.height, true);
            }
        }
        for (int row = 0; row < system->height;) {
            if (!neededRows[size_t(row)]) {
                ++row;
                continue;
            }
            int end = row;
            while (end < system->height && neededRows[size_t(end)]) ++end;
            ConvertUyvy(picture, row, end);
            row = end;
        }
    }
    if (!missing.empty()) {
        // Only what the cache lacks; it puts the rest in.
        const HRESULT hr = EncodeConverted(frame, &missing);
        if (FAILED(hr)) return hr;
        segments->Complete(picture, frame, frame);
        lastUyvy->Forget();
        return S_OK;
    }
    const HRESULT hr = EncodeConverted(frame);
    if (FAILED(hr) || !reuse) return hr;
    lastUyvy->Keep(picture);
    lastPicture->Forget();
    std::memcpy(lastFrame.data(), frame, lastFrame.size());
    segments->Harvest(picture, frame);
    return S_OK;
}

int VideoEncoderCodec::ExecuteSome(AVCodecContext* c, int (*func)(AVCodecContext*, void*), void* arg, int* ret,
                                   int count, int size) {
    auto* self = static_cast<VideoEncoderCodec*>(c->opaque);
    const std::vector<int>* only = self->onlySegments;
    // Every job unless they are the frame's segments, one each, and no job's result is asked for.
    if (only == nullptr || ret != nullptr || count != self->segments->Segments() || size <= 0) {
        self->segmentsEncoded += uint64_t(count);
        return self->execute(c, func, arg, ret, count, size);
    }
    // The chosen jobs, copied together so that libavcodec's own execute (its slice threads) runs
    // them as it would run all.
    const size_t jobBytes = static_cast<size_t>(size);
    self->someJobs.resize(only->size() * jobBytes);
    for (size_t i = 0; i < only->size(); ++i) {
        std::memcpy(self->someJobs.data() + i * jobBytes, static_cast<const uint8_t*>(arg) + size_t((*only)[i]) * jobBytes,
                    jobBytes);
    }
    self->segmentsEncoded += only->size();
    return self->execute(c, func, self->someJobs.data(), nullptr, static_cast<int>(only->size()), size);
}

HRESULT VideoEncoderCodec::EncodeConverted(uint8_t* frame, const std::vector<int>* only) {
    yuv->pts = nextPts++;

    // libavcodec encodes while it is sent the picture or asked for the packet.
    onlySegments = only;
    const int sent = avcodec_send_frame(codec, yuv);
    const int received = sent < 0 ? 0 : avcodec_receive_packet(codec, packet);
    onlySegments = nullptr;
    if (sent < 0) return Failed(E_FAIL, "libavcodec refuses the picture", sent);
    if (received < 0) return Failed(E_FAIL, "libavcodec gives no frame", received);
    const int size = packet->size;
    const bool whole = size == system->frameBytes;
    if (whole) std::memcpy(frame, packet->data, size_t(size));
    av_packet_unref(packet);
    if (!whole) {
        PLATFORM_LOG(platform::log::kDv, Error,
                     "DV Video Encoder: libavcodec made a frame of %d bytes, not %d", size,
                     system->frameBytes);
        return E_FAIL;
    }
    ++encodeCount;
    return S_OK;
}

void VideoEncoderCodec::ConvertBands(int thread, const uint8_t* picture, bool bottomUp) {
    // Output row y of a bottom-up picture is memory row height - 1 - y, read upwards.
    const int rowBytes = system->width * 3;
    const int height = system->height;
    const int stride = bottomUp ? -rowBytes : rowBytes;
    const int bands = Bands();
    for (int band = nextBand.fetch_add(1, std::memory_order_relaxed); band < bands;
         band = nextBand.fetch_add(1, std::memory_order_relaxed)) {
        const int firstRow = band * kBandRows;
        const uint8_t* source =
            picture + static_cast<size_t>(bottomUp ? height - 1 - firstRow : firstRow) * rowBytes;
        uint8_t* planes[4] = {};
        // 4:2:0 has a chroma row for every two picture rows.
        for (int p = 0; p < 3; ++p) {
            const int planeRow = p > 0 && system->fiftyFields ? firstRow / 2 : firstRow;
            planes[p] = yuv->data[p] + static_cast<ptrdiff_t>(planeRow) * yuv->linesize[p];
        }
        sws_scale(converters[thread], &source, &stride, 0, kBandRows, planes, yuv->linesize);
    }
}

void VideoEncoderCodec::HelperMain() {
    std::unique_lock<std::mutex> lock(helperLock);
    for (;;) {
        helperWake.wait(lock, [this] { return helperQuit || jobPicture != nullptr; });
        if (helperQuit) return;
        const uint8_t* picture = jobPicture;
        const bool bottomUp = jobBottomUp;
        jobPicture = nullptr;
        jobTaken = true;
        lock.unlock();
        ConvertBands(1, picture, bottomUp);
        lock.lock();
        jobDone = true;
        helperWake.notify_all();
    }
}

}  // namespace dv
