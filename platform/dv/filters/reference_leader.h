// "Reference Leader": the picture of a tape's leader (see IReferenceLeader in
// <platform/platform.h>). Its output pin "Output" offers UYVY of the leader's system's size (that
// of "Reference Bars", 525/60 until a leader says otherwise), one sample a frame stamped as
// "Reference Bars" stamps them.
//
// What a frame shows comes from the plan (LeaderPlan); the still pictures (patterns, images, the
// slate, black) are made once when the stream starts, a countdown frame is drawn for its moment,
// and the burnt-in timecode over a copy of the picture (LeaderPicture). Each sample says which rows
// changed from the frame before (ISampleChangedRows) where that is known: none within a still
// segment, the sweep's and the plate's in a countdown, the burnt-in box's.
//
// Threads and locks (see filterkit/kit_filter.h): the IReferenceLeader methods take filterLock and
// change the settings only while stopped; the worker reads them without a lock, since it runs only
// while not stopped and is joined under filterLock before anything can change them. The pictures
// are the worker's own.
#pragma once

#include <platform/platform.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dv/filters/leader_picture.h"
#include "dv/filters/leader_plan.h"
#include "dv/filters/reference_bars.h"
#include "filterkit/kit_output_pin.h"
#include "filterkit/kit_source_filter.h"

namespace dv {

class ReferenceLeader;

class ReferenceLeaderOutputPin final : public filterkit::KitOutputPin {
public:
    explicit ReferenceLeaderOutputPin(ReferenceLeader* owner);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetMediaType(int position, platform::MediaType* mt) override;

protected:
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    ReferenceLeader* const owner;  // not owned; the filter owns its pins
};

class ReferenceLeader final
    : public platform::ComExtend<filterkit::KitSourceFilter,
                                 platform::Implements<IReferenceLeader, IID_IReferenceLeader>> {
public:
    ReferenceLeader();
    ~ReferenceLeader() override;

    ReferenceLeaderOutputPin& Output() { return output; }
    const BarsSystem& System() const { return *system; }

    // IReferenceLeader
    HRESULT STDMETHODCALLTYPE SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place) override;
    HRESULT STDMETHODCALLTYPE SetSlate(LPCWSTR lines) override;
    HRESULT STDMETHODCALLTYPE SetBurnIn(BOOL on) override;

protected:
    filterkit::KitOutputPin& SourcePin() override { return output; }
    void OnStreamStart() override;
    HRESULT FillSample(IMediaSample* sample, uint64_t frame) override;

private:
    // The rows where `frame`, at moment m, differs from the frame before, when it is known; what
    // Countdown said of a countdown frame (`painted`).
    std::optional<RowSpan> ChangedRows(uint64_t frame, const LeaderPlan::Moment& m, const RowSpan& painted) const;

    ReferenceLeaderOutputPin output;
    const BarsSystem* system;  // filterLock to write, only while stopped and unconnected

    // filterLock to write, and only while stopped (see the class comment).
    std::optional<LeaderPlan> plan;
    std::vector<std::vector<uint8_t>> images;  // IMAGE segments' pictures, read by SetLeader
    std::string slate;
    bool burnIn = false;

    // The worker's own.
    std::vector<std::vector<uint8_t>> pictures;  // each segment's still picture (empty: drawn)
    std::vector<uint8_t> black;
    LeaderPicture painter;
    // The frame filled before, and what it showed: its segment, its countdown digit (0: none).
    std::optional<uint64_t> lastFrame;
    int lastSegment = -1;
    int lastDigit = 0;
};

}  // namespace dv
