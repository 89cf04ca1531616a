#include "generator_app.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "generator_dlg.h"
#include "output_graph.h"
#include "quiet_toolkit.h"

namespace {

// Write end of the signal pipe, read by the handler.
volatile sig_atomic_t g_signalWriteFd = -1;

void OnEndingSignal(int signalNumber) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    // Nothing else is safe here. A full pipe already carries the news, so a failed write is fine.
    if (g_signalWriteFd >= 0) {
        [[maybe_unused]] const ssize_t written = write(g_signalWriteFd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

CGeneratorApp::CGeneratorApp() = default;

CGeneratorApp::~CGeneratorApp() {
    for (int& fd : m_signalPipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool CGeneratorApp::InstallSignalHandlers() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_signalPipe) != 0) {
        m_signalPipe[0] = m_signalPipe[1] = -1;
        return false;
    }
    g_signalWriteFd = m_signalPipe[1];

    struct sigaction action = {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

void CGeneratorApp::OnSignalPipe() {
    char bytes[16];
    while (read(m_signalPipe[0], bytes, sizeof(bytes)) > 0) {
    }
    if (m_pDlg != nullptr) m_pDlg->OnEndSignal();
}

int CGeneratorApp::InitInstance(const char* programPath, COutputGraph& graph) {
    // Only the program's own path is handed on: the program takes no command line.
    int argc = 1;
    char* argv[] = {const_cast<char*>(programPath), nullptr};
    const QuietToolkit quiet;  // outlives the application object
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral("0.1.12"));
    // The desktop entry tamsel.desktop: window managers and docks match the window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("tamsel"));
    QTranslator translator;
    InstallJapaneseTranslations(translator);

    if (InstallSignalHandlers()) {
        m_pNotifier = new QSocketNotifier(m_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_pNotifier, &QSocketNotifier::activated, this, &CGeneratorApp::OnSignalPipe);
    }

    int result = 0;
    {
        CGeneratorDlg dlg(graph);
        m_pDlg = &dlg;
        dlg.show();
        result = dlg.exec() == QDialog::Accepted ? 0 : 1;
        m_pDlg = nullptr;
    }

    // From here on a signal ends the program the ordinary way again.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_signalWriteFd = -1;
    delete m_pNotifier;
    m_pNotifier = nullptr;
    return result;
}

void CGeneratorApp::ShowMessage(const char* text) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), text);
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QString::fromUtf8(text),
                    QMessageBox::Ok);
    box.exec();
}

bool CGeneratorApp::InstallJapaneseTranslations(QTranslator& translator) {
    if (!translator.load(QStringLiteral("qtbase_ja"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return false;
    }
    return QCoreApplication::installTranslator(&translator);
}
