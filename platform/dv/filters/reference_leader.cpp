#include "dv/filters/reference_leader.h"

#include <cstring>

#include "dv/dif/timecode.h"
#include "dv/filters/dv_classes.h"
#include "dv/filters/test_pattern.h"
#include "support/com_ptr.h"
#include "support/log.h"
#include "support/text.h"

namespace dv {

namespace {

LONG PictureBytes(const BarsSystem& system) { return system.width * system.height * 2; }

TestPattern::Kind KindOf(LONG pattern) {
    if (pattern == REFERENCE_BARS_EBU75) return TestPattern::Kind::Ebu75;
    if (pattern == REFERENCE_BARS_EBU100) return TestPattern::Kind::Ebu100;
    if (pattern == REFERENCE_BARS_BLACK) return TestPattern::Kind::Black;
    return TestPattern::Kind::Smpte;
}

}  // namespace

// ---- pin --------------------------------------------------------------------------------------

ReferenceLeaderOutputPin::ReferenceLeaderOutputPin(ReferenceLeader* owner) : KitOutputPin(owner, u"Output"), owner(owner) {}

HRESULT ReferenceLeaderOutputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Video || mt->subtype != MEDIASUBTYPE_UYVY || mt->formattype != FORMAT_VideoInfo ||
        mt->pbFormat == nullptr || mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER& bmi = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader;
    return bmi.biWidth == owner->System().width && bmi.biHeight == owner->System().height && bmi.biBitCount == 16
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT ReferenceLeaderOutputPin::GetMediaType(int position, platform::MediaType* mt) {
    if (mt == nullptr) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return ReferenceBarsOutputPin::MakeType(owner->System(), false, mt);
}

HRESULT ReferenceLeaderOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    if (props->cBuffers < 2) props->cBuffers = 2;
    return SizeForFrames(allocator, props, PictureBytes(owner->System()));
}

// ---- filter -----------------------------------------------------------------------------------

ReferenceLeader::ReferenceLeader()
    : ComExtend(CLSID_ReferenceLeader, platform::log::kDv, "Reference Leader"),
      output(this),
      system(BarsSystem::Of(REFERENCE_BARS_525_60)),
      painter(system->width, system->height) {
    AddPin(&output);
}

ReferenceLeader::~ReferenceLeader() { Stop(); }

HRESULT ReferenceLeader::SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place) {
    if (place == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    std::string why;
    std::optional<LeaderPlan> made = LeaderPlan::Make(segments, count, *place, false, &why);
    if (!made) {
        PLATFORM_LOG(platform::log::kDv, Error, "Reference Leader: %s", why.c_str());
        return E_INVALIDARG;
    }
    // The connection's size and rate are the system's.
    const BarsSystem* wanted = BarsSystem::Of(made->Standard());
    if (wanted != system && output.IsConnected()) return VFW_E_ALREADY_CONNECTED;
    std::vector<std::vector<uint8_t>> read(made->Segments().size());
    for (size_t i = 0; i < read.size(); ++i) {
        const LeaderPlan::Segment& s = made->Segments()[i];
        if (s.file.empty()) continue;
        if (auto fault = TestPattern::Load(s.file, wanted->width, wanted->height, &read[i])) {
            PLATFORM_LOG(platform::log::kDv, Error, "Reference Leader: %s", fault->text.c_str());
            return static_cast<HRESULT>(fault->status);
        }
    }
    plan = std::move(made);
    images = std::move(read);
    if (wanted != system) {
        system = wanted;
        painter = LeaderPicture(system->width, system->height);
    }
    return S_OK;
}

HRESULT ReferenceLeader::SetSlate(LPCWSTR lines) {
    if (lines == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    slate = platform::Utf8FromWide(lines);
    return S_OK;
}

HRESULT ReferenceLeader::SetBurnIn(BOOL on) {
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    burnIn = on != FALSE;
    return S_OK;
}

void ReferenceLeader::OnStreamStart() {
    black = TestPattern::Make(TestPattern::Kind::Black, system->width, system->height);
    pictures.clear();
    lastFrame.reset();
    if (!plan) return;
    if (burnIn) painter.PrepareBurnIn();
    for (size_t i = 0; i < plan->Segments().size(); ++i) {
        const LeaderPlan::Segment& s = plan->Segments()[i];
        switch (s.kind) {
            case LEADER_BARS:
            case LEADER_PATTERN:
                pictures.push_back(s.file.empty() ? TestPattern::Make(KindOf(s.pattern), system->width, system->height)
                                                  : images[i]);
                break;
            case LEADER_SLATE:
                pictures.push_back(painter.Slate(slate));
                break;
            case LEADER_IMAGE:
                pictures.push_back(images[i]);
                break;
            case LEADER_BLACK:
                pictures.push_back(black);
                break;
            default:
                painter.PrepareCountdown();
                pictures.emplace_back();  // put together frame by frame
        }
    }
}

HRESULT ReferenceLeader::FillSample(IMediaSample* sample, uint64_t frame) {
    const LONG bytes = PictureBytes(*system);
    BYTE* data = nullptr;
    const HRESULT hr = BufferOf(sample, bytes, &data);
    if (FAILED(hr)) return hr;
    const LeaderPlan::Moment m = plan ? plan->At(frame) : LeaderPlan::Moment{};
    RowSpan painted;
    if (m.digit != 0) {
        painted = painter.Countdown(m.digit, m.sweep, data);
    } else {
        const std::vector<uint8_t>& picture =
            m.segment >= 0 && !pictures[static_cast<size_t>(m.segment)].empty() ? pictures[static_cast<size_t>(m.segment)]
                                                                                 : black;
        std::memcpy(data, picture.data(), picture.size());
    }
    if (burnIn && plan) {
        painter.BurnIn(Timecode::OfFrame(plan->LabelOf(frame), plan->DropFrame(), plan->Rate()).Text(), data);
    }
    const std::optional<RowSpan> changed = ChangedRows(frame, m, painted);
    lastFrame = frame;
    lastSegment = m.segment;
    lastDigit = m.digit;
    if (changed) {
        platform::ComPtr<ISampleChangedRows> rows;
        if (SUCCEEDED(sample->QueryInterface(IID_ISampleChangedRows, reinterpret_cast<void**>(rows.Put()))))
            rows->SetChangedRows(changed->first, changed->end);
    }
    return Stamp(sample, system->FrameStart(frame), system->FrameStart(frame + 1), static_cast<LONGLONG>(frame),
                 static_cast<LONGLONG>(frame + 1), bytes, frame == 0);
}

std::optional<RowSpan> ReferenceLeader::ChangedRows(uint64_t frame, const LeaderPlan::Moment& m,
                                                    const RowSpan& painted) const {
    if (!lastFrame || *lastFrame + 1 != frame) return std::nullopt;
    RowSpan rows;
    if (m.digit != 0 && lastDigit != 0) {
        rows = painted;  // countdown after countdown: what the painter changed
    } else if (m.digit != 0 || lastDigit != 0 || m.segment != lastSegment) {
        return std::nullopt;  // another picture
    }
    if (burnIn && plan) {
        int first = 0, end = 0;
        painter.BurnInRows(&first, &end);
        rows = rows.Hull({first, end});
    }
    return rows;
}

HRESULT CreateReferenceLeader(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<ReferenceLeader>(outer, iid, out);
}

}  // namespace dv
