// tamsel-stripe: puts an exact length of colour bars and reference tone, with continuous timecode
// from a chosen start, onto a DV camcorder or deck, on the graph Tamsel builds
// ("Velora Color Bar" -> "DV Video Encoder" -> "DV Muxer" -> "Microsoft DV Camera and VCR") plus
// "Reference Tone" into the muxer's "Stream 1". COM and the published interfaces only, and the
// platform's extension header for the tone and the device's frame budget.
//
// Recording over a tape destroys what is on it, so record is commanded only with --record.
//
// Threads: one (COM on it); SIGINT and SIGTERM only set a flag that the event loop looks at.
#include <dshow.h>
#include <getopt.h>
#include <platform/platform.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "messages/stream_failure.h"
#include "stripe_timecode.h"

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) { g_stopSignal = sig; }

constexpr const char kDeviceName[] = "Microsoft DV Camera and VCR";
constexpr LONG kPictureBytes = 54 + 720 * 480 * 3;  // colorbar.dat: header and picture

template <typename T>
class Ref {
public:
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p(other.p) { other.p = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Reset();
            p = other.p;
            other.p = nullptr;
        }
        return *this;
    }
    T* get() const { return p; }
    T* operator->() const { return p; }
    T** out() {
        Reset();
        return &p;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    void Reset() {
        if (p != nullptr) p->Release();
        p = nullptr;
    }
    explicit operator bool() const { return p != nullptr; }

private:
    T* p = nullptr;
};

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        const unsigned c = unsigned(*text);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
    return text;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// ---- options ------------------------------------------------------------------------------------

struct Options {
    int64_t frames = 0;
    stripe::Label start {};
    bool tone = true;
    double level = REFERENCE_TONE_DEFAULT_LEVEL;
    bool record = false;
    std::string device;
    bool json = false;
};

const char kUsage[] =
    "usage: tamsel-stripe --duration LENGTH [--timecode HH:MM:SS;FF] [--tone [LEVEL] | --no-tone]\n"
    "                     [--record] [--device NAME|ID] [--json]\n";

const char kHelp[] =
    "Puts colour bars and a reference tone with continuous timecode onto a DV camcorder or deck:\n"
    "exactly LENGTH of them, timecode from the start given, the recording date and time of now.\n"
    "\n"
    "  --duration LENGTH     how much: seconds (10, 2.5) or a timecode length (00:01:00;00);\n"
    "                        30 frames to a second of timecode (required)\n"
    "  --timecode START      the first frame's timecode, HH:MM:SS;FF (default 00:00:00;00; a\n"
    "                        label drop-frame counting skips starts at ;02 of that second)\n"
    "  --tone [LEVEL]        1 kHz tone at LEVEL dBFS, -90 to 0 (default -20, the SMPTE\n"
    "                        reference; -18 for EBU practice); the default\n"
    "  --no-tone             silence instead of the tone\n"
    "  --record              command the device to record before the first frame and to stop\n"
    "                        after the last; without it the device records only if REC is\n"
    "                        pressed on it\n"
    "  --device NAME|ID      the device, when several are attached: its friendly name, its\n"
    "                        IEEE 1394 unique id (16 hex digits) or a deck's device path\n"
    "                        (deck:SOCKET); default the last one listed, as Tamsel uses\n"
    "  --json                print the summary as JSON on standard output\n"
    "  -h, --help            show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n"
    "Exit status: 0 all frames sent, 1 failure (no device, no tape, write-protected tape, record\n"
    "refused, device lost), 2 usage error, 130 stopped by SIGINT or SIGTERM.\n"
    "\n"
    "Environment:\n"
    "  PLATFORM_STATE_DIR  the platform's state (registry); default\n"
    "                      ~/.local/share/tamsel-platform\n"
    "  PLATFORM_DEBUG      diagnostics on stderr, as CATEGORY:LEVEL,... with levels\n"
    "                      1 errors .. 4 debugging, e.g. dv:3,deck:3,*:2\n"
    "See tamsel-stripe(1).\n";

