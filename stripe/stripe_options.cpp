#include "stripe_options.h"

#include <getopt.h>
#include <platform/platform.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace {

const char kUsage[] =
    "usage: tamsel-stripe --duration LENGTH [--timecode HH:MM:SS;FF] [--tone [LEVEL] | --no-tone]\n"
    "                     [--record [--preroll SECONDS] [--verify]] [--device NAME|ID] [--json]\n"
    "                     [--standard ntsc|pal] [--pattern smpte|ebu75|ebu100|black|FILE] [--ndf]\n"
    "                     [--user-bits HEX] [--aspect 4:3|16:9] [--audio 48k|32k]\n"
    "       tamsel-stripe --leader | --layout LAYOUT [--program-start HH:MM:SS;FF]\n"
    "                     [--black-after LENGTH] [--slate KEY=VALUE]... [--program-length LENGTH]\n"
    "                     [--burn-in] [--record [--preroll SECONDS] [--verify]]\n"
    "                     [the format and tone options]\n"
    "       tamsel-stripe --status | --stop [--device NAME|ID] [--json]\n"
    "       tamsel-stripe --verify-tape --duration LENGTH [--timecode HH:MM:SS;FF]\n"
    "                     [--tone [LEVEL] | --no-tone] [--device NAME|ID] [--json]\n"
    "       tamsel-stripe --verify-file FILE [--timecode HH:MM:SS;FF | --leader | --layout LAYOUT\n"
    "                     [the leader's options, --pattern, --ndf]] [--tone [LEVEL] | --no-tone] [--json]\n";

