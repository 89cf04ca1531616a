// The signals that ask the program to stop, and Ctrl-Z, taken on a thread of their own.
#pragma once

#include <platform/platform.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

// Every catchable signal whose default ends the process (SIGHUP, SIGINT, SIGQUIT, SIGTERM) and
// SIGTSTP are blocked in every thread and taken here with sigtimedwait. The first stop signal is
// the stop request: it is recorded (Requested) and the device is interrupted, so that every wait
// of it ends promptly and nothing but STOP is sent to it afterwards; the run looks at the request
// before each command and ends with the signal's own status (ExitStatus). SIGTSTP suspends the
// program (SIGSTOP) unless the unit records, when it is refused with a line saying that Ctrl-C
// stops the run. SIGPIPE stays ignored: a write to a closed pipe fails (EPIPE) and is let go.
//
// Threads: the constructor and destructor on the main thread; the constructor before any other
// thread starts, so that they all inherit the blocked signals. Requested, SetDevice and
// SetRecording from any thread. `lock_` guards the device; nothing else is taken under it.
class CStopSignals {
public:
    CStopSignals();
    // Ends the signal thread (it looks for the end every 100 ms); gives the device back.
    ~CStopSignals();

    // The number of the signal that asked to stop, 0 while none did.
    int Requested() const { return requested_.load(); }
    // The device to interrupt when a stop is asked for (null: none); interrupted at once when the
    // stop was asked for already. Holds a reference until replaced.
    void SetDevice(IDVDeviceStream* device);
    // Whether the unit records under this run: Ctrl-Z is refused meanwhile.
    void SetRecording(bool recording) { recording_.store(recording); }

    // "SIGINT" for SIGINT, ...
    static const char* Name(int sig);
    // The exit status of a run the signal stopped: 128 + its number (129 SIGHUP, 130 SIGINT,
    // 131 SIGQUIT), except SIGTERM, which ends with 130 as Ctrl-C does: the status this program
    // has always given for it, and scripts wait for it.
    static int ExitStatus(int sig);

private:
    void Loop();
    void Stop(int sig);

    sigset_t set_ {};
    std::atomic<int> requested_ {0};
    std::atomic<bool> recording_ {false};
    std::atomic<bool> quit_ {false};
    std::mutex lock_;
    IDVDeviceStream* device_ = nullptr;  // one reference; guarded by lock_
    std::thread thread_;
};
