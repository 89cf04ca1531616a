#include "stripe_graph.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

#include "device_access.h"
#include "dv/dif/dif_layout.h"  // dv::DvSystem
#include "graph/graph_recipe.h"
#include "graph/utf_text.h"
#include "leader_slate.h"
#include "messages/build_failure.h"
#include "messages/quoted_name.h"
#include "picture_patches.h"
#include "record_loop.h"

namespace {

constexpr const char kDeviceName[] = "Microsoft DV Camera and VCR";
constexpr LONG kPictureBytes = 54 + 720 * 480 * 3;  // colorbar.dat: header and picture

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
    return text;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::u16string Wide(const char* text) {
    std::u16string wide;
    CUtfText::ToUtf16(text, &wide);
    return wide;
}

// The part of a device path that names the unit: the IEEE 1394 unique id or the deck's socket.
std::string DeviceId(const std::string& path) {
    const size_t colon = path.find(':');
    return colon == std::string::npos ? path : path.substr(colon + 1);
}

bool Matches(const CDeviceEntry& d, const std::string& wanted) {
    if (wanted == d.friendlyName || wanted == d.devicePath) return true;
    std::string id = Lower(DeviceId(d.devicePath)), w = Lower(wanted);
    if (w.rfind("0x", 0) == 0) w = w.substr(2);
    return !w.empty() && id == w;
}

// Where the colour-bar filter's library is (its InprocServer32), "" when unknown.
std::string LibraryOf(const CLSID& clsid) {
    OLECHAR text[64] = {};
    if (StringFromGUID2(clsid, text, 64) == 0) return "";
    const std::string key = "CLSID\\" + CUtfText::Utf8OrEmpty(text) + "\\InprocServer32";
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "";
    char path[4096] = {};
    DWORD size = sizeof path - 1, type = 0;
    const LONG rc = RegQueryValueExA(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(path) : "";
}

// Why colorbar.dat beside the library cannot give the bars ("" when it can), as run.sh checks it.
std::string PictureProblem(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) return "it is missing";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr || std::fgetc(f) == EOF) {
        if (f != nullptr) std::fclose(f);
        return "it cannot be read";
    }
    std::fclose(f);
    if (st.st_size < kPictureBytes) {
        return "it holds " + std::to_string(st.st_size) + " bytes, not the " + std::to_string(kPictureBytes) +
               " of a whole picture";
    }
    return "";
}

}  // namespace

std::string CStripeGraph::AddRegistered(IEnumRegFilters* records, const char* name, CComRef<IBaseFilter>* filter) {
    CLSID clsid {};
    std::u16string registered;
    if (!CGraphRecipe::FindRegisteredFilter(records, name, &clsid, &registered)) {
        return CBuildFailure::ComponentMissing(name);
    }
    const HRESULT hr = CGraphRecipe::CreateFilter(graph.get(), clsid, registered.c_str(), filter->out());
    if (!*filter) return CBuildFailure::ComponentMissing(name);
    if (FAILED(hr)) return std::string("cannot add ") + name + " to the graph";
    return "";
}

std::string CStripeGraph::AddPlatformFilter(REFCLSID clsid, const char* name, CComRef<IBaseFilter>* filter) {
    std::u16string shown;
    CUtfText::ToUtf16(name, &shown);
    if (FAILED(CGraphRecipe::CreateFilter(graph.get(), clsid, shown.c_str(), filter->out())) || !*filter) {
        return CBuildFailure::ComponentMissing(name);
    }
    return "";
}

std::string CStripeGraph::Connect(IBaseFilter* from, const char* output, IBaseFilter* to, const char* input) {
    CComRef<IPin> a, b;
    const HRESULT hr = CGraphRecipe::Connect(graph.get(), from, output, to, input, a.out(), b.out());
    if (!a || !b) return std::string("pin missing: ") + output + " -> " + input;
    if (FAILED(hr)) return std::string("cannot connect ") + output + " to " + input + ": " + Hex(hr);
    return "";
}

