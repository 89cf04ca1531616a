#include "dv/filters/reference_bars.h"

#include <cstring>

#include "dv/filters/dv_classes.h"
#include "dv/filters/test_pattern.h"
#include "dv/dv_system.h"
#include "support/log.h"
#include "support/text.h"

namespace dv {

namespace {

constexpr DWORD kUyvyFourCc = 0x59565955;  // 'UYVY'

const BarsSystem k525 = {k525_60.width, k525_60.height, k525_60.periodNum, k525_60.periodDen};
const BarsSystem k625 = {720, 576, 400000, 1};  // 25 frames a second

LONG PictureBytes(const BarsSystem& system, bool rgb) {
    return system.width * system.height * (rgb ? 3 : 2);
}

const VIDEOINFOHEADER* VideoHeader(const AM_MEDIA_TYPE* mt) {
    if (mt->formattype != FORMAT_VideoInfo || mt->pbFormat == nullptr ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
}

}  // namespace

const BarsSystem* BarsSystem::Of(LONG standard) {
    if (standard == REFERENCE_BARS_525_60) return &k525;
    if (standard == REFERENCE_BARS_625_50) return &k625;
    return nullptr;
}

// ---- pin --------------------------------------------------------------------------------------

ReferenceBarsOutputPin::ReferenceBarsOutputPin(ReferenceBars* owner)
    : KitOutputPin(owner, u"Output"), owner(owner) {}

HRESULT ReferenceBarsOutputPin::MakeType(const BarsSystem& system, bool rgb, platform::MediaType* mt) {
    mt->Clear();
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt->AllocFormat(sizeof(VIDEOINFOHEADER)));
    if (vih == nullptr) return E_OUTOFMEMORY;
    const LONG bytes = PictureBytes(system, rgb);
    vih->rcSource = RECT{0, 0, system.width, system.height};
    vih->rcTarget = vih->rcSource;
    vih->AvgTimePerFrame = system.FrameStart(1);
    vih->dwBitRate = static_cast<DWORD>(int64_t{bytes} * 8 * 10000000 * system.periodDen / system.periodNum);
    BITMAPINFOHEADER& bmi = vih->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = system.width;
    bmi.biHeight = system.height;  // RGB bottom-up; Y'CbCr is top first whatever the sign
    bmi.biPlanes = 1;
    bmi.biBitCount = rgb ? 24 : 16;
    bmi.biCompression = rgb ? BI_RGB : kUyvyFourCc;
    bmi.biSizeImage = static_cast<DWORD>(bytes);
    filterkit::SetFrameType(mt, MEDIATYPE_Video, rgb ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_UYVY,
                            FORMAT_VideoInfo, static_cast<ULONG>(bytes));
    return S_OK;
}

HRESULT ReferenceBarsOutputPin::CheckMediaType(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr) return E_POINTER;
    if (mt->majortype != MEDIATYPE_Video || mt->formattype != FORMAT_VideoInfo ||
        (mt->subtype != MEDIASUBTYPE_UYVY && mt->subtype != MEDIASUBTYPE_RGB24))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* vih = VideoHeader(mt);
    if (vih == nullptr) return E_INVALIDARG;
    const bool rgb = mt->subtype == MEDIASUBTYPE_RGB24;
    const BarsSystem& system = owner->System();
    const BITMAPINFOHEADER& bmi = vih->bmiHeader;
    if (bmi.biWidth != system.width || bmi.biHeight != system.height ||
        bmi.biBitCount != (rgb ? 24 : 16) || bmi.biCompression != (rgb ? DWORD{BI_RGB} : kUyvyFourCc))
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT ReferenceBarsOutputPin::GetMediaType(int position, platform::MediaType* mt) {
    if (mt == nullptr) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 1) return VFW_S_NO_MORE_ITEMS;
    return MakeType(owner->System(), position == 1, mt);
}

HRESULT ReferenceBarsOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    if (props->cBuffers < 2) props->cBuffers = 2;  // one filled while the other is taken
    return SizeForFrames(allocator, props,
                         PictureBytes(owner->System(), ConnectionType()->subtype == MEDIASUBTYPE_RGB24));
}