// Prints an answer to --help or --version: 0, or 1 when it could not be written.
int Answer(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "tamsel-stripe: %s\n%s", text.c_str(), kUsage);
    return 2;
}

bool ParseLevel(const char* text, double* level) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value)) return false;
    *level = value;
    return true;
}

bool LooksLikeNumber(const char* text) {
    if (text == nullptr) return false;
    if (*text == '-' || *text == '+') ++text;
    return std::isdigit(static_cast<unsigned char>(*text)) || (*text == '.' && std::isdigit(static_cast<unsigned char>(text[1])));
}

// The exit status when the program is to end now, else -1.
int ParseOptions(int argc, char** argv, Options* o) {
    enum { kDuration = 256, kTimecode, kTone, kNoTone, kRecord, kDevice, kJson, kVersion };
    static const option longOptions[] = {
        {"duration", required_argument, nullptr, kDuration}, {"timecode", required_argument, nullptr, kTimecode},
        {"tone", optional_argument, nullptr, kTone},         {"no-tone", no_argument, nullptr, kNoTone},
        {"record", no_argument, nullptr, kRecord},           {"device", required_argument, nullptr, kDevice},
        {"json", no_argument, nullptr, kJson},               {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},         {nullptr, 0, nullptr, 0}};
    bool haveDuration = false, toneGiven = false, noToneGiven = false;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, "+h", longOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case kDuration:
                if (!stripe::ParseDuration(optarg, &o->frames)) {
                    return UsageError(std::string("--duration: not a length: '") + optarg +
                                      "' (seconds, or HH:MM:SS;FF)");
                }
                haveDuration = true;
                break;
            case kTimecode:
                if (!stripe::ParseLabel(optarg, &o->start)) {
                    return UsageError(std::string("--timecode: not a timecode: '") + optarg + "' (HH:MM:SS;FF)");
                }
                break;
            case kTone: {
                toneGiven = true;
                o->tone = true;
                const char* value = optarg;
                // "--tone -18": the level as the next word.
                if (value == nullptr && optind < argc && LooksLikeNumber(argv[optind])) value = argv[optind++];
                if (value != nullptr &&
                    (!ParseLevel(value, &o->level) || o->level > 0 || o->level < REFERENCE_TONE_MIN_LEVEL)) {
                    return UsageError(std::string("--tone: LEVEL must be a number of dBFS from -90 to 0, not '") +
                                      value + "'");
                }
                break;
            }
            case kNoTone:
                noToneGiven = true;
                o->tone = false;
                break;
            case kRecord:
                o->record = true;
                break;
            case kDevice:
                o->device = optarg;
                break;
            case kJson:
                o->json = true;
                break;
            case 'h':
                return Answer(std::string(kUsage) + kHelp);
            case kVersion:
                return Answer(std::string("tamsel-stripe ") + TAMSEL_VERSION + "\n");
            default:
                return UsageError(optopt != 0 && optopt < 256 ? std::string("unknown option '-") + char(optopt) + "'"
                                                              : std::string("bad option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) return UsageError(std::string("unexpected argument '") + argv[optind] + "'");
    if (toneGiven && noToneGiven) return UsageError("--tone and --no-tone exclude each other");
    if (!haveDuration) return UsageError("--duration is required");
    return -1;
}

// ---- the graph ----------------------------------------------------------------------------------

bool FindPin(IBaseFilter* filter, const std::string& name, Ref<IPin>* out) {
    Ref<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.out()))) return false;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_INFO info {};
        const bool match = SUCCEEDED(pin->QueryPinInfo(&info)) && Narrow(info.achName) == name;
        if (info.pFilter != nullptr) info.pFilter->Release();
        if (match) {
            *out->out() = pin;
            return true;
        }
        pin->Release();
    }
    return false;
}

