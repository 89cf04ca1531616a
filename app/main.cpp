// Tamsel: puts a colour-bar test signal onto a DV camcorder or deck.
#include "generator_app.h"
#include "output_graph.h"

#include <cstdio>
#include <cstring>

// Constructed in this order before main runs: the application object, then the graph holder,
// whose construction initialises COM on the main thread. Destroyed in reverse order after main
// returns; the holder only uninitialises COM and leaves the graph to the end of the process.
static CGeneratorApp theApp;
static COutputGraph theGraph(&CGeneratorApp::ShowMessage);

// The program takes no command line for its work; it only answers --help (-h) and --version, the
// first of them given before "--", and ignores everything else. Returns the exit status (1 when
// the answer could not be written: a help text that scrolled past a closed pipe is no success),
// or -1 to go on.
static int AnswerInfoOptions(int argc, char** argv) {
    static const char kHelp[] =
        "usage: Tamsel\n"
        "Puts a colour-bar test signal onto a DV camcorder or deck: builds the graph\n"
        "\"Velora Color Bar\" -> \"DV Video Encoder\" -> \"DV Muxer\" -> \"Microsoft DV Camera and\n"
        "VCR\" and runs it until the power button is pressed (or SIGINT or SIGTERM arrives).\n"
        "The filter library tamsel.ax must be registered (regsvr) and a DV device attached or\n"
        "a virtual deck (dvdeck) running. Other arguments are ignored.\n"
        "\n"
        "  -h, --help  show this help and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Exit status: 0 after the power button, 1 when the graph could not be built or run.\n"
        "Environment:\n"
        "  PLATFORM_STATE_DIR  the platform's state (registry); default\n"
        "                      ~/.local/share/tamsel-platform\n"
        "  PLATFORM_DEBUG      platform diagnostics on stderr, as CATEGORY:LEVEL,... with\n"
        "                      levels 1 errors .. 4 debugging, e.g. com:4,dv:3,*:2\n"
        "  QT_QPA_PLATFORM     offscreen runs it without a display\n"
        "See Tamsel(1).\n";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) break;
        const bool help = std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
        if (!help && std::strcmp(arg, "--version") != 0) continue;
        if (help) std::fputs(kHelp, stdout);
        else std::fputs("Tamsel " TAMSEL_VERSION "\n", stdout);
        return std::fflush(stdout) != 0 || std::ferror(stdout) != 0 ? 1 : 0;
    }
    return -1;
}

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0) return status;
    return theApp.InitInstance(argv[0], theGraph);
}
