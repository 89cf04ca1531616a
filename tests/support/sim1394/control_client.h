// The client side of the bus's text commands (`sim1394 --ctl`): for the launcher's --ctl and for
// test programs on the bus, which send them from their own process instead of starting one.
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim_protocol.h"

namespace sim1394 {

// Sends `command` to the bus named by SIM1394_SOCKET on a connection of its own and waits at most
// 5 s for the answer. 0: the bus did it, *text its answer; 1: the bus refused it (an answer that
// starts "error"), *text that answer; 2: no bus, or it did not answer, *text the reason.
inline int SendControl(const std::string& command, std::string* text) {
    text->clear();
    const char* path = getenv(kSocketVariable);
    if (path == nullptr || strlen(path) >= sizeof(sockaddr_un::sun_path)) {
        *text = std::string("sim1394: not running on a simulated bus (") + kSocketVariable + " is not set)\n";
        return 2;
    }
    struct Socket {
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ~Socket() { if (fd >= 0) ::close(fd); }
    } socket;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    if (socket.fd < 0 || ::connect(socket.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *text = std::string("sim1394: cannot reach the bus: ") + strerror(errno) + "\n";
        return 2;
    }
    std::vector<char> message(sizeof(MsgHeader));
    const MsgHeader header {MsgType::Control, 1};
    memcpy(message.data(), &header, sizeof header);
    message.insert(message.end(), command.begin(), command.end());
    if (::send(socket.fd, message.data(), message.size(), MSG_NOSIGNAL) != ssize_t(message.size())) {
        *text = std::string("sim1394: cannot reach the bus: ") + strerror(errno) + "\n";
        return 2;
    }
    timeval tv {5, 0};
    setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<char> reply(kMaxMessage);
    for (;;) {  // skip the bus's unsolicited events
        const ssize_t n = ::recv(socket.fd, reply.data(), reply.size(), 0);
        if (n <= 0) {
            *text = "sim1394: the bus did not answer\n";
            return 2;
        }
        ResponseMsg r;
        if (size_t(n) < sizeof r) continue;
        memcpy(&r, reply.data(), sizeof r);
        if (r.h.type != MsgType::Response || r.h.seq != 1) continue;
        text->assign(reply.data() + sizeof r, std::min<size_t>(r.length, size_t(n) - sizeof r));
        return text->rfind("error", 0) == 0 ? 1 : 0;
    }
}

}  // namespace sim1394