bool FindRegistered(const std::string& name, CLSID* clsid) {
    Ref<IFilterMapper> mapper;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                mapper.outVoid()))) {
        return false;
    }
    Ref<IEnumRegFilters> filters;
    mapper->EnumMatchingFilters(filters.out(), MERIT_DO_NOT_USE, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL,
                                GUID_NULL);
    if (!filters) return false;
    bool found = false;
    REGFILTER* record = nullptr;
    while (!found && filters->Next(1, &record, nullptr) == S_OK) {
        if (Narrow(record->Name) == name) {
            *clsid = record->Clsid;
            found = true;
        }
        CoTaskMemFree(record);
    }
    return found;
}

// Where the colour-bar filter's library is (its InprocServer32), "" when unknown.
std::string LibraryOf(const CLSID& clsid) {
    OLECHAR text[64] = {};
    if (StringFromGUID2(clsid, text, 64) == 0) return "";
    const std::string key = "CLSID\\" + Narrow(text) + "\\InprocServer32";
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

struct Device {
    std::string name;
    std::string path;
    Ref<IMoniker> moniker;
};

std::string ReadBagText(IPropertyBag* bag, const char16_t* name) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    std::string text;
    if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR) text = Narrow(value.bstrVal);
    VariantClear(&value);
    return text;
}

std::vector<Device> ListDevices() {
    std::vector<Device> devices;
    Ref<ICreateDevEnum> devEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devEnum.outVoid()))) {
        return devices;
    }
    Ref<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.out(), 0) != S_OK) return devices;
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        Device device;
        *device.moniker.out() = moniker;
        Ref<IPropertyBag> bag;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.outVoid()))) {
            device.name = ReadBagText(bag.get(), u"FriendlyName");
            device.path = ReadBagText(bag.get(), u"DevicePath");
        }
        if (device.name == kDeviceName) devices.push_back(std::move(device));
    }
    return devices;
}

// The part of a device path that names the unit: the IEEE 1394 unique id or the deck's socket.
std::string DeviceId(const std::string& path) {
    const size_t colon = path.find(':');
    return colon == std::string::npos ? path : path.substr(colon + 1);
}

bool Matches(const Device& d, const std::string& wanted) {
    if (wanted == d.name || wanted == d.path) return true;
    std::string id = Lower(DeviceId(d.path)), w = Lower(wanted);
    if (w.rfind("0x", 0) == 0) w = w.substr(2);
    return !w.empty() && id == w;
}

// ---- the run ------------------------------------------------------------------------------------

struct Graph {
    Ref<IGraphBuilder> graph;
    Ref<IBaseFilter> source, encoder, muxer, device, tone;
    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    Ref<IAMExtTransport> transport;
    Ref<IAMTimecodeReader> reader;
    Ref<IDVDeviceStream> stream;
};

std::string AddFilter(Graph& g, const std::string& name, Ref<IBaseFilter>* filter) {
    CLSID clsid {};
    if (!FindRegistered(name, &clsid)) return "必要なコンポーネントのロードに失敗しました。(" + name + ")";
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter->outVoid()))) {
        return "必要なコンポーネントのロードに失敗しました。(" + name + ")";
    }
    if (FAILED(g.graph->AddFilter(filter->get(), Wide(name).c_str()))) return "cannot add " + name + " to the graph";
    return "";
}

std::string Connect(Graph& g, IBaseFilter* from, const char* out, IBaseFilter* to, const char* in) {
    Ref<IPin> a, b;
    if (!FindPin(from, out, &a) || !FindPin(to, in, &b)) return std::string("pin missing: ") + out + " -> " + in;
    const HRESULT hr = g.graph->ConnectDirect(a.get(), b.get(), nullptr);
    if (FAILED(hr)) return std::string("cannot connect ") + out + " to " + in + ": " + Hex(hr);
    return "";
}

struct Summary {
    std::string device;
    std::string picture = "colour bars";
    std::string recording = "unknown";  // commanded, device, not-recording, unknown
    std::string result = "complete";
    std::string message;
    int64_t requested = 0;
    int64_t sent = 0;
    int64_t repeated = -1;
    int64_t recorded = -1;
    bool positionKnown = false;
    std::string position;
    int64_t startFrame = 0;
    bool tone = false;
    double level = 0;
};

