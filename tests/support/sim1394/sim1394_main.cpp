// sim1394: runs a command on a simulated IEEE 1394 bus (see --help).
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus_server.h"
#include "control_client.h"
#include "sim_protocol.h"

namespace {

const char kUsage[] =
    "usage: sim1394 [OPTIONS] -- COMMAND [ARGS...]\n"
    "       sim1394 --ctl reset [DELAY_MS] [nodes-first] | reset-after N [DELAY_MS] | unplug [NODE] |\n"
    "                     stall [after-frames N] | stall off | record [NODE] | stop [NODE] | play [NODE] |\n"
    "                     configure [NODE] OPTION... | permission denied|granted | status\n"
    "\n"
    "Runs COMMAND and its children on a simulated IEEE 1394 bus and exits with COMMAND's status.\n"
    "Programs find the bus through the test libraw1394 in the sim1394-lib/ folder beside this program,\n"
    "which is put first in LD_LIBRARY_PATH, and SIM1394_SOCKET. At the end the bus state and what\n"
    "each camcorder or deck recorded are printed on standard error, one 'sim1394: ' line each.\n"
    "\n"
    "  --node camcorder|deck|disk[:OPTION,...]\n"
    "                              add a node (repeatable; default: one camcorder). A camcorder's\n"
    "                              or deck's options (also separated by ':'):\n"
    "      notape | protected      no cassette, or a write-protected one\n"
    "      latency=MS              RECORD from stop records MS later (threading, servo lock; default\n"
    "                              1500, as a real unit takes 1000-3000); latency=0 records at once\n"
    "      pause-latency=MS        RECORD from record-pause records MS later (default 200)\n"
    "      record-answer=accepted|interim\n"
    "                              RECORD answered ACCEPTED at once, the mechanism lagging (default), or\n"
    "                              INTERIM at once and ACCEPTED once recording\n"
    "      pause-timeout=MS        left in record-pause, the unit stops after MS (default 300000)\n"
    "      tape-length=SECONDS     the cassette's length (default 3600); at=SECONDS where the tape stands\n"
    "      wind-speed=N            rewind and fast forward at N times play speed (default 30)\n"
    "      no-record-pause         RECORD PAUSE is NOT IMPLEMENTED\n"
    "      local                   local mode: every CONTROL command is REJECTED\n"
    "      dv-in=off               accepts RECORD but records its own blank frames, not what arrives\n"
    "      pal                     a 625/50 unit: records and plays 144000-byte frames at 25 a second,\n"
    "                              takes nothing of a 525/60 stream (ntsc: the default, the reverse)\n"
    "      camera                  a camcorder in camera mode: no tape recorder subunit\n"
    "                              (SUBUNIT INFO lists the camera only; its commands NOT IMPLEMENTED)\n"
    "                              Frames that arrive before the latency ended are shown, not recorded;\n"
    "                              winding or recording to an end of the tape stops the unit there.\n"
    "      no-search               TIME CODE control (a search) is NOT IMPLEMENTED\n"
    "      load=FILE               the cassette holds FILE's NTSC DV frames from its start (no ',' or ':'\n"
    "                              in FILE); the rest of the tape is blank\n"
    "    Playback: PLAY (AV/C or --ctl play) sends the tape on the output plug, one 29.97 Hz frame of\n"
    "    250 CIP data blocks at a time, on channel 63 or on the channel of a point-to-point connection\n"
    "    a host made; blank tape plays as blank frames (transmitting flags set, no packs). TIME CODE\n"
    "    control searches at wind speed to the first frame with that code. Tape faults (seconds of tape):\n"
    "      damage=FROM-TO          DIF blocks of the frames in FROM..TO read damaged (default: all of\n"
    "                              the kind below; with damage-rate, that share of them)\n"
    "      damage-rate=R           share 0..1 of the blocks damaged (over the whole tape without damage=)\n"
    "      damage-kind=error|concealed|audio\n"
    "                              video STA 1111 (error), STA 0010 (concealed), or audio samples 0x8000\n"
    "      damage-heads=both|even|odd\n"
    "                              damage in every DIF sequence, or only the even or odd (a clogged head)\n"
    "      tc-break=SECONDS        from there on the recorded time code restarts from 00:00:00:00\n"
    "      blank=FROM-TO           a stretch of blank tape\n"
    "  --recording                 REC is pressed on every camcorder and deck with a writable tape before\n"
    "                              COMMAND starts (otherwise they show what arrives but record only once\n"
    "                              REC is pressed with --ctl record or commanded over AV/C)\n"
    "  --tape FILE                 the first camcorder's or deck's tape: the whole DV frames it records\n"
    "  --capture FILE              write every isochronous packet the bus carried\n"
    "  --preconnect                another host already holds the first AV/C node's input plug\n"
    "                              (point-to-point on channel 5, with its channel and bandwidth)\n"
    "  --preconnect-node N         the same for node N\n"
    "  --no-bandwidth              no isochronous bandwidth left at the IRM\n"
    "  --no-channels               no isochronous channel left at the IRM\n"
    "  --only-channel-63           every isochronous channel but the broadcast channel 63 is taken\n"
    "  --bandwidth UNITS           isochronous bandwidth left at the IRM (default all: 4915)\n"
    "  --no-permission             the user may not open the device files (/dev/fw*): as libraw1394,\n"
    "                              a new handle has no port and errno EACCES; raw1394_set_port: EINVAL\n"
    "  --node-event-delay MS       after a reset, remote nodes answer this much later (default: as the\n"
    "                              kernel: at once, the node that caused the reset 500 ms later)\n"
    "  -h, --help                  show this help and exit\n"
    "  --version                   show the version and exit\n"
    "Options take their value as the next word or after '=' (--tape=cam.dv); a usage error is told\n"
    "on standard error and ends with status 2.\n"
    "\n"
    "While COMMAND runs, from inside it (SIM1394_SOCKET is set there):\n"
    "  sim1394 --ctl reset [DELAY_MS] [nodes-first] [host|by=N]\n"
    "                                                 cause a bus reset (by default caused by the first\n"
    "                                                 AV/C node); remote nodes' events come DELAY_MS\n"
    "                                                 after the local one (or before it)\n"
    "  sim1394 --ctl fcp-delay MS                     units answer FCP commands MS after the write\n"
    "  sim1394 --ctl fcp-interim OPCODE [FINAL_MS|never] [every MS]\n"
    "                                                 commands with OPCODE (hex) that a unit takes get\n"
    "                                                 INTERIM first (again every MS) and their final answer\n"
    "                                                 FINAL_MS later, or never; 'OPCODE off' ends that\n"
    "  sim1394 --ctl fcp-answer OPCODE HOW            units answer commands with OPCODE (hex) HOW:\n"
    "                                                 not-implemented, rejected, silent (never) or normal\n"
    "  sim1394 --ctl record [NODE] | stop [NODE] | play [NODE]\n"
    "                                                 press REC, STOP or PLAY on NODE (default: the first\n"
    "                                                 camcorder or deck); REC fails without a writable tape\n"
    "                                                 and records at once (only RECORD over the bus waits\n"
    "                                                 for the unit's latency); PLAY fails\n"
    "                                                 without a tape\n"
    "  sim1394 --ctl configure [NODE] OPTION...       change NODE's options (those of --node) from now on\n"
    "  sim1394 --ctl permission denied|granted        whether handles opened from now on may open the\n"
    "                                                 device files\n"
    "  sim1394 --ctl reset-after N [DELAY_MS]         cause a bus reset just before the bus serves\n"
    "                                                 N more asynchronous requests (from anyone)\n"
    "  sim1394 --ctl unplug [NODE]                    unplug NODE (e.g. 'camcorder 0'; default: the\n"
    "                                                 first camcorder or deck), with its bus reset\n"
    "  sim1394 --ctl stall [after-frames N]           the host's isochronous transmission stops taking\n"
    "                                                 packets (no packet goes out, no interrupt comes),\n"
    "                                                 now or once the first camcorder or deck recorded\n"
    "                                                 N more frames\n"
    "  sim1394 --ctl stall off                        it takes packets again\n"
    "  sim1394 --ctl status                           IRM and plug state; each unit's mode, tape\n"
    "                                                 position, frames recorded, time codes on tape;\n"
    "                                                 FCP frames counted\n"
    "A unit answers each AV/C command right after its write completes (a unit taking RECORD with\n"
    "record-answer=interim: INTERIM, then ACCEPTED once recording); the answer reaches the handles\n"
    "listening for FCP when it arrives, as the kernel delivers it.\n"
    "or with signals to the sim1394 process: SIGUSR1 causes a bus reset, SIGUSR2 unplugs the first\n"
    "camcorder or deck.\n"
    "\n"
    "Capture format: 'ISO1394\\n', then per packet a 12-byte little-endian header (u32 bus cycle from 0\n"
    "at the start, 8000 a second, never wrapping; u8 channel; u8 tag; u8 sy; u8 0; u32 payload length)\n"
    "and the payload as on the wire.\n";

// `first`, then the non-empty elements of `inherited` (may be null). An empty element is the
// current directory to the loader: a library planted where the command runs would be loaded.
std::string LibraryPath(const std::string& first, const char* inherited) {
    std::string path = first;
    const std::string rest = inherited != nullptr ? inherited : "";
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t end = std::min(rest.find(':', start), rest.size());
        if (end > start) {
            path += ':';
            path.append(rest, start, end - start);
        }
        start = end + 1;
    }
    return path;
}