const char kHelp[] =
    "Puts colour bars and a reference tone with continuous timecode onto a DV camcorder or deck:\n"
    "exactly LENGTH of them, timecode from the start given, the recording date and time of now.\n"
    "\n"
    "  --duration LENGTH     how much: seconds (10, 2.5) or a timecode length (00:01:00;00);\n"
    "                        30 frames to a second of timecode, 25 in 625/50 (required)\n"
    "  --timecode START      the first frame's timecode, HH:MM:SS;FF (default 00:00:00;00; a\n"
    "                        label drop-frame counting skips starts at ;02 of that second);\n"
    "                        in 625/50 HH:MM:SS:FF, frames 00-24 (default 00:00:00:00)\n"
    "  --tone [LEVEL]        1 kHz tone at LEVEL dBFS, -90 to 0 (default -20, the SMPTE\n"
    "                        reference; -18 for EBU practice); the default\n"
    "  --no-tone             silence instead of the tone\n"
    "  --standard ntsc|pal   the television system: ntsc 525/60, pal 625/50 (720 x 576, 25\n"
    "                        frames a second, timecode HH:MM:SS:FF); default the unit's own.\n"
    "                        A system the unit does not take is refused before anything is sent\n"
    "  --pattern P           the picture: smpte (SMPTE colour bars with PLUGE), ebu75, ebu100\n"
    "                        (EBU bars), black, or a picture file (PNG, JPEG, ...) of 720 x 480\n"
    "                        (720 x 576 in 625/50); default the colour-bar filter's bars (EBU\n"
    "                        75 % in 625/50). Black and code: --pattern\n"
    "                        black --no-tone\n"
    "  --ndf                 non-drop-frame timecode (HH:MM:SS:FF), every label counted\n"
    "  --user-bits HEX       the binary group (user bits) of every frame, eight hex digits, a\n"
    "                        reel or tape id (00000000 writes none)\n"
    "  --aspect 4:3|16:9     the picture's aspect, as the camcorder shoots (default 4:3)\n"
    "  --audio 48k|32k       48k: 16-bit, 2 channels (default); 32k: 12-bit, 4 channels, the\n"
    "                        tone on channels 1 and 2, 3 and 4 silent\n"
    "  --leader              a whole leader before the programme: the layout\n"
    "                        bars:60,black:10,slate:10,countdown:8,black:2\n"
    "  --layout LAYOUT       a leader of these segments, KIND:LENGTH separated by commas:\n"
    "                        bars (the pattern, and the tone unless --no-tone), black, slate,\n"
    "                        countdown (at most 8: 10 down to 3 a second each with a blip,\n"
    "                        then the 2 with the two-pop on the next frame), pattern:NAME:LENGTH,\n"
    "                        image:FILE:LENGTH; all but the bars silent\n"
    "  --program-start TC    the programme's first label (default 01:00:00;00, in PAL\n"
    "                        01:00:00:00); the leader ends on the label before it,\n"
    "                        and its start is told\n"
    "  --black-after LENGTH  black and code after the leader, for the programme\n"
    "  --slate KEY=VALUE     a line of the slate (Title=..., Client=..., Tape=...; repeatable);\n"
    "                        the date, the running time and the standard are added\n"
    "  --program-length LENGTH  the running time on the slate (default --black-after's)\n"
    "  --burn-in             the running timecode in a box in the lower third of every frame\n"
    "  --record              command the device to record before the first frame and to stop\n"
    "                        after the last; without it the device records only if REC is\n"
    "                        pressed on it. A device found recording already is refused\n"
    "  --preroll SECONDS     with --record: how long the bars and tone run before the start,\n"
    "                        their timecode counting up to it, so that a tape unit has threaded\n"
    "                        its tape and locked its servo before the start frame (default 3,\n"
    "                        at most 30). The unit is armed (record-pause) where it can be and\n"
    "                        put into record during the pre-roll; after the last frame the\n"
    "                        same timecode runs on until the unit has stopped. The program\n"
    "                        reads back what the unit records and fails when the start or the\n"
    "                        end of the stripe is not on tape. 0: RECORD just before the first\n"
    "                        frame and no post-roll, for units that record at once\n"
    "  --verify              with --record: after the stripe, rewind the tape, play it back,\n"
    "                        capture it and check every frame of the stripe as --verify-file\n"
    "                        does, against the picture and tone sent (a leader: each frame\n"
    "                        against its segment); the QC report replaces the summary, and the\n"
    "                        exit status is 0 only for a good tape\n"
    "  --verify-tape         check what is on the device's tape: from --timecode START (the\n"
    "                        tape is rewound and played to it) or from where the tape stands,\n"
    "                        for --duration LENGTH, and print the QC report; nothing is recorded\n"
    "  --status              say what the device is doing (mode, tape, position) and exit\n"
    "  --stop                command the device to stop (a unit left recording) and exit\n"
    "  --verify-file FILE    check a raw DV file (as a deck records it or ffmpeg -f dv writes it)\n"
    "                        frame by frame and print a QC report: timecode continuous (from\n"
    "                        --timecode when given), recording date and time, source packs,\n"
    "                        damaged blocks, audio errors; the picture and the tone when the\n"
    "                        file shows one of tamsel-stripe's patterns (either system) or\n"
    "                        --tone LEVEL says what was sent; --timecode HH:MM:SS:FF names a\n"
    "                        non-drop-frame start; --leader or --layout with the leader's\n"
    "                        options checks each frame of a leader against its segment\n"
    "  --device NAME|ID      the device, when several are attached: its friendly name, its\n"
    "                        IEEE 1394 unique id (16 hex digits) or a deck's device path\n"
    "                        (deck:SOCKET); default the last one listed, as Tamsel uses\n"
    "  --json                print the summary as JSON on standard output\n"
    "  -h, --help            show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n"
    "Exit status: 0 all frames sent (with --record: and on tape; --status, --stop: done;\n"
    "--verify, --verify-tape, --verify-file: a good recording), 1 failure (no device, no permission to open it, no tape,\n"
    "write-protected tape, local mode, camera mode, device recording already, record refused,\n"
    "DV input not recorded, the start or end of the stripe not on tape, end of tape, device\n"
    "lost, a stall on the tape; a file that cannot be checked) or a recording with defects,\n"
    "2 usage error, stopped by a signal: 129 SIGHUP, 130 SIGINT (Ctrl-C) or SIGTERM,\n"
    "131 SIGQUIT; the device is stopped first if the run put it in record.\n"
    "Ctrl-Z is refused while the device records.\n"
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

