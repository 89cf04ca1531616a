// For tests that talk libraw1394 directly inside the simulated bus: a handle on port 0 destroyed
// with its holder (also when an assertion ends the test early), the handle's event loop run a
// turn or for a while, and the FCP answers the handle was handed, by their response code.
// Header-only test support; each handle is used by the test's own thread.
#pragma once

#include <libraw1394/raw1394.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace sim1394test {

// A raw1394 handle on port 0; null when it could not be made. It stands for the handle wherever
// libraw1394 takes one.
class Raw1394Handle {
public:
    Raw1394Handle() : handle_(raw1394_new_handle_on_port(0)) {}
    ~Raw1394Handle() {
        if (handle_ != nullptr) raw1394_destroy_handle(handle_);
    }
    Raw1394Handle(const Raw1394Handle&) = delete;
    Raw1394Handle& operator=(const Raw1394Handle&) = delete;

    raw1394handle_t get() const { return handle_; }
    operator raw1394handle_t() const { return handle_; }

private:
    raw1394handle_t handle_;
};

// One turn of the handle's loop: waits up to 10 ms for an event and handles what came.
inline void IterateOnce(raw1394handle_t h) {
    pollfd pfd{raw1394_get_fd(h), POLLIN, 0};
    if (::poll(&pfd, 1, 10) > 0) raw1394_loop_iterate(h);
}

// Runs the handle's loop for about `ms`.
inline void Iterate(raw1394handle_t h, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) IterateOnce(h);
}

// The response codes (the ctype nibble: ACCEPTED 9, INTERIM F, STABLE C...) of the FCP answers
// handed to the handles that LogFcpAnswer is the FCP handler of, in the order they came.
inline std::vector<int> g_fcpAnswers;

inline int LogFcpAnswer(raw1394handle_t, nodeid_t, int response, size_t length,
                        unsigned char* data) {
    if (response != 0 && length >= 4) g_fcpAnswers.push_back(data[0] & 0x0f);
    return 0;
}

}  // namespace sim1394test
