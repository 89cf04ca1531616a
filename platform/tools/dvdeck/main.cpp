// dvdeck: a virtual DV deck. While it runs it is listed among the DV devices; what it is sent it
// records on its tape file as raw DIF, whole frames only, at its system's frame rate (525/60, or
// 625/50 with --standard pal). A sender of the other system's frames is refused: nothing of it
// is recorded.
//
//   dvdeck --tape FILE [--name NAME] [--standard ntsc|pal] [--stopped] [--protected]
//   dvdeck --no-tape [--name NAME] [--standard ntsc|pal]
//
// It starts in record mode unless --stopped (REC not yet pressed: frames are shown, not
// recorded, until a sender's program commands record); --protected and --no-tape make the cases
// of a write-protected tape (left untouched) and of no tape, where record is refused.
//
// SIGINT or SIGTERM stops it: the tape is flushed and what was recorded is reported. One that
// comes while the tape's writer is stuck (a hung disk), such as a second one during the final
// flush, stops it at once; the writer then finishes the tape on its own.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "dv/deck/deck_directory.h"
#include "dv/deck/deck_server.h"
#include "support/tool_options.h"
#include "support/text.h"

namespace {

enum OptionId { kTape, kName, kStandard, kStopped, kProtected, kNoTape };

platform::tools::CommandLine& Options() {
    static platform::tools::CommandLine options(
        "dvdeck",
        "--tape FILE [--name NAME] [--standard ntsc|pal] [--stopped] [--protected]\n"
        "       dvdeck --no-tape [--name NAME] [--standard ntsc|pal]",
        "A virtual DV deck: while it runs it is listed among the DV devices, and what it is sent\n"
        "in record mode it records on FILE as raw DV (whole frames only: 525/60 at 29.97 frames\n"
        "per second, or 625/50 at 25). It takes record, stop and play commands from its sender's\n"
        "program and reports its system, its mode, its tape and where the tape is. A sender of\n"
        "the other system is refused and nothing of it is recorded. SIGINT or SIGTERM stops it\n"
        "and it prints what it recorded.\n"
        "\n"
        "  --tape FILE  the tape file; recordings are appended to it\n"
        "  --name NAME  the deck's own name (default dvdeck)\n"
        "  --standard ntsc|pal\n"
        "               the system it records: ntsc 525/60 (the default), pal 625/50\n"
        "  --stopped    start in stop mode: frames are shown but not recorded until a\n"
        "               program commands record (default: start in record mode)\n"
        "  --protected  the tape is write-protected: FILE is never written, record is refused\n"
        "  --no-tape    no tape in the deck: nothing is recorded, record is refused\n"
        "  -h, --help   show this help and exit\n"
        "  --version    show the version and exit\n"
        "\n",
        {{"tape", 0, true, kTape},
         {"name", 0, true, kName},
         {"standard", 0, true, kStandard},
         {"stopped", 0, false, kStopped},
         {"protected", 0, false, kProtected},
         {"no-tape", 0, false, kNoTape}});
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    dv::DeckServer::Options options;
    platform::tools::CommandLine& commandLine = Options();
    const int parsed = commandLine.Parse(argc, argv, [&](int id, const char* value) -> std::string {
        switch (id) {
            case kTape: options.tapePath = value; break;
            case kName: options.name = value; break;
            case kStandard:
                if (std::strcmp(value, "ntsc") == 0) {
                    options.system = &dv::k525_60;
                } else if (std::strcmp(value, "pal") == 0) {
                    options.system = &dv::k625_50;
                } else {
                    return "--standard takes ntsc or pal, not " + platform::QuotedName(value);
                }
                break;
            case kStopped: options.startRecording = false; break;
            case kProtected: options.writeProtected = true; break;
            case kNoTape: options.tapeIn = false; break;
        }
        return {};
    });
    if (parsed >= 0) return parsed;
    if (!commandLine.Operands().empty())
        return commandLine.UsageError("unexpected argument " + platform::QuotedName(commandLine.Operands()[0]));
    // A tape path goes with a tape, and no tape with no path.
    if (options.tapeIn && options.tapePath.empty())
        return commandLine.UsageError("--tape FILE is needed (or --no-tape)");
    if (!options.tapeIn && !options.tapePath.empty())
        return commandLine.UsageError("--no-tape cannot go with --tape");
    if (options.name.empty()) return commandLine.UsageError("--name needs a name");
    if (!options.tapeIn && options.writeProtected)
        return commandLine.UsageError("--protected needs a tape (not --no-tape)");

    // Stop requests arrive through a signalfd so the deck's single thread sees them in its polls.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::perror("dvdeck: sigprocmask");
        return 1;
    }
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::perror("dvdeck: signalfd");
        return 1;
    }
    // A vanished sender or a file size limit must come back as errors, not kill the deck.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    if (auto fault = dv::DeckDirectory::PrepareSocketPath(getpid(), &options.socketPath)) {
        std::fprintf(stderr, "dvdeck: %s\n", fault->text.c_str());
        close(stopFd);
        return 1;
    }
    options.stopFd = stopFd;
    dv::DeckServer server(options);
    const int status = server.Run();
    close(stopFd);
    return status;
}