constexpr double kMaxPrerollSeconds = 30;

// A decimal number (the tone's level, the pre-roll's seconds).
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
    return std::isdigit(static_cast<unsigned char>(*text)) ||
           (*text == '.' && std::isdigit(static_cast<unsigned char>(text[1])));
}

}  // namespace

CStripeOptions::CStripeOptions() : level(REFERENCE_TONE_DEFAULT_LEVEL) {}

int CStripeOptions::Parse(int argc, char** argv) {
    enum {
        kDuration = 256, kTimecode, kTone, kNoTone, kRecord, kDevice, kJson, kVersion, kStatusAction, kStopAction,
        kVerifyFileAction, kPreroll, kVerify, kVerifyTapeAction, kStandard, kPattern, kNdf, kUserBits, kAspect,
        kAudio, kLeader, kLayout, kProgramStart, kBlackAfter, kSlate, kProgramLength, kBurnIn
    };
    static const option longOptions[] = {
        {"duration", required_argument, nullptr, kDuration}, {"timecode", required_argument, nullptr, kTimecode},
        {"tone", optional_argument, nullptr, kTone},         {"no-tone", no_argument, nullptr, kNoTone},
        {"record", no_argument, nullptr, kRecord},           {"device", required_argument, nullptr, kDevice},
        {"json", no_argument, nullptr, kJson},               {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},         {"status", no_argument, nullptr, kStatusAction},
        {"stop", no_argument, nullptr, kStopAction},         {"verify-file", required_argument, nullptr, kVerifyFileAction},
        {"preroll", required_argument, nullptr, kPreroll},   {"verify", no_argument, nullptr, kVerify},
        {"verify-tape", no_argument, nullptr, kVerifyTapeAction}, {"standard", required_argument, nullptr, kStandard},
        {"pattern", required_argument, nullptr, kPattern},   {"ndf", no_argument, nullptr, kNdf},
        {"user-bits", required_argument, nullptr, kUserBits}, {"aspect", required_argument, nullptr, kAspect},
        {"audio", required_argument, nullptr, kAudio},       {"leader", no_argument, nullptr, kLeader},
        {"layout", required_argument, nullptr, kLayout},     {"program-start", required_argument, nullptr, kProgramStart},
        {"black-after", required_argument, nullptr, kBlackAfter}, {"slate", required_argument, nullptr, kSlate},
        {"program-length", required_argument, nullptr, kProgramLength}, {"burn-in", no_argument, nullptr, kBurnIn},
        {nullptr, 0, nullptr, 0}};
    bool haveDuration = false, toneGiven = false, noToneGiven = false, stripeOption = false, prerollGiven = false;
    // The options only a stripe takes (a check takes --timecode and the tone's too).
    bool deviceOption = false, recordOrDuration = false, formatOption = false;
    // A format option a leader's check has no use for (all but --pattern and --ndf).
    bool otherFormat = false;
    // The options that shape a leader, and whether a layout was given.
    bool leaderOption = false, layoutGiven = false;
    // The usage error of the last option value below that did not read.
    std::string valueWrong;
    // A format option of two spellings: false for the first, true for the second.
    const auto formatChoice = [&](const char* option, const char* first, const char* second, bool* value) {
        stripeOption = formatOption = otherFormat = true;
        if (std::string(optarg) == first || std::string(optarg) == second) {
            *value = std::string(optarg) == second;
            return true;
        }
        valueWrong = std::string(option) + ": " + first + " or " + second + ", not '" + optarg + "'";
        return false;
    };
    // An option's timecode, as written (its separator tells the counting).
    const auto timecodeValue = [&](const char* option, dv::Timecode* value) {
        if (const auto label = dv::Timecode::Parse(optarg)) {
            *value = *label;
            return true;
        }
        valueWrong = std::string(option) + ": not a timecode: '" + optarg + "' (HH:MM:SS;FF)";
        return false;
    };
    // An option's length, in frames at 30 a second (ForSystem counts it again in the system's).
    const auto lengthValue = [&](const char* option) {
        const auto length = dv::ParseDuration(optarg);
        if (!length) valueWrong = std::string(option) + ": not a length: '" + optarg + "' (seconds, or HH:MM:SS;FF)";
        return length;
    };
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, "+h", longOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case kDuration: {
                const auto length = lengthValue("--duration");
                if (!length) return UsageError(valueWrong);
                frames = *length;
                durationText = optarg;
                haveDuration = true;
                stripeOption = true;
                recordOrDuration = true;
                break;
            }
            case kTimecode:
                if (!timecodeValue("--timecode", &start)) return UsageError(valueWrong);
                checkStart = start;     // a recording may count either way: ':' non-drop-frame
                timecodeText = optarg;
                timecodeGiven = true;
                stripeOption = true;
                break;
            case kTone: {
                toneGiven = true;
                stripeOption = true;
                tone = true;
                const char* value = optarg;
                // "--tone -18": the level as the next word.
                if (value == nullptr && optind < argc && LooksLikeNumber(argv[optind])) value = argv[optind++];
                if (value != nullptr && (!ParseLevel(value, &level) || level > 0 || level < REFERENCE_TONE_MIN_LEVEL)) {
                    return UsageError(std::string("--tone: LEVEL must be a number of dBFS from -90 to 0, not '") +
                                      value + "'");
                }
                levelGiven = levelGiven || value != nullptr;
                break;
            }
            case kNoTone:
                noToneGiven = true;
                stripeOption = true;
                tone = false;
                break;
            case kRecord:
                record = true;
                stripeOption = true;
                recordOrDuration = true;
                break;
            case kPreroll: {
                double seconds = 0;
                if (!ParseLevel(optarg, &seconds) || seconds < 0 || seconds > kMaxPrerollSeconds) {
                    return UsageError(std::string("--preroll: SECONDS must be a number from 0 to 30, not '") + optarg +
                                      "'");
                }
                preroll = std::llround(seconds * dv::Timecode::kLabelsPerSecond);
                prerollSeconds = seconds;
                prerollGiven = true;
                stripeOption = true;
                break;
            }
            case kVerify:
                verify = true;
                break;
            case kStatusAction:
            case kStopAction:
            case kVerifyTapeAction:
            case kVerifyFileAction: {
                const Action wanted = c == kStatusAction ? kStatus
                                      : c == kStopAction ? kStop
                                      : c == kVerifyTapeAction ? kVerifyTape
                                                               : kVerifyFile;
                if (action != kStripe && action != wanted)
                    return UsageError("--status, --stop, --verify-tape and --verify-file exclude each other");
                action = wanted;
                if (wanted == kVerifyFile) {
                    verifyFile = optarg;
                    if (verifyFile.empty()) return UsageError("--verify-file: the file's name is empty");
                }
                break;
            }
            case kStandard:
                if (!formatChoice("--standard", "ntsc", "pal", &pal)) return UsageError(valueWrong);
                standardGiven = true;
                break;
            case kPattern:
                pattern = optarg;
                if (pattern.empty()) return UsageError("--pattern: the picture file's name is empty");
                stripeOption = true;
                formatOption = true;
                break;
            case kNdf:
                dropFrame = false;
                stripeOption = true;
                formatOption = true;
                break;
            case kUserBits: {
                const std::string hex = optarg;
                if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return UsageError("--user-bits: eight hex digits, not '" + hex + "'");
                userBits = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
                userBitsGiven = true;
                stripeOption = formatOption = otherFormat = true;
                break;
            }
            case kAspect:
                if (!formatChoice("--aspect", "4:3", "16:9", &wide)) return UsageError(valueWrong);
                break;
            case kAudio:
                if (!formatChoice("--audio", "48k", "32k", &audio32k)) return UsageError(valueWrong);
                break;
            case kLeader:
            case kLayout:
                if (layoutGiven) return UsageError("--leader and --layout exclude each other, and each goes once");
                layoutGiven = true;
                layoutText = c == kLeader ? CLeaderLayout::kDefault : optarg;
                if (std::string wrong = layout.Parse(layoutText); !wrong.empty())
                    return UsageError("--layout: " + wrong);
                leader = true;
                stripeOption = true;
                break;
            case kProgramStart:
                if (!timecodeValue("--program-start", &programStart)) return UsageError(valueWrong);
                programStartGiven = true;
                leaderOption = true;
                stripeOption = true;
                break;
            case kBlackAfter:
            case kProgramLength:
                if (!lengthValue(c == kBlackAfter ? "--black-after" : "--program-length")) return UsageError(valueWrong);
                (c == kBlackAfter ? blackAfterText : programLengthText) = optarg;
                leaderOption = true;
                stripeOption = true;
                break;
            case kSlate: {
                const std::string entry = optarg;
                const size_t equals = entry.find('=');
                if (equals == std::string::npos || equals == 0)
                    return UsageError("--slate: KEY=VALUE, as Title=..., not '" + entry + "'");
                slate.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
                leaderOption = true;
                stripeOption = true;
                break;
            }
            case kBurnIn:
                burnIn = true;
                leaderOption = true;
                stripeOption = true;
                break;
            case kDevice:
                device = optarg;
                deviceOption = true;
                break;
            case kJson:
                json = true;
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
    if (verify && (action != kStripe || !record))
        return UsageError("--verify goes with --record (it checks the stripe this run records)");
    if (action == kVerifyTape) {
        if (record || prerollGiven) return UsageError("--verify-tape records nothing: it takes no --record or --preroll");
        if (formatOption)
            return UsageError("--verify-tape reads the format from the tape (no --standard, --pattern, --ndf, "
                              "--user-bits, --aspect or --audio)");
        if (toneGiven && noToneGiven) return UsageError("--tone and --no-tone exclude each other");
        if (!haveDuration) return UsageError("--verify-tape needs --duration: how much of the tape to check");
        if (leader || leaderOption)
            return UsageError("--verify-tape checks no leader (--verify checks the leader just recorded, --verify-file "
                              "one in a file)");
        return -1;
    }
    // What a stripe and a file's check both refuse: both tone options, a leader's options without
    // one, a leader with a length or start of its own. A leader is placed before its programme's
    // start, in the labels of its system, by ForSystem once the system is settled (a check's by
    // the recording's); its start and frames are then the leader's.
    const auto toneAndLeader = [&]() -> std::string {
        if (toneGiven && noToneGiven) return "--tone and --no-tone exclude each other";
        if (leaderOption && !leader)
            return "--program-start, --black-after, --slate, --program-length and --burn-in go with --leader or "
                   "--layout";
        if (!leader) return "";
        if (haveDuration) return "a leader's length is its layout and --black-after: no --duration";
        if (timecodeGiven) return "a leader is placed by --program-start: no --timecode";
        haveDuration = true;
        return "";
    };
    if (action == kVerifyFile) {
        if (leader ? otherFormat : formatOption)
            return UsageError(leader ? "--verify-file reads the format from the file (of the format options a leader's "
                                       "check takes only --pattern and --ndf, as the leader was striped)"
                                     : "--verify-file reads the format from the file (no --standard, --pattern, --ndf, "
                                       "--user-bits, --aspect or --audio)");
        if (recordOrDuration || deviceOption || prerollGiven)
            return UsageError("--verify-file takes no --duration, --record, --preroll or --device (only --timecode, --tone, "
                              "--no-tone, --json and a leader's options)");
        if (std::string wrong = toneAndLeader(); !wrong.empty()) return UsageError(wrong);
        return -1;
    }
    if (action != kStripe) {
        if (stripeOption) {
            return UsageError(std::string(action == kStatus ? "--status" : "--stop") +
                              " takes no striping option (only --device and --json)");
        }
        return -1;
    }
    if (std::string wrong = toneAndLeader(); !wrong.empty()) return UsageError(wrong);
    if (!haveDuration) return UsageError("--duration is required");
    if (prerollGiven && !record) return UsageError("--preroll goes with --record (without it nothing is commanded)");
    // Without --standard the unit's system is taken when it is known (ForSystem again); till then
    // 525/60's, as before.
    if (const std::string problem = ForSystem(pal); !problem.empty()) return UsageError(problem);
    return -1;
}