std::string CStripeGraph::BindDevice(const CStripeOptions& options, CStripeReport* report) {
    bool denied = false;
    std::vector<CDeviceEntry> devices = CGraphRecipe::FindDevices(kDeviceName, &denied);
    if (devices.empty()) return denied ? CDeviceAccess::NoPermission() : CBuildFailure::NoDevice();
    CDeviceEntry* chosen = &devices.back();
    if (!options.device.empty()) {
        chosen = nullptr;
        for (CDeviceEntry& d : devices) {
            if (Matches(d, options.device)) chosen = &d;
        }
        if (chosen == nullptr) {
            std::string known;
            for (const CDeviceEntry& d : devices) {
                known += "\n  " + CQuotedName::Shell(d.friendlyName) + "  " + CQuotedName::Shell(DeviceId(d.devicePath));
            }
            return "no DV device matches " + CQuotedName::Shell(options.device) + "; attached:" + known;
        }
    } else if (devices.size() > 1) {
        std::fprintf(stderr, "tamsel-stripe: %zu DV devices attached; using the last one (%s), choose with --device\n",
                     devices.size(), CQuotedName::Shell(DeviceId(chosen->devicePath)).c_str());
    }
    report->deviceName = chosen->friendlyName;
    report->deviceId = DeviceId(chosen->devicePath);
    if (FAILED(chosen->moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, device.outVoid())) || !device) {
        return CBuildFailure::ComponentMissing(kDeviceName);
    }
    return "";
}

std::string CStripeGraph::OpenDevice(const CStripeOptions& options, CStripeReport* report) {
    if (std::string failed = BindDevice(options, report); !failed.empty()) return failed;
    if (FAILED(device->QueryInterface(IID_IAMExtTransport, transport.outVoid())) || !transport) {
        return "the DV device takes no deck control";
    }
    device->QueryInterface(IID_IAMTimecodeReader, reader.outVoid());
    return "";
}

std::string CStripeGraph::AddTone(const CStripeOptions& options) {
    if (std::string failure = AddPlatformFilter(CLSID_ReferenceTone, "Reference Tone", &tone); !failure.empty()) {
        return failure;
    }
    CComRef<IReferenceTone> level;
    if (FAILED(tone->QueryInterface(IID_IReferenceTone, level.outVoid())) || FAILED(level->SetLevel(options.level))) {
        return "the reference tone does not take the level";
    }
    if (FAILED(level->SetSampleRate(options.audio32k ? 32000 : 48000))) return "the reference tone has no 32 kHz";
    if (FAILED(level->SetStandard(options.pal ? REFERENCE_BARS_625_50 : REFERENCE_BARS_525_60)))
        return "the reference tone does not follow 625/50 (PAL) frames";
    return Connect(tone.get(), "Output", muxer.get(), "Stream 1");
}

std::string CStripeGraph::SetStart(const CStripeOptions& options, CStripeReport* report) {
    CComRef<IAMTimecodeGenerator> generator;
    if (FAILED(muxer->QueryInterface(IID_IAMTimecodeGenerator, generator.outVoid()))) {
        return "DV Muxer takes no start timecode";
    }
    // A skipped label: the count starts at ;02 of its second.
    const dv::Timecode first = options.start.FirstShown();
    report->startFrame = first.Frame().value_or(0);
    report->dropFrame = options.dropFrame;
    report->rate = options.Rate();
    report->system = (options.pal ? dv::k625_50 : dv::k525_60).name;
    // The stream begins with the pre-roll, its timecode counting up to the start.
    const dv::Timecode streamStart =
        options.Label(CRecordLoop::StreamStart(report->startFrame, options.PrerollFrames()));
    TIMECODE_SAMPLE start {};
    start.timecode.dwFrames = streamStart.Bcd();
    start.dwFlags = options.dropFrame ? AM_TIMECODE_FLAG_DF : 0;
    start.dwUser = options.userBits;
    if (FAILED(generator->SetTimecode(&start))) return "DV Muxer refused the start timecode " + streamStart.Text();
    if (!(first == options.start)) {
        std::fprintf(stderr, "tamsel-stripe: %s is a label drop-frame timecode skips; the timecode starts at %s\n",
                     options.start.Text().c_str(), first.Text().c_str());
    }
    return "";
}

std::string CStripeGraph::SettleSystem(CStripeOptions& options) {
    LONG standard = DV_STANDARD_525_60;
    if (!stream || FAILED(stream->GetDeviceStandard(&standard))) {
        // A unit that cannot say takes what is asked, 525/60 unless told.
        return options.standardGiven ? "" : options.ForSystem(false);
    }
    const bool unitPal = standard == DV_STANDARD_625_50;
    if (!options.standardGiven) return options.ForSystem(unitPal);
    if (unitPal == options.pal) return "";
    return unitPal ? "the deck takes 625/50 (PAL): use --standard pal"
                   : "the deck takes 525/60 (NTSC): use --standard ntsc";
}

