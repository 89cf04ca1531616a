// The application object: runs the one modal main window.
#pragma once

#include <QObject>

class QSocketNotifier;
class QTranslator;
class CGeneratorDlg;
class COutputGraph;

// Starts the toolkit, runs the main window modally over the program's graph holder and ends
// the program when the window closes. SIGINT and SIGTERM end the program as the power key does:
// the handler only writes a byte into a pipe, and the window is told on the user-interface
// thread when the pipe becomes readable.
//
// Threads: InitInstance runs on the main thread, which becomes the user-interface thread. The
// signal handler runs on whatever thread the signal interrupts and only writes to the pipe's write end.
class CGeneratorApp : public QObject {
    Q_OBJECT
public:
    // The application's name, the caption of failure messages, is the executable's name.
    CGeneratorApp();
    ~CGeneratorApp() override;

    // Runs the program with the given graph holder: 0 when the window was closed by the user or a
    // signal, 1 when the graph could not be built, could not start or failed while streaming.
    // The command line is not examined.
    int InitInstance(const char* programPath, COutputGraph& graph);

    // Shows a failure in a modal box with an OK button and no icon, captioned with the
    // application's name. The text also goes to the standard error stream, for runs without a
    // screen.
    static void ShowMessage(const char* text);

    // Loads the toolkit's own Japanese texts (standard buttons and dialogs) into `translator` and
    // installs it, whatever the desktop's language: the whole interface is Japanese. False when
    // the translations are not installed; the standard texts then stay English.
    static bool InstallJapaneseTranslations(QTranslator& translator);

private:
    // Makes the signal pipe and installs the SIGINT/SIGTERM handlers.
    bool InstallSignalHandlers();
    void OnSignalPipe();

    int m_signalPipe[2] = {-1, -1};          // [0] read end, [1] write end (the handler writes)
    QSocketNotifier* m_pNotifier = nullptr;  // watches the read end; lives during InitInstance
    CGeneratorDlg* m_pDlg = nullptr;         // the running main window, during InitInstance
};