std::string SendRange(const Summary& s) {
    if (s.sent <= 0) return "none";
    return stripe::Text(stripe::LabelOfFrame(s.startFrame)) + " - " +
           stripe::Text(stripe::LabelOfFrame(s.startFrame + s.sent - 1));
}

void PrintSummary(const Summary& s, bool json) {
    if (json) {
        std::printf("{\"result\": %s, \"device\": %s, \"picture\": %s, \"recording\": %s, "
                    "\"tone_dbfs\": %s, \"start\": %s, \"frames_requested\": %lld, \"frames_sent\": %lld, "
                    "\"frames_repeated\": %s, \"frames_recorded\": %s, \"tape_position\": %s, \"message\": %s}\n",
                    JsonText(s.result).c_str(), JsonText(s.device).c_str(), JsonText(s.picture).c_str(),
                    JsonText(s.recording).c_str(), s.tone ? Number(s.level).c_str() : "null",
                    JsonText(stripe::Text(stripe::LabelOfFrame(s.startFrame))).c_str(),
                    static_cast<long long>(s.requested), static_cast<long long>(s.sent),
                    s.repeated >= 0 ? std::to_string(s.repeated).c_str() : "null",
                    s.recorded >= 0 ? std::to_string(s.recorded).c_str() : "null",
                    s.positionKnown ? JsonText(s.position).c_str() : "null", JsonText(s.message).c_str());
    } else {
        std::printf("tamsel-stripe: %s: %lld of %lld frames sent (%s) to %s\n", s.result.c_str(),
                    static_cast<long long>(s.sent), static_cast<long long>(s.requested), SendRange(s).c_str(),
                    s.device.c_str());
        std::printf("  picture: %s; audio: %s\n", s.picture.c_str(),
                    s.tone ? ("1 kHz tone at " + std::to_string(int(std::lround(s.level))) + " dBFS").c_str()
                           : "silence");
        std::printf("  recording: %s", s.recording.c_str());
        if (s.recorded >= 0) std::printf("; the device recorded %lld frames", static_cast<long long>(s.recorded));
        if (s.repeated >= 0) std::printf("; %lld ticks without a new frame", static_cast<long long>(s.repeated));
        if (s.positionKnown) std::printf("; tape at %s", s.position.c_str());
        std::printf("\n");
    }
    std::fflush(stdout);
}

int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool TapePosition(IAMTimecodeReader* reader, std::string* text) {
    TIMECODE_SAMPLE sample {};
    if (reader == nullptr || reader->GetTimecode(&sample) != S_OK) return false;
    std::string label = stripe::Text(stripe::FromBcd(sample.timecode.dwFrames));
    if (!(sample.dwFlags & AM_TIMECODE_FLAG_DF)) label[8] = ':';
    *text = label;
    return true;
}

class Striper {
public:
    explicit Striper(const Options& o) : options(o) {}
    int Run();

private:
    int Fail(const std::string& text);
    std::string Build();
    int Stream();
    void StopDeck();

    int Prepare();

    const Options& options;
    Graph g;
    Summary summary;
    bool weStartedRecording = false;
    bool streamed = false;  // the graph was run
};

int Striper::Fail(const std::string& text) {
    std::fprintf(stderr, "tamsel-stripe: %s\n", text.c_str());
    summary.result = "failed";
    summary.message = text;
    return 1;
}