std::string CStripeGraph::AddPattern(const CStripeOptions& options, CStripeReport* report) {
    if (std::string failure = AddPlatformFilter(CLSID_ReferenceBars, "Reference Bars", &source); !failure.empty()) return failure;
    CComRef<IReferenceBars> bars;
    if (FAILED(source->QueryInterface(IID_IReferenceBars, bars.outVoid()))) return "Reference Bars takes no pattern";
    if (FAILED(bars->SetStandard(options.pal ? REFERENCE_BARS_625_50 : REFERENCE_BARS_525_60))) {
        return "Reference Bars does not make 625/50 (PAL) pictures";
    }
    // 625/50's own bars: EBU 75 %.
    const std::string name = options.pattern.empty() ? "ebu75" : options.pattern;
    if (LONG pattern = REFERENCE_BARS_EBU75; CLeaderLayout::PatternNamed(name, &pattern)) {
        report->picture = CPicturePatches::Name(CPicturePatches::OfReferenceBars(pattern));
        return SUCCEEDED(bars->SetPattern(pattern)) ? "" : "Reference Bars refused the pattern " + name;
    }
    std::u16string path;
    CUtfText::ToUtf16(options.pattern.c_str(), &path);
    const HRESULT hr = bars->SetPictureFile(reinterpret_cast<LPCWSTR>(path.c_str()));
    const std::string file = CQuotedName::Shell(options.pattern);
    if (hr == VFW_E_TYPE_NOT_ACCEPTED)
        return "--pattern: " + file + " is not a picture of " + (options.pal ? "720 x 576" : "720 x 480");
    if (FAILED(hr)) return "--pattern: " + file + " is neither a pattern's name nor a picture file that can be read";
    report->picture = options.pattern;
    return "";
}

namespace {

// Where the leader sits: the stream from the pre-roll's first label, the leader from its own.
LEADER_PLACE PlaceOf(const CStripeOptions& options) {
    const int64_t first = options.start.FirstShown().Frame().value_or(0);
    LEADER_PLACE place {};
    place.streamStart = static_cast<LONG>(CRecordLoop::StreamStart(first, options.PrerollFrames()));
    place.leaderStart = static_cast<LONG>(first);
    place.dropFrame = options.dropFrame ? TRUE : FALSE;
    place.standard = options.pal ? REFERENCE_BARS_625_50 : REFERENCE_BARS_525_60;
    return place;
}

}  // namespace

std::string CStripeGraph::AddLeader(const CStripeOptions& options, CStripeReport* report) {
    if (std::string failure = AddPlatformFilter(CLSID_ReferenceLeader, "Reference Leader", &source); !failure.empty()) return failure;
    CComRef<IReferenceLeader> leader;
    if (FAILED(source->QueryInterface(IID_IReferenceLeader, leader.outVoid()))) return "Reference Leader takes no leader";
    std::string barsFile;
    const LONG pattern = options.LeaderBarsPattern(&barsFile);
    const std::vector<LEADER_SEGMENT> segments = options.layout.ForPlatform(pattern, barsFile);
    const LEADER_PLACE place = PlaceOf(options);
    const HRESULT hr = leader->SetLeader(segments.data(), static_cast<LONG>(segments.size()), &place);
    if (hr == VFW_E_TYPE_NOT_ACCEPTED)
        return std::string("--layout: a picture is not of ") + (options.pal ? "720 x 576" : "720 x 480");
    if (FAILED(hr)) return "--layout: a picture file cannot be read, or Reference Leader refused the layout";
    std::u16string lines;
    CUtfText::ToUtf16(CLeaderSlate::Lines(options, std::time(nullptr)).c_str(), &lines);
    if (FAILED(leader->SetSlate(reinterpret_cast<LPCWSTR>(lines.c_str()))) ||
        FAILED(leader->SetBurnIn(options.burnIn ? TRUE : FALSE))) {
        return "Reference Leader refused the slate or the burnt-in timecode";
    }
    report->picture = "leader " + options.layoutText + (options.burnIn ? ", timecode burnt in" : "");
    return "";
}

std::string CStripeGraph::SetLeaderSound(const CStripeOptions& options) {
    CComRef<ILeaderSound> sound;
    if (FAILED(tone->QueryInterface(IID_ILeaderSound, sound.outVoid()))) return "Reference Tone cannot follow a leader";
    std::string barsFile;
    const std::vector<LEADER_SEGMENT> segments = options.layout.ForPlatform(options.LeaderBarsPattern(&barsFile), barsFile);
    const LEADER_PLACE place = PlaceOf(options);
    if (FAILED(sound->SetLeader(segments.data(), static_cast<LONG>(segments.size()), &place, options.tone ? TRUE : FALSE)))
        return "Reference Tone refused the leader";
    return "";
}