int Control(int argc, char** argv, int first) {
    std::string command;
    for (int i = first; i < argc; ++i) {
        if (!command.empty()) command += ' ';
        command += argv[i];
    }
    std::string text;
    const int status = sim1394::SendControl(command, &text);
    std::fputs(text.c_str(), status == 2 ? stderr : stdout);
    return status;
}

// This program's folder, absolute; "" when it cannot be found (never a relative path, which
// would name a folder below wherever the command runs).
std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || path[0] != '/') return "";
    path[n] = '\0';
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

}  // namespace

// A usage error: the reason and the usage line on stderr, status 2.
int UsageError(const std::string& why) {
    std::fprintf(stderr, "sim1394: %s\n%.*s", why.c_str(),
                 static_cast<int>(std::strchr(kUsage, '\n') - kUsage + 1), kUsage);
    std::fputs("Try 'sim1394 --help' for more.\n", stderr);
    return 2;
}

// A whole number option value, or -1 with *error set.
long NumberValue(const char* option, const char* text, std::string* error) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < 0) {
        *error = std::string("--") + option + " needs a whole number, not '" + text + "'";
        return -1;
    }
    return value;
}

int main(int argc, char** argv) {
    sim1394::BusOptions options;
    enum {
        kHelp = 'h', kVersion = 1000, kCtl, kNode, kRecording, kTape, kCapture, kPreconnect,
        kPreconnectNode, kNoBandwidth, kNoChannels, kOnlyChannel63, kBandwidth, kNodeEventDelay, kNoPermission
    };
    static const option longOptions[] = {
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {"ctl", no_argument, nullptr, kCtl},
        {"node", required_argument, nullptr, kNode},
        {"recording", no_argument, nullptr, kRecording},
        {"tape", required_argument, nullptr, kTape},
        {"capture", required_argument, nullptr, kCapture},
        {"preconnect", no_argument, nullptr, kPreconnect},
        {"preconnect-node", required_argument, nullptr, kPreconnectNode},
        {"no-bandwidth", no_argument, nullptr, kNoBandwidth},
        {"no-channels", no_argument, nullptr, kNoChannels},
        {"only-channel-63", no_argument, nullptr, kOnlyChannel63},
        {"bandwidth", required_argument, nullptr, kBandwidth},
        {"node-event-delay", required_argument, nullptr, kNodeEventDelay},
        {"no-permission", no_argument, nullptr, kNoPermission},
        {nullptr, 0, nullptr, 0},
    };
    bool explicitNodes = false;
    opterr = 0;
    // "+": the options end at COMMAND (or at "--"), whose own options are its business.
    for (int c; (c = getopt_long(argc, argv, "+:h", longOptions, nullptr)) != -1;) {
        std::string error;
        switch (c) {
            case kHelp:
                std::fputs(kUsage, stdout);
                return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
            case kVersion:
                std::printf("sim1394 %s\n", TAMSEL_VERSION);
                return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
            case kCtl:
                // The control words follow: they are this call's operands.
                return Control(argc, argv, optind);
            case kNode: {
                const std::string nodeText = optarg;
                const std::string kind = nodeText.substr(0, nodeText.find(':'));
                const std::string rest =
                    nodeText.find(':') == std::string::npos ? "" : nodeText.substr(nodeText.find(':') + 1);
                explicitNodes = true;
                sim1394::NodeSpec node {sim1394::NodeKind::Camcorder, {}};
                if (kind == "camcorder") node.kind = sim1394::NodeKind::Camcorder;
                else if (kind == "deck") node.kind = sim1394::NodeKind::Deck;
                else if (kind == "disk" && rest.empty()) node.kind = sim1394::NodeKind::Disk;
                else if (kind == "none" && rest.empty()) break;
                else return UsageError("unknown node kind '" + nodeText + "'");
                // The options, separated by ',' or ':'.
                size_t start = 0;
                while (start < rest.size()) {
                    const size_t end = std::min(rest.find_first_of(",:", start), rest.size());
                    if (end > start &&
                        !sim1394::VirtualNode::ParseOption(rest.substr(start, end - start), &node.options, &error)) {
                        return UsageError(error + " in --node " + nodeText);
                    }
                    start = end + 1;
                }
                options.nodes.push_back(node);
                break;
            }
            case kRecording: options.recording = true; break;
            case kTape: options.tapePath = optarg; break;
            case kCapture: options.capturePath = optarg; break;
            case kPreconnect: options.preconnectNode = -2; break;  // the first AV/C node, below
            case kPreconnectNode:
                options.preconnectNode = int(NumberValue("preconnect-node", optarg, &error));
                break;
            case kNoBandwidth: options.noBandwidth = true; break;
            case kNoPermission: options.accessDenied = true; break;
            case kNoChannels: options.noChannels = true; break;
            case kOnlyChannel63: options.onlyBroadcastChannel = true; break;
            case kBandwidth: options.bandwidth = int(NumberValue("bandwidth", optarg, &error)); break;
            case kNodeEventDelay:
                options.nodeEventDelayMs = int(NumberValue("node-event-delay", optarg, &error));
                break;
            case ':': return UsageError(std::string(argv[optind - 1]) + " needs a value");
            default: return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
        if (!error.empty()) return UsageError(error);
    }
    if (optind >= argc) return UsageError("no COMMAND to run");
    const int i = optind;
    if (!explicitNodes) options.nodes.push_back({sim1394::NodeKind::Camcorder, {}});
    if (options.preconnectNode == -2) {
        options.preconnectNode = -1;
        for (size_t n = 0; n < options.nodes.size() && options.preconnectNode < 0; ++n) {
            if (options.nodes[n].kind != sim1394::NodeKind::Disk) options.preconnectNode = int(n);
        }
    }

    const std::string programFolder = ProgramFolder();
    if (programFolder.empty()) {
        std::fprintf(stderr, "sim1394: cannot find this program's folder (/proc/self/exe): %s\n",
                     strerror(errno));
        return 2;
    }
    // Signals are taken synchronously below; the bus thread inherits the blocked mask.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGCHLD, SIGUSR1, SIGUSR2, SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, s);
    sigset_t original;
    pthread_sigmask(SIG_BLOCK, &handled, &original);

    sim1394::BusServer bus(options);
    std::string error;
    if (!bus.Start(&error)) {
        std::fprintf(stderr, "sim1394: %s\n", error.c_str());
        return 2;
    }
    const std::string libraryFolder = programFolder + "/sim1394-lib";
    const std::string newPath = LibraryPath(libraryFolder, getenv("LD_LIBRARY_PATH"));
    const std::string socketPath = bus.socketPath();

    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "sim1394: cannot start the command: %s\n", strerror(errno));
        return 2;
    }
    if (child == 0) {
        pthread_sigmask(SIG_SETMASK, &original, nullptr);
        setenv(sim1394::kSocketVariable, socketPath.c_str(), 1);
        setenv("LD_LIBRARY_PATH", newPath.c_str(), 1);
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "sim1394: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    int status = 0;
    for (;;) {
        siginfo_t info {};
        timespec tick {0, 200000000};
        const int s = sigtimedwait(&handled, &info, &tick);
        if (s == SIGUSR1) bus.PostCommand("reset");
        else if (s == SIGUSR2) bus.PostCommand("unplug");
        else if (s == SIGINT || s == SIGTERM || s == SIGHUP) kill(child, s);
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
    }
    bus.Stop();
    std::string report = bus.Report();
    size_t start = 0;
    while (start < report.size()) {
        const size_t end = report.find('\n', start);
        std::fprintf(stderr, "sim1394: %s\n", report.substr(start, end - start).c_str());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}
