#include "bus_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "sim_protocol.h"

namespace sim1394 {
namespace {

constexpr uint32_t kAllChannels = 0xFFFFFFFFu;
constexpr int kOtherHostChannel = 5;
constexpr uint32_t kOtherHostBandwidth = 1200;  // its own stream, at a higher speed than our S100

void PutLe32(std::FILE* f, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

}  // namespace

BusServer::BusServer(BusOptions opts) : options(std::move(opts)) {
    uint64_t guid = 0x0080880000A00000ULL;
    int index = 0;
    for (NodeKind kind : options.nodes) {
        nodes.push_back(std::make_unique<VirtualNode>(kind, index++, ++guid));
        if (recorder == nullptr && kind != NodeKind::Disk) recorder = nodes.back().get();
    }
    bandwidthAvailable = kMaxBandwidth;
    channelsHi = channelsLo = kAllChannels;
}

BusServer::~BusServer() { Stop(); }

bool BusServer::Start(std::string* error) {
    char pattern[] = "/tmp/sim1394-XXXXXX";  // mkdtemp makes it 0700
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/sim1394-XXXXXX";
    if (templ.size() > 80) templ = pattern;
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        *error = std::string("cannot make the bus folder: ") + strerror(errno);
        return false;
    }
    directory = buffer.data();
    socket = directory + "/bus";
    if (recorder != nullptr && !options.tapePath.empty() && !recorder->OpenTape(options.tapePath)) {
        *error = "cannot write the tape " + options.tapePath + ": " + strerror(errno);
        return false;
    }
    if (!options.capturePath.empty()) {
        const int fd = ::open(options.capturePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        capture = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (capture == nullptr) {
            *error = "cannot write the capture " + options.capturePath + ": " + strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        std::fwrite("ISO1394\n", 1, 8, capture);
    }
    listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socket.size() >= sizeof addr.sun_path) {
        *error = "the bus socket path is too long";
        return false;
    }
    strcpy(addr.sun_path, socket.c_str());
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 64) != 0) {
        *error = std::string("cannot listen on the bus socket: ") + strerror(errno);
        return false;
    }
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    for (int fd : {listenFd, wakeFd, timerFd}) {
        epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    }
    if (options.preconnectNode >= 0 && options.preconnectNode < int(nodes.size()) &&
        nodes[size_t(options.preconnectNode)]->avc()) {
        nodes[size_t(options.preconnectNode)]->ConnectFromOtherHost(kOtherHostChannel);
    }
    ApplyExhaustion();
    busStartNs = MonotonicNs();
    for (uint32_t n = 0; n < NodeCount(); ++n) nodeGeneration[n] = generation;
    thread = std::thread(&BusServer::Run, this);
    return true;
}

void BusServer::Stop() {
    if (thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(commandLock);
            stopping = true;
        }
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
        thread.join();
    }
    for (auto& [fd, client] : clients) ::close(fd);
    clients.clear();
    for (int* fd : {&listenFd, &epollFd, &wakeFd, &timerFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (!socket.empty()) ::unlink(socket.c_str());
    if (!directory.empty()) ::rmdir(directory.c_str());
    socket.clear();
    directory.clear();
    if (capture != nullptr) std::fclose(capture);
    capture = nullptr;
    for (auto& node : nodes) node->CloseTape();
    for (auto& node : removed) node->CloseTape();
}

void BusServer::PostCommand(const std::string& command) {
    {
        std::lock_guard<std::mutex> lock(commandLock);
        commands.push_back(command);
    }
    const uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

int64_t BusServer::CycleNow() const { return (MonotonicNs() - busStartNs) * kCyclesPerSecond / 1000000000LL; }

void BusServer::Run() {
    epoll_event events[32];
    for (;;) {
        const int n = epoll_wait(epollFd, events, 32, -1);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd) {
                Accept();
            } else if (fd == wakeFd) {
                uint64_t count;
                (void)!::read(wakeFd, &count, sizeof count);
                std::deque<std::string> todo;
                {
                    std::lock_guard<std::mutex> lock(commandLock);
                    if (stopping) return;
                    todo.swap(commands);
                }
                for (const std::string& command : todo) HandleControl(command);
            } else if (fd == timerFd) {
                uint64_t count;
                (void)!::read(timerFd, &count, sizeof count);
                DeliverDueEvents();
            } else if (!ServeClient(fd)) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                clients.erase(fd);
            }
        }
    }
}