std::optional<LONG> CStripeOptions::NamedPattern() const {
    LONG named = REFERENCE_BARS_SMPTE;
    if (CLeaderLayout::PatternNamed(pattern, &named)) return named;
    return std::nullopt;
}

LONG CStripeOptions::LeaderBarsPattern(std::string* file) const {
    file->clear();
    // The system's own bars: SMPTE's in 525/60 (the colour-bar filter's picture cannot be one
    // segment among others), EBU 75 % in 625/50.
    if (pattern.empty()) return pal ? REFERENCE_BARS_EBU75 : REFERENCE_BARS_SMPTE;
    if (const std::optional<LONG> named = NamedPattern()) return *named;
    *file = pattern;
    return REFERENCE_BARS_SMPTE;
}

std::string CStripeOptions::ForSystem(bool fifty) {
    pal = fifty;
    const int rate = Rate();
    if (pal) dropFrame = false;  // 625/50 counts every label
    if (!durationText.empty()) {
        const auto length = dv::ParseDuration(durationText, rate);
        if (!length) return "--duration: not a length of " + std::string(pal ? "625/50 (PAL)" : "525/60 (NTSC)") +
                            ": '" + durationText + "'" + (pal ? " (frames 00-24)" : "");
        frames = *length;
    }
    preroll = std::llround(prerollSeconds * rate);
    if (leader) return PlaceLeader();
    start = dv::Timecode{};
    if (timecodeGiven) {
        const auto label = dv::Timecode::Parse(timecodeText);
        if (!label) return "--timecode: not a timecode: '" + timecodeText + "'";
        if (pal && label->dropFrame) {
            return "--timecode: 625/50 (PAL) timecode is never drop-frame: HH:MM:SS:FF, not '" + timecodeText + "'";
        }
        if (label->frames >= rate) {
            return "--timecode: 625/50 (PAL) counts 25 frames a second (00-24), not '" + timecodeText + "'";
        }
        start = *label;
    }
    // Either separator names the label in 525/60; the stripe counts as --ndf says.
    start.dropFrame = dropFrame;
    start.rate = rate;
    return "";
}

