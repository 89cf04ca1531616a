// dvdeck: a virtual DV deck. While it runs it is listed among the DV devices; what it is sent it
// records on its tape file as raw DIF, whole frames only, at the 525/60 frame rate.
//
//   dvdeck --tape FILE [--name NAME]
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

#include "dv/deck_directory.h"
#include "dv/deck_server.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: dvdeck --tape FILE [--name NAME]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    dv::DeckServer::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--tape" || arg == "--name") && i + 1 < argc) {
            (arg == "--tape" ? options.tapePath : options.name) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            return Usage();
        }
    }
    if (options.tapePath.empty() || options.name.empty()) return Usage();

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