std::string Striper::Build() {
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                g.graph.outVoid()))) {
        return "no filter graph manager";
    }
    for (const auto& [name, filter] : {std::pair<const char*, Ref<IBaseFilter>*>{"Velora Color Bar", &g.source},
                                       {"DV Video Encoder", &g.encoder},
                                       {"DV Muxer", &g.muxer}}) {
        const std::string failed = AddFilter(g, name, filter);
        if (!failed.empty()) return failed;
    }
    std::vector<Device> devices = ListDevices();
    if (devices.empty()) return "DV機器が見つかりませんでした。";
    Device* chosen = &devices.back();
    if (!options.device.empty()) {
        chosen = nullptr;
        for (Device& d : devices) {
            if (Matches(d, options.device)) chosen = &d;
        }
        if (chosen == nullptr) {
            std::string known;
            for (const Device& d : devices) known += "\n  " + d.name + "  " + DeviceId(d.path);
            return "no DV device matches '" + options.device + "'; attached:" + known;
        }
    } else if (devices.size() > 1) {
        std::fprintf(stderr, "tamsel-stripe: %zu DV devices attached; using the last one (%s), choose with --device\n",
                     devices.size(), DeviceId(chosen->path).c_str());
    }
    summary.device = chosen->name + " (" + DeviceId(chosen->path) + ")";
    if (FAILED(chosen->moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, g.device.outVoid()))) {
        return "必要なコンポーネントのロードに失敗しました。(" + std::string(kDeviceName) + ")";
    }
    if (FAILED(g.graph->AddFilter(g.device.get(), Wide(kDeviceName).c_str()))) return "cannot add the DV device";
    for (const std::string& failed : {Connect(g, g.source.get(), "Output", g.encoder.get(), "XForm In"),
                                      Connect(g, g.encoder.get(), "XForm Out", g.muxer.get(), "Stream 0"),
                                      Connect(g, g.muxer.get(), "Output", g.device.get(), "DV A/V In")}) {
        if (!failed.empty()) return failed;
    }
    if (options.tone) {
        if (FAILED(CoCreateInstance(CLSID_ReferenceTone, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    g.tone.outVoid())) ||
            FAILED(g.graph->AddFilter(g.tone.get(), u"Reference Tone"))) {
            return "必要なコンポーネントのロードに失敗しました。(Reference Tone)";
        }
        Ref<IReferenceTone> tone;
        if (FAILED(g.tone->QueryInterface(IID_IReferenceTone, tone.outVoid())) ||
            FAILED(tone->SetLevel(options.level))) {
            return "the reference tone does not take the level";
        }
        const std::string failed = Connect(g, g.tone.get(), "Output", g.muxer.get(), "Stream 1");
        if (!failed.empty()) return failed;
    }
    Ref<IAMTimecodeGenerator> generator;
    if (FAILED(g.muxer->QueryInterface(IID_IAMTimecodeGenerator, generator.outVoid()))) {
        return "DV Muxer takes no start timecode";
    }
    TIMECODE_SAMPLE start {};
    start.timecode.dwFrames = stripe::Bcd(options.start);
    start.dwFlags = AM_TIMECODE_FLAG_DF;
    const HRESULT set = generator->SetTimecode(&start);
    if (FAILED(set)) return "DV Muxer refused the start timecode " + stripe::Text(options.start);
    stripe::Label first = options.start;
    if (set == S_FALSE) first.frames = 2;  // a skipped label: the count starts at ;02
    stripe::FrameOfLabel(first, &summary.startFrame);
    if (set == S_FALSE) {
        std::fprintf(stderr, "tamsel-stripe: %s is a label drop-frame timecode skips; the timecode starts at %s\n",
                     stripe::Text(options.start).c_str(), stripe::Text(first).c_str());
    }
    g.device->QueryInterface(IID_IAMExtTransport, g.transport.outVoid());
    g.device->QueryInterface(IID_IAMTimecodeReader, g.reader.outVoid());
    if (FAILED(g.device->QueryInterface(IID_IDVDeviceStream, g.stream.outVoid())) ||
        FAILED(g.stream->SetFrameBudget(options.frames))) {
        return "the DV device cannot be given an exact number of frames";
    }
    g.graph->QueryInterface(IID_IMediaControl, g.control.outVoid());
    g.graph->QueryInterface(IID_IMediaEvent, g.events.outVoid());
    if (!g.control || !g.events) return "no media control or events";
    return "";
}