void BusServer::Accept() {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    // Room for a whole DMA batch of packets from a transmitting client.
    const int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    clients[fd] = Client {fd};
}

void BusServer::SendTo(int fd, const void* data, size_t length) {
    // A client that stopped reading loses messages rather than stalling the bus.
    (void)!::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void BusServer::Respond(int fd, uint32_t seq, int error, const void* data, size_t length) {
    std::vector<uint8_t> message(sizeof(ResponseMsg) + length);
    ResponseMsg r {};
    r.h = {MsgType::Response, seq};
    r.error = error;
    r.length = uint32_t(length);
    memcpy(message.data(), &r, sizeof r);
    if (length > 0) memcpy(message.data() + sizeof r, data, length);
    SendTo(fd, message.data(), message.size());
}

bool BusServer::ServeClient(int fd) {
    static std::vector<uint8_t> buffer(kMaxMessage);
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (size_t(n) < sizeof(MsgHeader)) return true;
    MsgHeader header;
    memcpy(&header, buffer.data(), sizeof header);
    switch (header.type) {
    case MsgType::Hello: {
        WelcomeMsg w {};
        w.h = {MsgType::Welcome, header.seq};
        w.generation = generation;
        w.nodeCount = NodeCount();
        w.localId = 0xffc0 | LocalNode();
        w.irmId = 0xffc0 | LocalNode();
        w.busStartNs = busStartNs;
        memcpy(w.nodeGeneration, nodeGeneration, sizeof w.nodeGeneration);
        SendTo(fd, &w, sizeof w);
        break;
    }
    case MsgType::Request:
        HandleRequest(fd, buffer.data(), size_t(n));
        break;
    case MsgType::IsoPackets:
        HandleIso(buffer.data(), size_t(n));
        break;
    case MsgType::IsoListen: {
        IsoListenMsg m;
        if (size_t(n) < sizeof m) break;
        memcpy(&m, buffer.data(), sizeof m);
        clients[fd].listenChannel = m.channel >= 0 && m.channel < 64 ? m.channel : -1;
        break;
    }
    case MsgType::Control: {
        const std::string text = HandleControl(std::string(buffer.begin() + sizeof header, buffer.begin() + n));
        Respond(fd, header.seq, 0, text.data(), text.size());
        break;
    }
    default:
        break;
    }
    return true;
}

void BusServer::HandleRequest(int fd, const uint8_t* data, size_t size) {
    RequestMsg r;
    if (size < sizeof r) return;
    memcpy(&r, data, sizeof r);
    if (resetAfterRequests > 0 && --resetAfterRequests == 0) {
        // A reset in the middle of whatever the clients are doing: this request is of the old
        // generation now.
        BusReset(resetAfterDelayMs, false);
    }
    const uint8_t* operand = data + sizeof r;
    const size_t operandBytes = size - sizeof r;
    const uint32_t node = r.node & 0x3f;
    // A request of an older generation never reaches a node (the controller drops it).
    if (r.generation != generation || node >= NodeCount() || (r.address >> 32) != 0xFFFF ||
        (r.address & 0xFFFFF0000000ULL) != kCsrBase) {
        Respond(fd, r.h.seq, (r.address >> 32) != 0xFFFF && r.generation == generation ? EINVAL : EAGAIN,
                nullptr, 0);
        return;
    }
    const uint32_t offset = uint32_t(r.address - kCsrBase);
    if (node == LocalNode()) {
        // The host: the IRM's registers and the FCP frames for the handles that listen.
        uint32_t* reg = offset == kCsrBandwidthAvailable ? &bandwidthAvailable
                        : offset == kCsrChannelsHi       ? &channelsHi
                        : offset == kCsrChannelsLo       ? &channelsLo
                                                         : nullptr;
        if (r.kind == RequestKind::Read && reg != nullptr && r.length == 4) {
            const uint32_t wire = htonl(*reg);
            Respond(fd, r.h.seq, 0, &wire, 4);
        } else if (r.kind == RequestKind::Lock && reg != nullptr && operandBytes >= 8) {
            uint32_t arg, swap;
            memcpy(&arg, operand, 4);
            memcpy(&swap, operand + 4, 4);
            if (r.extcode != 2) {
                Respond(fd, r.h.seq, EPERM, nullptr, 0);
                return;
            }
            const uint32_t old = htonl(*reg);
            if (old == arg) *reg = ntohl(swap);
            Respond(fd, r.h.seq, 0, &old, 4);
        } else if (r.kind == RequestKind::Read && offset >= kCsrConfigRom && offset < kCsrConfigRom + 20) {
            const uint32_t localRom[5] = {htonl(0x04040000), htonl(0x31333934), htonl(0xe0ff5000),
                                          htonl(0x00112233), htonl(0x44556677)};
            const uint32_t q = (offset - kCsrConfigRom) / 4;
            Respond(fd, r.h.seq, 0, &localRom[q], 4);
        } else {
            Respond(fd, r.h.seq, EINVAL, nullptr, 0);
        }
        return;
    }
    VirtualNode& target = *nodes[node];
    if (r.kind == RequestKind::Read) {
        std::vector<uint8_t> out;
        const int error = target.Read(offset, r.length, &out);
        Respond(fd, r.h.seq, error, out.data(), out.size());
    } else if (r.kind == RequestKind::Write) {
        std::vector<uint8_t> fcp;
        const int error = target.Write(offset, operand, uint32_t(std::min<size_t>(operandBytes, r.length)), &fcp);
        Respond(fd, r.h.seq, error, nullptr, 0);
        if (!fcp.empty()) {
            // The unit writes its answer into our FCP_RESPONSE register: every listening handle
            // of the host sees it.
            std::vector<uint8_t> message(sizeof(FcpMsg) + fcp.size());
            FcpMsg m {};
            m.h = {MsgType::Fcp, 0};
            m.fromNode = 0xffc0 | node;
            m.response = 1;
            m.length = uint32_t(fcp.size());
            memcpy(message.data(), &m, sizeof m);
            memcpy(message.data() + sizeof m, fcp.data(), fcp.size());
            for (auto& [clientFd, client] : clients) SendTo(clientFd, message.data(), message.size());
        }
    } else {
        uint32_t arg = 0, swap = 0, old = 0;
        if (operandBytes >= 8) {
            memcpy(&arg, operand, 4);
            memcpy(&swap, operand + 4, 4);
        }
        const int error = target.Lock(offset, r.extcode, ntohl(arg), ntohl(swap), &old);
        const uint32_t wire = htonl(old);
        Respond(fd, r.h.seq, error, &wire, error == 0 ? 4 : 0);
    }
}

void BusServer::HandleIso(const uint8_t* data, size_t size) {
    IsoPacketsMsg m;
    if (size < sizeof m) return;
    memcpy(&m, data, sizeof m);
    size_t at = sizeof m;
    // Receive contexts on the host (any client) get the packets of their channel too.
    std::map<int, std::vector<uint8_t>> forward;
    std::map<int, uint32_t> forwardCount;
    for (uint32_t i = 0; i < m.count && at + sizeof(IsoPacketHeader) <= size; ++i) {
        const size_t packetStart = at;
        IsoPacketHeader p;
        memcpy(&p, data + at, sizeof p);
        at += sizeof p;
        if (at + p.length > size) break;
        const uint8_t* payload = data + at;
        at += p.length;
        if (capture != nullptr) {
            PutLe32(capture, p.cycle);
            const uint8_t fields[4] = {p.channel, p.tag, p.sy, 0};
            std::fwrite(fields, 1, 4, capture);
            PutLe32(capture, p.length);
            std::fwrite(payload, 1, p.length, capture);
        }
        ++capturedPackets;
        lastCycle = std::max<uint64_t>(lastCycle, p.cycle);
        for (auto& node : nodes) {
            if (node->ListeningChannel() == int(p.channel)) node->Receive(p.cycle, payload, p.length);
        }
        for (auto& [fd, client] : clients) {
            if (client.listenChannel != int(p.channel)) continue;
            std::vector<uint8_t>& out = forward[fd];
            if (out.empty()) out.resize(sizeof(IsoPacketsMsg));
            out.insert(out.end(), data + packetStart, data + at);
            ++forwardCount[fd];
        }
    }
    for (auto& [fd, out] : forward) {
        IsoPacketsMsg header {};
        header.h = {MsgType::IsoReceive, 0};
        header.count = forwardCount[fd];
        memcpy(out.data(), &header, sizeof header);
        SendTo(fd, out.data(), out.size());  // a receiver that falls behind loses packets
    }
}

void BusServer::ApplyExhaustion() {
    if (options.noBandwidth) bandwidthAvailable = 0;
    if (options.noChannels) channelsHi = channelsLo = 0;
    for (auto& node : nodes) {
        if (node->heldByOtherHost()) {
            const int c = node->otherHostChannel;
            (c < 32 ? channelsHi : channelsLo) &= ~(1u << (31 - c % 32));
            bandwidthAvailable -= std::min(bandwidthAvailable, kOtherHostBandwidth);
        }
    }
}

void BusServer::BusReset(int delayMs, bool nodesFirst) {
    ++generation;
    // The IRM's registers return to their initial values; owners reallocate within a second
    // (the other host and the exhaustion at once).
    bandwidthAvailable = kMaxBandwidth;
    channelsHi = channelsLo = kAllChannels;
    for (auto& node : nodes) node->BusReset();
    ApplyExhaustion();
    resetCycles.push_back(uint64_t(CycleNow()));
    log.push_back("bus reset at cycle " + std::to_string(CycleNow()) + " (generation " +
                  std::to_string(generation) + ")");
    BusResetMsg local {};
    local.h = {MsgType::BusReset, 0};
    local.generation = generation;
    local.nodeCount = NodeCount();
    local.localId = 0xffc0 | LocalNode();
    local.irmId = 0xffc0 | LocalNode();
    nodeGeneration[LocalNode()] = generation;
    // Node numbers may have changed: until its own event, a number answers nothing.
    const int64_t due = MonotonicNs() + int64_t(delayMs) * 1000000LL;
    pending.clear();
    for (uint32_t n = 0; n < LocalNode(); ++n) {
        nodeGeneration[n] = 0;
        pending.push_back({nodesFirst ? 0 : due, n, generation});
    }
    if (nodesFirst) {
        DeliverDueEvents();
        // The local event comes last: hold it back by the delay.
        struct timespec ts {delayMs / 1000, (delayMs % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    for (auto& [fd, client] : clients) SendTo(fd, &local, sizeof local);
    DeliverDueEvents();
    ArmTimer();
}

void BusServer::DeliverDueEvents() {
    const int64_t now = MonotonicNs();
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->dueNs > now) {
            ++it;
            continue;
        }
        nodeGeneration[it->node] = it->generation;
        NodeUpdateMsg m {};
        m.h = {MsgType::NodeUpdate, 0};
        m.node = it->node;
        m.generation = it->generation;
        for (auto& [fd, client] : clients) SendTo(fd, &m, sizeof m);
        it = pending.erase(it);
    }
    ArmTimer();
}

void BusServer::ArmTimer() {
    itimerspec due {};
    if (!pending.empty()) {
        int64_t next = pending.front().dueNs;
        for (const Pending& p : pending) next = std::min(next, p.dueNs);
        next = std::max<int64_t>(next, 1);
        due.it_value.tv_sec = next / 1000000000LL;
        due.it_value.tv_nsec = next % 1000000000LL;
    }
    timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &due, nullptr);
}

void BusServer::Unplug(const std::string& which) {
    auto it = nodes.end();
    for (auto i = nodes.begin(); i != nodes.end(); ++i) {
        const bool match = which.empty() ? (*i)->avc() : (*i)->name() == which || (*i)->name().rfind(which, 0) == 0;
        if (match) {
            it = i;
            break;
        }
    }
    if (it == nodes.end()) return;
    log.push_back((*it)->name() + " unplugged at cycle " + std::to_string(CycleNow()));
    (*it)->CloseTape();
    removed.push_back(std::move(*it));
    nodes.erase(it);
    BusReset(options.nodeEventDelayMs, false);
}

std::string BusServer::HandleControl(const std::string& command) {
    std::istringstream in(command);
    std::string verb;
    in >> verb;
    if (verb == "reset") {
        int delay = options.nodeEventDelayMs;
        bool nodesFirst = false;
        std::string word;
        while (in >> word) {
            if (word == "nodes-first") nodesFirst = true;
            else delay = std::clamp(atoi(word.c_str()), 0, 2000);
        }
        BusReset(delay, nodesFirst);
        return "ok: generation " + std::to_string(generation) + "\n";
    }
    if (verb == "reset-after") {
        int count = 0, delay = options.nodeEventDelayMs;
        in >> count;
        if (in >> delay) delay = std::clamp(delay, 0, 2000);
        resetAfterRequests = std::max(count, 0);
        resetAfterDelayMs = delay;
        return "ok\n";
    }
    if (verb == "unplug") {
        std::string rest;
        std::getline(in, rest);
        rest.erase(0, rest.find_first_not_of(' '));
        const size_t before = nodes.size();
        Unplug(rest);
        return nodes.size() < before ? "ok\n" : "error: no such node\n";
    }
    if (verb == "status") {
        std::string text = StateText();
        text += "bus cycle 0 at monotonic ns " + std::to_string(busStartNs) + "\n";
        for (const auto& node : nodes) {
            if (node->avc()) {
                text += node->name() + " frames recorded " + std::to_string(node->statistics().framesRecorded) + "\n";
            }
        }
        return text;
    }
    return "error: unknown command (reset [DELAY_MS] [nodes-first] | reset-after REQUESTS [DELAY_MS] | "
           "unplug [NODE] | status)\n";
}

std::string BusServer::StateText() const {
    std::ostringstream out;
    const int freeChannels = __builtin_popcount(channelsHi) + __builtin_popcount(channelsLo);
    out << "generation " << generation << "\n";
    out << "IRM bandwidth available " << bandwidthAvailable << "\n";
    out << "IRM channels available " << freeChannels << "\n";
    for (const auto& node : nodes) {
        if (!node->avc()) continue;
        const uint32_t ipcr = node->inputPcr();
        out << node->name() << " input plug: " << ((ipcr >> 24) & 0x3f) << " point-to-point, channel "
            << ((ipcr >> 16) & 0x3f) << (node->heldByOtherHost() ? " (another host)" : "") << "\n";
    }
    out << "isochronous packets " << capturedPackets << ", last cycle " << lastCycle << "\n";
    return out.str();
}

std::string BusServer::Report() const {
    std::ostringstream out;
    out << StateText();
    for (const std::string& line : log) out << line << "\n";
    auto describe = [&](const VirtualNode& node, bool present) {
        if (!node.avc()) return;
        const auto& s = node.statistics();
        out << node.name() << (present ? "" : " (unplugged)") << ": frames recorded " << s.framesRecorded
            << ", frames lost " << s.framesBroken << ", data packets " << s.dataPackets << ", empty packets "
            << s.emptyPackets << ", block count breaks " << s.dbcBreaks << "\n";
        // How long after each reset the unit completed a frame again, in bus cycles.
        for (uint64_t reset : resetCycles) {
            for (uint64_t done : node.frameCycles()) {
                if (done <= reset) continue;
                out << node.name() << ": recording resumed " << (done - reset) << " cycles after the bus reset at cycle "
                    << reset << "\n";
                break;
            }
        }
    };
    for (const auto& node : nodes) describe(*node, true);
    for (const auto& node : removed) describe(*node, false);
    return out.str();
}

}  // namespace sim1394
