#include "stop_signals.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

void Say(const char* text) {
    size_t left = 0;
    while (text[left] != '\0') ++left;
    // A terminal that is gone refuses the line (EIO); nothing is to be done about it.
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, text, left);
        if (written <= 0 && errno != EINTR) return;
        if (written > 0) {
            text += written;
            left -= size_t(written);
        }
    }
}

}  // namespace

CStopSignals::CStopSignals() {
    sigemptyset(&set_);
    for (const int sig : kStopSignals) sigaddset(&set_, sig);
    sigaddset(&set_, SIGTSTP);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread([this] { Loop(); });
}

CStopSignals::~CStopSignals() {
    quit_.store(true);
    thread_.join();
    SetDevice(nullptr);
}

const char* CStopSignals::Name(int sig) {
    switch (sig) {
        case SIGHUP: return "SIGHUP";
        case SIGINT: return "SIGINT";
        case SIGQUIT: return "SIGQUIT";
        case SIGTERM: return "SIGTERM";
        default: return "a signal";
    }
}

int CStopSignals::ExitStatus(int sig) { return sig == SIGTERM ? 130 : 128 + sig; }

void CStopSignals::SetDevice(IDVDeviceStream* device) {
    std::lock_guard<std::mutex> hold(lock_);
    if (device != nullptr) device->AddRef();
    if (device_ != nullptr) device_->Release();
    device_ = device;
    if (device_ != nullptr && requested_.load() != 0) device_->Interrupt();
}

void CStopSignals::Stop(int sig) {
    int none = 0;
    if (!requested_.compare_exchange_strong(none, sig)) return;  // the first one is the request
    std::lock_guard<std::mutex> hold(lock_);
    if (device_ != nullptr) device_->Interrupt();
}

void CStopSignals::Loop() {
    const timespec poll {0, 100 * 1000 * 1000};
    while (!quit_.load()) {
        siginfo_t info {};
        const int sig = sigtimedwait(&set_, &info, &poll);
        if (sig < 0) continue;  // EAGAIN: time to look at quit_; EINTR
        if (sig != SIGTSTP) {
            Stop(sig);
        } else if (recording_.load()) {
            Say("\ntamsel-stripe: not suspended while the device records; Ctrl-C stops the run\n");
        } else {
            kill(getpid(), SIGSTOP);
        }
    }
}