// The reason put_Mode(ED_MODE_RECORD) was refused, for the user.
std::string RecordRefusal(HRESULT hr) {
    if (hr == HRESULT_FROM_WIN32(21)) return "there is no tape in the device; nothing was sent";
    if (hr == HRESULT_FROM_WIN32(19)) return "the tape in the device is write-protected; nothing was sent";
    if (hr == E_NOTIMPL) return "the device does not take a record command; nothing was sent (press REC on it and run without --record)";
    if (hr == HRESULT_FROM_WIN32(1167)) return CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr);
    if (hr == HRESULT_FROM_WIN32(ERROR_TIMEOUT)) return "the device did not answer the record command; nothing was sent";
    return "the device refused to record (" + Hex(hr) + "); nothing was sent";
}

void Striper::StopDeck() {
    if (!weStartedRecording || !g.transport) return;
    weStartedRecording = false;
    const HRESULT hr = g.transport->put_Mode(ED_MODE_STOP);
    if (FAILED(hr)) std::fprintf(stderr, "tamsel-stripe: could not stop the device (%s)\n", Hex(hr).c_str());
}

int Striper::Run() {
    int status = Prepare();
    if (status < 0) {
        streamed = true;
        status = Stream();
        // Exact now that the transport is closed: what left for the device and is not on its tape.
        if (summary.recorded >= 0 && summary.recording != "not-recording" && summary.sent > summary.recorded) {
            std::fprintf(stderr, "tamsel-stripe: %lld frames sent did not reach the tape\n",
                         static_cast<long long>(summary.sent - summary.recorded));
        }
    }
    if (streamed || options.json) PrintSummary(summary, options.json);
    return status;
}

// Builds the graph and readies the device: -1 to go on and stream, else the exit status.
int Striper::Prepare() {
    summary.requested = options.frames;
    summary.tone = options.tone;
    summary.level = options.level;
    const std::string built = Build();
    if (!built.empty()) return Fail(built);

    CLSID bars {};
    if (FindRegistered("Velora Color Bar", &bars)) {
        const std::string library = LibraryOf(bars);
        const size_t slash = library.rfind('/');
        const std::string picture = (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) +
                                    "/colorbar.dat";
        const std::string problem = library.empty() ? "the filter library is not known" : PictureProblem(picture);
        if (!problem.empty()) {
            std::fprintf(stderr,
                         "tamsel-stripe: warning: %s: %s; the filter sends its uniform fallback picture, not colour bars\n",
                         picture.c_str(), problem.c_str());
            summary.picture = "the uniform fallback picture (no colour bars: " + picture + " " + problem + ")";
        }
    }

    // The tape first: nothing goes out to a device that cannot record it.
    if (g.transport) {
        LONG present = OATRUE, inhibit = OAFALSE;
        HRESULT hr = g.transport->GetStatus(ED_MEDIA_PRESENT, &present);
        if (SUCCEEDED(hr)) hr = g.transport->GetStatus(ED_RECORD_INHIBIT, &inhibit);
        if (hr == HRESULT_FROM_WIN32(1167)) return Fail(CStreamFailure::Describe(CStreamFailure::kStarting, 0, hr));
        if (SUCCEEDED(hr) && present == OAFALSE) return Fail("there is no tape in the device; nothing was sent");
        if (SUCCEEDED(hr) && inhibit == OATRUE) {
            return Fail("the tape in the device is write-protected; nothing was sent");
        }
    }
    if (options.record) {
        const HRESULT hr = g.transport ? g.transport->put_Mode(ED_MODE_RECORD) : E_NOTIMPL;
        if (FAILED(hr)) return Fail(RecordRefusal(hr));
        weStartedRecording = true;
        LONG mode = 0;
        if (g.transport->get_Mode(&mode) == S_OK && mode != ED_MODE_RECORD) {
            StopDeck();
            return Fail("the device took the record command but is not recording; nothing was sent");
        }
        summary.recording = "commanded";
    } else {
        LONG mode = 0;
        const HRESULT hr = g.transport ? g.transport->get_Mode(&mode) : E_NOTIMPL;
        if (hr == S_OK && mode == ED_MODE_RECORD) {
            summary.recording = "device";
        } else if (hr == S_OK) {
            summary.recording = "not-recording";
            std::fprintf(stderr,
                         "tamsel-stripe: the device is not recording: the frames are sent but not recorded "
                         "(press REC on it, or use --record)\n");
        } else {
            std::fprintf(stderr, "tamsel-stripe: the device does not say whether it records; press REC on it\n");
        }
    }
    return -1;
}

