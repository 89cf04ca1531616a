#include "dv/ieee1394/ieee1394_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace dv {

Ieee1394Interrupt::Ieee1394Interrupt() : eventFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Ieee1394Interrupt::~Ieee1394Interrupt() {
    if (eventFd >= 0) ::close(eventFd);
}

void Ieee1394Interrupt::Set() {
    // The flag first: a wait that wakes on the fd finds it set. Never read back, so it stays
    // readable.
    set.store(true);
    const uint64_t one = 1;
    if (eventFd >= 0) (void)!::write(eventFd, &one, sizeof one);
}

BusWait WaitOnBus(raw1394handle_t handle, int ms, const Ieee1394Interrupt* interrupt) {
    if (interrupt != nullptr && interrupt->IsSet()) return BusWait::Interrupted;
    pollfd fds[2] = {{raw1394_get_fd(handle), POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (interrupt != nullptr && interrupt->fd() >= 0) {
        fds[1].fd = interrupt->fd();
        count = 2;
    }
    const int ready = ::poll(fds, count, ms < 0 ? 0 : ms);
    if (interrupt != nullptr && interrupt->IsSet()) return BusWait::Interrupted;
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        return raw1394_loop_iterate(handle) >= 0 ? BusWait::Done : BusWait::Failed;
    }
    return BusWait::Done;
}

}  // namespace dv