std::string CStripeGraph::SetFormat(const CStripeOptions& options) {
    const LONG aspect = options.wide ? DV_ASPECT_16_9 : DV_ASPECT_4_3;
    for (IBaseFilter* filter : {encoder.get(), muxer.get()}) {
        CComRef<IDVAspect> shape;
        if (FAILED(filter->QueryInterface(IID_IDVAspect, shape.outVoid())) || FAILED(shape->SetAspect(aspect))) {
            if (options.wide) return "the DV encoder or muxer cannot signal 16:9";
        }
    }
    CComRef<IDVAudioMode> audio;
    if (FAILED(muxer->QueryInterface(IID_IDVAudioMode, audio.outVoid())) ||
        FAILED(audio->SetAudioMode(options.audio32k ? DV_AUDIO_32K_4CH : DV_AUDIO_48K_2CH))) {
        if (options.audio32k) return "DV Muxer cannot write 32 kHz four-channel audio";
    }
    return "";
}

void CStripeGraph::CheckPicture(IEnumRegFilters* records, CStripeReport* report) {
    CLSID bars {};
    std::u16string name;
    if (!CGraphRecipe::FindRegisteredFilter(records, "Velora Color Bar", &bars, &name)) return;
    const std::string library = LibraryOf(bars);
    const size_t slash = library.rfind('/');
    const std::string picture =
        (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) + "/colorbar.dat";
    const std::string problem = library.empty() ? "the filter library is not known" : PictureProblem(picture);
    if (problem.empty()) return;
    std::fprintf(stderr, "tamsel-stripe: warning: %s: %s; the filter sends its uniform fallback picture, not colour bars\n",
                 CQuotedName::Shell(picture).c_str(), problem.c_str());
    report->picture = "the uniform fallback picture (no colour bars: " + picture + " " + problem + ")";
}

std::string CStripeGraph::Build(CStripeOptions& options, CStripeReport* report) {
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.outVoid()))) {
        return "no filter graph manager";
    }
    CComRef<IFilterMapper> mapper;
    CComRef<IEnumRegFilters> records;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                   mapper.outVoid()))) {
        mapper->EnumMatchingFilters(records.out(), MERIT_DO_NOT_USE, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE,
                                    GUID_NULL, GUID_NULL);
    }
    // The unit first: its system decides the picture's and the counting (nothing is sent yet).
    if (std::string failed = BindDevice(options, report); !failed.empty()) return failed;
    device->QueryInterface(IID_IDVDeviceStream, stream.outVoid());
    if (std::string failed = SettleSystem(options); !failed.empty()) return failed;
    const bool ownBars = options.pattern.empty() && !options.pal && !options.leader;
    if (options.leader) {
        if (std::string failed = AddLeader(options, report); !failed.empty()) return failed;
    } else if (ownBars) {
        if (std::string failed = AddRegistered(records.get(), "Velora Color Bar", &source); !failed.empty()) return failed;
    } else if (std::string failed = AddPattern(options, report); !failed.empty()) {
        return failed;
    }
    for (const auto& [name, filter] : {std::pair<const char*, CComRef<IBaseFilter>*>{"DV Video Encoder", &encoder},
                                       {"DV Muxer", &muxer}}) {
        const std::string failed = AddRegistered(records.get(), name, filter);
        if (!failed.empty()) return failed;
    }
    if (std::string failed = SetFormat(options); !failed.empty()) return failed;
    if (FAILED(graph->AddFilter(device.get(), Wide(kDeviceName).c_str()))) return "cannot add the DV device";
    for (const std::string& failed : {Connect(source.get(), "Output", encoder.get(), "XForm In"),
                                      Connect(encoder.get(), "XForm Out", muxer.get(), "Stream 0"),
                                      Connect(muxer.get(), "Output", device.get(), "DV A/V In")}) {
        if (!failed.empty()) return failed;
    }
    // A leader's blips and two-pop sound with or without the bars' tone.
    if (options.tone || options.leader) {
        if (std::string failed = AddTone(options); !failed.empty()) return failed;
    }
    if (options.leader) {
        if (std::string failed = SetLeaderSound(options); !failed.empty()) return failed;
    }
    if (std::string failed = SetStart(options, report); !failed.empty()) return failed;
    device->QueryInterface(IID_IAMExtTransport, transport.outVoid());
    device->QueryInterface(IID_IAMTimecodeReader, reader.outVoid());
    if (!stream || FAILED(stream->SetFrameBudget(CRecordLoop::Budget(options.PrerollFrames(), options.frames)))) {
        return "the DV device cannot be given an exact number of frames";
    }
    graph->QueryInterface(IID_IMediaControl, control.outVoid());
    graph->QueryInterface(IID_IMediaEvent, events.outVoid());
    if (!control || !events) return "no media control or events";
    if (ownBars) CheckPicture(records.get(), report);
    return "";
}