int Striper::Stream() {
    const HRESULT ran = g.control->Run();
    if (FAILED(ran)) {
        g.control->Stop();
        StopDeck();
        return Fail(CStreamFailure::Describe(CStreamFailure::kStarting, 0, ran));
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const int64_t every = terminal ? 500 : 5000;
    int64_t nextReport = NowMs() + every;
    std::string failure;
    bool complete = false;
    while (!complete && failure.empty() && g_stopSignal == 0) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (g.events->GetEvent(&code, &p1, &p2, 200) == S_OK) {
            if (code == EC_COMPLETE) {
                complete = true;
            } else if (CStreamFailure::EndsStreaming(code, p2)) {
                failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
            }
            g.events->FreeEventParams(code, p1, p2);
        }
        if (NowMs() >= nextReport && !complete && failure.empty()) {
            nextReport = NowMs() + every;
            DVStreamProgress progress {};
            g.stream->GetProgress(&progress);
            std::string position;
            const bool known = TapePosition(g.reader.get(), &position);
            const int64_t left = options.frames - progress.framesSent;
            // A frame or two are always on their way (in the socket, being received): only
            // those beyond that and not recorded are lost.
            const int64_t lost = progress.framesRecorded >= 0 && summary.recording != "not-recording"
                                     ? std::max<int64_t>(0, progress.framesSent - progress.framesRecorded - 2)
                                     : 0;
            char line[256];
            std::snprintf(line, sizeof line, "%s  sent %lld/%lld  lost %lld  repeated %s  left %.1f s%s%s",
                          stripe::Text(stripe::LabelOfFrame(summary.startFrame + progress.framesSent)).c_str(),
                          static_cast<long long>(progress.framesSent), static_cast<long long>(options.frames),
                          static_cast<long long>(lost),
                          progress.framesRepeated >= 0 ? std::to_string(progress.framesRepeated).c_str() : "?",
                          double(left) * 1001.0 / 30000.0, known ? "  tape " : "", known ? position.c_str() : "");
            if (terminal) {
                std::fprintf(stderr, "\r\033[K%s", line);
            } else {
                std::fprintf(stderr, "tamsel-stripe: %s\n", line);
            }
            std::fflush(stderr);
        }
    }
    if (terminal) std::fprintf(stderr, "\r\033[K");
    // Stopping ends the transport on a whole frame; what comes to light only then is told too.
    g.control->Stop();
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (g.events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        if (failure.empty() && CStreamFailure::EndsStreaming(code, p2)) {
            failure = CStreamFailure::Describe(CStreamFailure::kStreaming, code, HRESULT(p1));
        }
        g.events->FreeEventParams(code, p1, p2);
    }
    DVStreamProgress progress {};
    g.stream->GetProgress(&progress);
    summary.sent = progress.framesSent;
    summary.repeated = progress.framesRepeated;
    summary.recorded = progress.framesRecorded;
    StopDeck();
    summary.positionKnown = TapePosition(g.reader.get(), &summary.position);
    if (!failure.empty()) return Fail(failure);
    if (g_stopSignal != 0 && !complete) {
        summary.result = "interrupted";
        summary.message = std::string("stopped by ") + (g_stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
        std::fprintf(stderr, "tamsel-stripe: %s after %lld of %lld frames (%s)\n", summary.message.c_str(),
                     static_cast<long long>(summary.sent), static_cast<long long>(options.frames),
                     SendRange(summary).c_str());
        return 130;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseOptions(argc, argv, &options); status >= 0) return status;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "tamsel-stripe: COM could not be initialised\n");
        return 1;
    }
    int status = 0;
    {
        Striper striper(options);
        status = striper.Run();
    }
    CoUninitialize();
    return status;
}