std::string CStripeOptions::PlaceLeader() {
    // Lengths and the programme's label in the system's labels.
    const int rate = Rate();
    const char* system = pal ? "625/50 (PAL)" : "525/60 (NTSC)";
    if (std::string wrong = layout.Parse(layoutText, rate); !wrong.empty()) return "--layout: " + wrong;
    for (auto [text, labels, name] : {std::tuple{&blackAfterText, &blackAfter, "--black-after"},
                                      std::tuple{&programLengthText, &programLength, "--program-length"}}) {
        *labels = 0;
        if (text->empty()) continue;
        const auto length = dv::ParseDuration(*text, rate);
        if (!length) return std::string(name) + ": not a length of " + system + ": '" + *text + "'";
        *labels = *length;
    }
    dv::Timecode programme = programStartGiven ? programStart : dv::Timecode{1, 0, 0, 0, !pal};
    if (pal && programme.dropFrame) {
        return "--program-start: 625/50 (PAL) timecode is never drop-frame: HH:MM:SS:FF, not '" + programme.Text() + "'";
    }
    if (pal && programme.frames >= rate) {
        return "--program-start: 625/50 (PAL) counts 25 frames a second (00-24), not '" + programme.Text() + "'";
    }
    // Either separator names the label in 525/60; the stripe counts as --ndf says.
    programme.dropFrame = dropFrame;
    programme.rate = rate;
    if (programme.Skipped())
        return "--program-start: " + programme.Text() + " is a label drop-frame counting skips";
    if (std::string wrong = layout.Place(programme, blackAfter); !wrong.empty()) return "--layout: " + wrong;
    programStart = programme;
    start = layout.Start();
    frames = layout.Frames();
    return "";
}