// ---- filter -----------------------------------------------------------------------------------

ReferenceBars::ReferenceBars()
    : ComExtend(CLSID_ReferenceBars, platform::log::kDv, "Reference Bars"), output(this), system(BarsSystem::Of(REFERENCE_BARS_525_60)) {
    AddPin(&output);
    MakePictures(pattern, *system);
}

ReferenceBars::~ReferenceBars() {
    // The graph stops a filter before letting it go; a filter dropped while running stops here.
    Stop();
}

void ReferenceBars::MakePictures(LONG kind, const BarsSystem& to) {
    TestPattern::Kind made = TestPattern::Kind::Smpte;
    if (kind == REFERENCE_BARS_EBU75) made = TestPattern::Kind::Ebu75;
    if (kind == REFERENCE_BARS_EBU100) made = TestPattern::Kind::Ebu100;
    if (kind == REFERENCE_BARS_BLACK) made = TestPattern::Kind::Black;
    uyvy = TestPattern::Make(made, to.width, to.height);
    rgb = TestPattern::ToBottomUpBgr(uyvy, to.width, to.height);
}

HRESULT ReferenceBars::SetPattern(LONG value) {
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (value < REFERENCE_BARS_SMPTE || value > REFERENCE_BARS_BLACK) return E_INVALIDARG;
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    MakePictures(value, *system);
    pattern = value;
    picturePath.clear();
    return S_OK;
}

HRESULT ReferenceBars::LoadPictures(const std::string& file, const BarsSystem& to) {
    std::vector<uint8_t> picture;
    if (auto fault = TestPattern::Load(file, to.width, to.height, &picture)) {
        PLATFORM_LOG(platform::log::kDv, Error, "Reference Bars: %s", fault->text.c_str());
        return static_cast<HRESULT>(fault->status);
    }
    rgb = TestPattern::ToBottomUpBgr(picture, to.width, to.height);
    uyvy = std::move(picture);
    return S_OK;
}

HRESULT ReferenceBars::GetPattern(LONG* value) {
    if (value == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    *value = pattern;
    return S_OK;
}

HRESULT ReferenceBars::SetPictureFile(LPCWSTR path) {
    if (path == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    const std::string file = platform::Utf8FromWide(path);
    if (const HRESULT hr = LoadPictures(file, *system); FAILED(hr)) return hr;
    pattern = REFERENCE_BARS_PICTURE;
    picturePath = file;
    return S_OK;
}

HRESULT ReferenceBars::SetStandard(LONG value) {
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    const BarsSystem* to = BarsSystem::Of(value);
    if (to == nullptr) return E_INVALIDARG;
    if (CurrentState() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (value == standard) return S_OK;
    if (output.IsConnected()) return VFW_E_ALREADY_CONNECTED;
    if (pattern == REFERENCE_BARS_PICTURE) {
        if (const HRESULT hr = LoadPictures(picturePath, *to); FAILED(hr)) return hr;
    } else {
        MakePictures(pattern, *to);
    }
    standard = value;
    system = to;
    return S_OK;
}

HRESULT ReferenceBars::GetStandard(LONG* value) {
    if (value == nullptr) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(FilterLock());
    *value = standard;
    return S_OK;
}

HRESULT ReferenceBars::FillSample(IMediaSample* sample, uint64_t frame) {
    const std::vector<uint8_t>& picture = SourcePin().ConnectionType()->subtype == MEDIASUBTYPE_RGB24 ? rgb : uyvy;
    const LONG bytes = static_cast<LONG>(picture.size());
    BYTE* data = nullptr;
    const HRESULT hr = BufferOf(sample, bytes, &data);
    if (FAILED(hr)) return hr;
    std::memcpy(data, picture.data(), picture.size());
    return Stamp(sample, system->FrameStart(frame), system->FrameStart(frame + 1), static_cast<LONGLONG>(frame),
                 static_cast<LONGLONG>(frame + 1), bytes, frame == 0);
}

HRESULT CreateReferenceBars(IUnknown* outer, REFIID iid, void** out) {
    return platform::CreateInstance<ReferenceBars>(outer, iid, out);
}

}  // namespace dv
