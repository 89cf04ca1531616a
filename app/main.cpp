// Tamsel: puts a colour-bar test signal onto a DV camcorder or deck.
#include "generator_app.h"
#include "output_graph.h"

// Constructed in this order before main runs: the application object, then the graph holder,
// whose construction initialises COM on the main thread. Destroyed in reverse order after main
// returns; the holder only uninitialises COM and leaves the graph to the end of the process.
static CGeneratorApp theApp;
static COutputGraph theGraph(&CGeneratorApp::ShowMessage);

int main(int, char** argv) {
    return theApp.InitInstance(argv[0], theGraph);
}
