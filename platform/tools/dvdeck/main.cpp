// dvdeck: a virtual DV deck. While it runs it is listed among the DV devices; what it is sent it
// records on its tape file as raw DIF, whole frames only, at the 525/60 frame rate.
//
//   dvdeck --tape FILE [--name NAME] [--stopped] [--protected]
//   dvdeck --no-tape [--name NAME]
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

#include "deck/deck_directory.h"
#include "deck/deck_server.h"
#include "tool_options.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: dvdeck --tape FILE [--name NAME] [--stopped] [--protected]\n"
                         "       dvdeck --no-tape [--name NAME]\n");
    return 2;
}

// --help and --version; returns the exit status, or -1 to go on.
int AnswerInfoOptions(int argc, char** argv) {
    static const char* const valueOptions[] = {"--tape", "--name", nullptr};
    static const platform::tools::ProgramInfo info{
        "dvdeck",
        "usage: dvdeck --tape FILE [--name NAME] [--stopped] [--protected]\n"
        "       dvdeck --no-tape [--name NAME]\n"
        "A virtual DV deck: while it runs it is listed among the DV devices, and what it is sent\n"
        "in record mode it records on FILE as raw DV (whole frames only, 29.97 frames per\n"
        "second). It takes record, stop and play commands from its sender's program and reports\n"
        "its mode, its tape and where the tape is. SIGINT or SIGTERM stops it and it prints what\n"
        "it recorded.\n"
        "\n"
        "  --tape FILE  the tape file; recordings are appended to it\n"
        "  --name NAME  the deck's own name (default dvdeck)\n"
        "  --stopped    start in stop mode: frames are shown but not recorded until a\n"
        "               program commands record (default: start in record mode)\n"
        "  --protected  the tape is write-protected: FILE is never written, record is refused\n"
        "  --no-tape    no tape in the deck: nothing is recorded, record is refused\n"
        "  -h, --help   show this help and exit\n"
        "  --version    show the version and exit\n"
        "\n"
        "Environment:\n"
        "  PLATFORM_STATE_DIR  the platform's state (registry); default\n"
        "                      ~/.local/share/tamsel-platform\n"
        "  PLATFORM_DEBUG      diagnostics on stderr, as CATEGORY:LEVEL,... with levels\n"
        "                      1 errors .. 4 debugging, e.g. com:4,registry:3,*:2\n"
        "See dvdeck(1).\n",
        valueOptions};
    return platform::tools::AnswerInfoOptions(argc, argv, info);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0) return status;
    dv::DeckServer::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--tape" || arg == "--name") && i + 1 < argc) {
            (arg == "--tape" ? options.tapePath : options.name) = argv[++i];
        } else if (arg == "--stopped") {
            options.startRecording = false;
        } else if (arg == "--protected") {
            options.writeProtected = true;
        } else if (arg == "--no-tape") {
            options.tapeIn = false;
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            return Usage();
        }
    }
    // A tape path goes with a tape, and no tape with no path.
    if (options.tapeIn == options.tapePath.empty() || options.name.empty()) return Usage();
    if (!options.tapeIn && options.writeProtected) return Usage();

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

    std::string error;
    if (!dv::DeckDirectory::PrepareSocketPath(getpid(), &options.socketPath, &error)) {
        std::fprintf(stderr, "dvdeck: %s\n", error.c_str());
        close(stopFd);
        return 1;
    }
    options.stopFd = stopFd;
    dv::DeckServer server(options);
    const int status = server.Run();
    close(stopFd);
    return status;
}
