#include "quiet_toolkit.h"

#include <QString>
#include <QtGlobal>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

QtMessageHandler g_previousHandler = nullptr;

// The exact texts dropped; compared whole, so a longer or different warning still shows.
const char* const kHarmless[] = {
    "This plugin does not support propagateSizeHints()",
};

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg) {
        for (const char* harmless : kHarmless) {
            if (message == QLatin1String(harmless)) return;
        }
    }
    if (g_previousHandler != nullptr) g_previousHandler(type, context, message);
}

// TMPDIR when it names a folder, else /tmp, as the toolkit's own temporary path.
std::string TemporaryFolder() {
    const char* tmp = getenv("TMPDIR");
    std::error_code error;
    if (tmp != nullptr && *tmp != '\0' && std::filesystem::is_directory(tmp, error)) return tmp;
    return "/tmp";
}

}  // namespace

QuietToolkit::QuietToolkit() {
    g_previousHandler = qInstallMessageHandler(FilterMessages);
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return;
    std::string path = TemporaryFolder() + "/Tamsel-runtime-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) return;  // mode 0700; the toolkit then says why it lacks one
    m_runtimeDir = QByteArray(path.c_str());
    setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
}

QuietToolkit::~QuietToolkit() {
    if (!m_runtimeDir.isEmpty()) {
        // What the toolkit left there (sockets, locks) goes with the folder.
        std::error_code error;
        std::filesystem::remove_all(m_runtimeDir.constData(), error);
        unsetenv("XDG_RUNTIME_DIR");
    }
    qInstallMessageHandler(g_previousHandler);
}
