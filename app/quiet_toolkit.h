// Keeps a headless run (QT_QPA_PLATFORM=offscreen, as scripts/run.sh starts it without a display)
// free of the toolkit's known-harmless warnings, without hiding any other:
// - without XDG_RUNTIME_DIR (a session with no login manager, a service, CI) the toolkit warns
//   and makes /tmp/runtime-USER; a private runtime folder in the temporary folder (TMPDIR
//   honoured, mode 0700) is made for the run instead and removed when the program ends;
// - the offscreen and some other platform plugins cannot pass window size hints on and say so
//   for every window ("This plugin does not support propagateSizeHints()"): that one message is
//   dropped; everything else goes on to the toolkit's handler.
//
// Threads: construct and destroy on the main thread, before the application object exists and
// after it is gone. The message filter runs on any thread and only reads constants.
#pragma once

#include <QByteArray>

class QuietToolkit {
public:
    QuietToolkit();
    ~QuietToolkit();
    QuietToolkit(const QuietToolkit&) = delete;
    QuietToolkit& operator=(const QuietToolkit&) = delete;

    // The runtime folder made for this run, or "" when XDG_RUNTIME_DIR was set already.
    const QByteArray& RuntimeDir() const { return m_runtimeDir; }

private:
    QByteArray m_runtimeDir;
};
