// The DV chain on the device's base classes: RGB24 source -> encoder -> muxer -> a sink taking
// interleaved dvsd, one DV frame a sample.
#pragma once

#include "dif_test_filters.h"
#include "dv/filters/muxer.h"
#include "dv/filters/video_encoder.h"

namespace dvtest {

struct EncodingChain {
    Ref<TestSource> source{NewRgbSource()};
    Ref<dv::VideoEncoder> encoder{new dv::VideoEncoder()};
    Ref<dv::Muxer> muxer{new dv::Muxer()};
    Ref<TestSink> sink{new TestSink(MEDIATYPE_Interleaved, MEDIASUBTYPE_dvsd)};

    ~EncodingChain() { Stop(); }

    // Connects the three links; S_OK, or the first link's failure.
    HRESULT Connect() {
        HRESULT hr = source->Output().Connect(&encoder->Input(), nullptr);
        if (hr == S_OK) hr = encoder->Output().Connect(&muxer->Input(), nullptr);
        if (hr == S_OK) hr = muxer->Output().Connect(&sink->Input(), nullptr);
        return hr;
    }
    // Pauses the filters downstream first; S_OK, or the first failure.
    HRESULT Pause() { return PauseAll({sink.p, muxer.p, encoder.p, source.p}); }
    // Stops and disconnects everything (again at the end, harmlessly).
    void Stop() { StopAndUnlink({sink.p, muxer.p, encoder.p, source.p}); }
};

}  // namespace dvtest
