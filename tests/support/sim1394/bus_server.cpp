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
// core-device.c: a node that caused the reset is read again INITIAL_DELAY (HZ / 2) later; a
// gone device's file is shut down SHUTDOWN_DELAY (2 HZ) after the reset.
constexpr int kCausedResetDelayMs = 500;
constexpr int kShutdownDelayMs = 2000;
const uint32_t kLocalRom[5] = {0x04040000, 0x31333934, 0xe0ff5000, 0x00112233, 0x44556677};

// (Resized and copied rather than insert()ed: GCC 12 at -O3 misreads the inlined insert as an
// overflow.)
void Append(std::vector<uint8_t>* out, const void* data, size_t size) {
    if (size == 0) return;
    const size_t at = out->size();
    out->resize(at + size);
    std::memcpy(out->data() + at, data, size);
}

std::string TimecodeWord(uint32_t code) {
    const uint8_t pack[4] = {uint8_t(code >> 24), uint8_t(code >> 16), uint8_t(code >> 8), uint8_t(code)};
    return VirtualNode::TimecodeText(pack);
}

void PutLe32(std::FILE* f, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

}  // namespace

BusServer::BusServer(BusOptions opts) : options(std::move(opts)) {
    uint64_t guid = 0x0080880000A00000ULL;
    int index = 0;
    for (const NodeSpec& wanted : options.nodes) {
        nodes.push_back(std::make_unique<VirtualNode>(wanted.kind, index, ++guid, wanted.options));
        nodes.back()->SetNodeNumber(index++);
        if (options.recording) nodes.back()->PressRecord(0);
        if (recorder == nullptr && wanted.kind != NodeKind::Disk) recorder = nodes.back().get();
    }
    bandwidthAvailable = kMaxBandwidth;
    channelsHi = channelsLo = kAllChannels;
    accessDenied = options.accessDenied;
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
    for (auto& node : nodes) {
        if (!node->LoadCassette(error)) return false;
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
    playTimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    for (int fd : {listenFd, wakeFd, timerFd, playTimerFd}) {
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
        for (auto& node : nodes) node->Advance(CycleNow());  // the report says where each unit is now
    }
    for (auto& [fd, client] : clients) ::close(fd);
    clients.clear();
    for (int* fd : {&listenFd, &epollFd, &wakeFd, &timerFd, &playTimerFd}) {
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
            } else if (fd == playTimerFd) {
                uint64_t count;
                (void)!::read(playTimerFd, &count, sizeof count);
                CarryUnitOutput();
            } else if (!ServeClient(fd)) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                clients.erase(fd);
            }
        }
        UpdatePlayTimer();
    }
}

void BusServer::UpdatePlayTimer() {
    bool any = false;
    for (const auto& node : nodes) any = any || node->transmitting();
    if (any == playTimerOn) return;
    playTimerOn = any;
    // Every 4 ms (32 bus cycles): a batch of packets per turn, as a DMA context's interrupts give.
    itimerspec tick {};
    if (any) tick.it_interval.tv_nsec = tick.it_value.tv_nsec = 4000000;
    timerfd_settime(playTimerFd, 0, &tick, nullptr);
}

void BusServer::CarryUnitOutput() {
    const int64_t now = CycleNow();
    Forward forward;
    for (size_t n = 0; n < nodes.size(); ++n) {
        if (!nodes[n]->transmitting()) continue;
        for (const WirePacket& packet : nodes[n]->TakeOutput(now)) {
            IsoPacketHeader header {};
            header.cycle = uint32_t(packet.cycle);
            header.channel = uint8_t(packet.channel);
            header.tag = 1;
            header.sy = 0;
            header.length = uint32_t(packet.payload.size());
            Carry(header, packet.payload.data(), int(n), &forward);
        }
    }
    SendForward(&forward);
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
    clients[fd] = Client {fd, -1, false, {}};
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
        // GET_INFO on every device file: the kernel's own generation for each device, even
        // where existing handles still wait for the device's event.
        WelcomeMsg w {};
        w.h = {MsgType::Welcome, header.seq};
        w.generation = generation;
        w.nodeCount = NodeCount();
        w.localId = 0xffc0 | LocalNode();
        w.irmId = 0xffc0 | LocalNode();
        w.busStartNs = busStartNs;
        w.accessDenied = accessDenied ? 1 : 0;
        std::vector<uint8_t> message;
        Append(&message, &w, sizeof w);
        for (uint32_t n = 0; n < NodeCount() && !accessDenied; ++n) {
            const std::vector<uint8_t> info = DeviceInfoOf(n);
            message.insert(message.end(), info.begin(), info.end());
        }
        SendTo(fd, message.data(), message.size());
        if (stalled) {
            IsoStallMsg m {};
            m.h = {MsgType::IsoStall, 0};
            m.stalled = 1;
            SendTo(fd, &m, sizeof m);
        }
        break;
    }
    case MsgType::IsoResource:
        HandleIsoResource(fd, buffer.data(), size_t(n));
        break;
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
    case MsgType::FcpListen: {
        FcpListenMsg m;
        if (size_t(n) < sizeof m) break;
        memcpy(&m, buffer.data(), sizeof m);
        Client& client = clients[fd];
        // Changes older than a few seconds decide nothing any more: no answer is due that late.
        while (!client.listenChanges.empty() && client.listenChanges.front().first < m.atNs - 5000000000LL) {
            client.listenedBefore = client.listenChanges.front().second;
            client.listenChanges.erase(client.listenChanges.begin());
        }
        client.listenChanges.push_back({m.atNs, m.on != 0});
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
    if (!TakeRequest(data, size, &r)) return;
    const uint8_t* operand = data + sizeof r;
    const size_t operandBytes = size - sizeof r;
    const uint32_t node = r.node & 0x3f;
    // The file of a device the kernel shut down refuses every ioctl.
    if (std::find(shutDevices.begin(), shutDevices.end(), r.device) != shutDevices.end()) {
        Respond(fd, r.h.seq, ENODEV, nullptr, 0);
        return;
    }
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
            const uint32_t wire = htonl(kLocalRom[(offset - kCsrConfigRom) / 4]);
            Respond(fd, r.h.seq, 0, &wire, 4);
        } else {
            Respond(fd, r.h.seq, EINVAL, nullptr, 0);
        }
        return;
    }
    VirtualNode& target = *nodes[node];
    if (r.kind == RequestKind::Write) TakeWirePackets(fd);
    if (r.kind == RequestKind::Read) {
        std::vector<uint8_t> out;
        const int error = target.Read(offset, r.length, &out);
        Respond(fd, r.h.seq, error, out.data(), out.size());
    } else if (r.kind == RequestKind::Write) {
        std::vector<uint8_t> fcp;
        const uint32_t length = uint32_t(std::min<size_t>(operandBytes, r.length));
        if (offset == kCsrFcpCommand && target.avc()) ++fcpCommands;
        auto forced = length > 2 && offset == kCsrFcpCommand && target.avc() ? fcpOverride.find(operand[2])
                                                                               : fcpOverride.end();
        if (forced != fcpOverride.end()) {
            // The unit does not act on the command: it answers the forced code, or nothing.
            Respond(fd, r.h.seq, 0, nullptr, 0);
            if (forced->second < 0) return;
            std::vector<uint8_t> answer(operand, operand + length);
            answer[0] = uint8_t((answer[0] & 0xf0) | forced->second);
            ScheduleFcp(node, operand, length, std::move(answer));
            return;
        }
        std::vector<uint8_t> final;
        int64_t finalAfter = 0;
        const int error = target.Write(offset, operand, length, CycleNow(), &fcp, &final, &finalAfter);
        // The write completes first; the unit answers later, by a write of its own.
        Respond(fd, r.h.seq, error, nullptr, 0);
        if (!fcp.empty()) ScheduleFcp(node, operand, length, std::move(fcp));
        if (!final.empty()) {
            // The unit's own INTERIM: its final answer once the mechanism got there.
            const int64_t due = MonotonicNs() + int64_t(fcpDelayMs) * 1000000LL +
                                finalAfter * 1000000000LL / kCyclesPerSecond;
            later.push_back({due, node, std::move(final)});
            ArmTimer();
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

bool BusServer::CountRequest() {
    if (resetAfterRequests <= 0 || --resetAfterRequests != 0) return false;
    // A reset in the middle of whatever the clients are doing: this request meets the new
    // generation.
    BusReset(resetAfterDelayMs, false);
    return true;
}

std::vector<uint8_t> BusServer::DeviceInfoOf(uint32_t node) const {
    DeviceInfo info {};
    info.node = node;
    info.generation = generation;
    const uint32_t* rom = kLocalRom;
    info.romQuadlets = 5;
    if (node < LocalNode()) {
        info.device = nodes[node]->device();
        rom = nodes[node]->configRom().data();
        info.romQuadlets = uint32_t(nodes[node]->configRom().size());
    } else {
        info.device = kLocalDevice;
    }
    std::vector<uint8_t> out;
    Append(&out, &info, sizeof info);
    Append(&out, rom, 4 * size_t(info.romQuadlets));
    return out;
}

VirtualNode* BusServer::NodeOfDevice(uint32_t device) const {
    for (const auto& node : nodes) {
        if (node->device() == device) return node.get();
    }
    return nullptr;
}

void BusServer::HandleIsoResource(int fd, const uint8_t* data, size_t size) {
    IsoResourceMsg m;
    if (!TakeRequest(data, size, &m)) return;
    // core-iso.c fw_iso_resource_manage, in the generation of now: a channel first, then the
    // bandwidth; when either is refused, nothing stays allocated. Freeing a channel that is free
    // or bandwidth beyond the total is refused too. The ioctl's event then says what was done,
    // and libraw1394 turns a refusal into EIO.
    bool ok = true;
    const bool allocate = m.allocate != 0;
    uint32_t* channels = nullptr;
    uint32_t bit = 0;
    if (m.channel >= 0 && m.channel < 64) {
        channels = m.channel < 32 ? &channelsHi : &channelsLo;
        bit = 1u << (31 - m.channel % 32);
        const bool isFree = (*channels & bit) != 0;
        ok = allocate ? isFree : !isFree;
        if (ok) *channels ^= bit;
    }
    if (m.bandwidth > 0) {
        const bool fits = allocate ? bandwidthAvailable >= m.bandwidth
                                   : bandwidthAvailable + m.bandwidth <= kMaxBandwidth;
        if (allocate && ok && fits) bandwidthAvailable -= m.bandwidth;
        if (!allocate && fits) bandwidthAvailable += m.bandwidth;
        if (allocate && ok && !fits && channels != nullptr) *channels ^= bit;  // undo the channel
        ok = ok && fits;
    }
    Respond(fd, m.h.seq, ok ? 0 : EIO, nullptr, 0);
}

void BusServer::TakeWirePackets(int fd) {
    std::vector<uint8_t> buffer(kMaxMessage);
    for (auto& [clientFd, client] : clients) {
        if (clientFd == fd) continue;
        for (;;) {
            MsgHeader header;
            const ssize_t peeked = ::recv(clientFd, &header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
            if (peeked != ssize_t(sizeof header) || header.type != MsgType::IsoPackets) break;
            const ssize_t n = ::recv(clientFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) break;
            HandleIso(buffer.data(), size_t(n));
        }
    }
}

void BusServer::ScheduleFcp(uint32_t node, const uint8_t* command, uint32_t length, std::vector<uint8_t> answer) {
    const int64_t now = MonotonicNs();
    const uint8_t opcode = length > 2 ? command[2] : 0;
    auto interim = fcpInterim.find(opcode);
    int64_t due = now + int64_t(fcpDelayMs) * 1000000LL;
    // A unit answers INTERIM to a command it takes but needs time for (not to one it refuses).
    const uint8_t code = answer[0] & 0x0f;
    if (interim != fcpInterim.end() && (code == 0x09 || code == 0x0C || code == 0x0D)) {
        const FcpInterim how = interim->second;
        Later first {due, node, answer};
        first.fcp[0] = uint8_t((first.fcp[0] & 0xf0) | 0x0F);  // INTERIM
        if (how.everyMs > 0) {
            first.repeatNs = int64_t(how.everyMs) * 1000000LL;
            if (how.finalMs >= 0) first.untilNs = due + int64_t(how.finalMs) * 1000000LL;
        }
        later.push_back(std::move(first));
        if (how.finalMs < 0) {  // the unit never gives its final answer
            ArmTimer();
            return;
        }
        due += int64_t(how.finalMs) * 1000000LL;
    }
    later.push_back({due, node, std::move(answer)});
    ArmTimer();
}

bool BusServer::Client::ListeningAt(int64_t ns) const {
    bool on = listenedBefore;
    for (const auto& [at, state] : listenChanges) {
        if (at > ns) break;
        on = state;
    }
    return on;
}

void BusServer::SendFcp(uint32_t fromNode, const std::vector<uint8_t>& frame, int64_t arrivalNs) {
    // The unit writes its answer into our FCP_RESPONSE register: every listening handle of the
    // host sees it.
    std::vector<uint8_t> message(sizeof(FcpMsg) + frame.size());
    FcpMsg m {};
    m.h = {MsgType::Fcp, 0};
    m.fromNode = 0xffc0 | fromNode;
    m.response = 1;
    m.length = uint32_t(frame.size());
    memcpy(message.data(), &m, sizeof m);
    memcpy(message.data() + sizeof m, frame.data(), frame.size());
    for (auto& [clientFd, client] : clients) {
        if (client.ListeningAt(arrivalNs)) SendTo(clientFd, message.data(), message.size());
    }
}

void BusServer::HandleIso(const uint8_t* data, size_t size) {
    IsoPacketsMsg m;
    if (size < sizeof m) return;
    memcpy(&m, data, sizeof m);
    size_t at = sizeof m;
    Forward forward;
    for (uint32_t i = 0; i < m.count && at + sizeof(IsoPacketHeader) <= size; ++i) {
        IsoPacketHeader p;
        memcpy(&p, data + at, sizeof p);
        at += sizeof p;
        if (at + p.length > size) break;
        Carry(p, data + at, -1, &forward);
        at += p.length;
    }
    SendForward(&forward);
}

void BusServer::Carry(const IsoPacketHeader& p, const uint8_t* payload, int sourceNode, Forward* forward) {
    if (capture != nullptr) {
        PutLe32(capture, p.cycle);
        const uint8_t fields[4] = {p.channel, p.tag, p.sy, 0};
        std::fwrite(fields, 1, 4, capture);
        PutLe32(capture, p.length);
        std::fwrite(payload, 1, p.length, capture);
    }
    ++capturedPackets;
    lastCycle = std::max<uint64_t>(lastCycle, p.cycle);
    for (size_t n = 0; n < nodes.size(); ++n) {
        if (int(n) != sourceNode && nodes[n]->ListeningChannel() == int(p.channel)) {
            nodes[n]->Receive(p.cycle, payload, p.length);
        }
    }
    if (stallAtFrames >= 0 && recorder != nullptr && int64_t(recorder->frameCycles().size()) >= stallAtFrames) {
        stallAtFrames = -1;
        SetStalled(true);
    }
    // Receive contexts on the host (any client) get the packets of their channel, the host's own too.
    for (auto& [fd, client] : clients) {
        if (client.listenChannel != int(p.channel)) continue;
        std::vector<uint8_t>& out = forward->messages[fd];
        if (out.size() + sizeof p + p.length > kMaxMessage) {  // full: this batch goes, the next begins
            IsoPacketsMsg header {};
            header.h = {MsgType::IsoReceive, 0};
            header.count = forward->counts[fd];
            memcpy(out.data(), &header, sizeof header);
            SendTo(fd, out.data(), out.size());
            out.clear();
            forward->counts[fd] = 0;
        }
        if (out.empty()) out.resize(sizeof(IsoPacketsMsg));
        Append(&out, &p, sizeof p);
        Append(&out, payload, p.length);
        ++forward->counts[fd];
    }
}

void BusServer::SendForward(Forward* forward) {
    for (auto& [fd, out] : forward->messages) {
        if (forward->counts[fd] == 0) continue;
        IsoPacketsMsg header {};
        header.h = {MsgType::IsoReceive, 0};
        header.count = forward->counts[fd];
        memcpy(out.data(), &header, sizeof header);
        SendTo(fd, out.data(), out.size());  // a receiver that falls behind loses packets
    }
    forward->messages.clear();
    forward->counts.clear();
}

void BusServer::ApplyExhaustion() {
    if (options.noBandwidth) bandwidthAvailable = 0;
    if (options.noChannels) channelsHi = channelsLo = 0;
    if (options.onlyBroadcastChannel) channelsHi = 0, channelsLo = 1;  // channel 63 is the lowest bit
    if (options.bandwidth >= 0) bandwidthAvailable = std::min<uint32_t>(bandwidthAvailable, uint32_t(options.bandwidth));
    for (auto& node : nodes) {
        if (node->heldByOtherHost()) {
            const int c = node->otherHostChannel;
            (c < 32 ? channelsHi : channelsLo) &= ~(1u << (31 - c % 32));
            bandwidthAvailable -= std::min(bandwidthAvailable, kOtherHostBandwidth);
        }
    }
}

void BusServer::BusReset(int delayMs, bool nodesFirst, int causedBy) {
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
    // Each device's work: a pending one keeps its time and takes the newest generation.
    const int64_t now = MonotonicNs();
    for (uint32_t n = 0; n < LocalNode(); ++n) {
        const uint32_t device = nodes[n]->device();
        const int ms = delayMs >= 0 ? delayMs : int(n) == causedBy ? kCausedResetDelayMs : 0;
        auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.device == device; });
        if (it != pending.end()) it->generation = generation;
        else pending.push_back({nodesFirst ? 0 : now + int64_t(ms) * 1000000LL, device, generation});
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
        for (uint32_t n = 0; n < LocalNode(); ++n) {
            if (nodes[n]->device() != it->device) continue;
            std::vector<uint8_t> info = DeviceInfoOf(n);
            DeviceInfo d;
            memcpy(&d, info.data(), sizeof d);
            d.generation = it->generation;
            memcpy(info.data(), &d, sizeof d);
            const MsgHeader h {MsgType::NodeUpdate, 0};
            std::vector<uint8_t> message;
            Append(&message, &h, sizeof h);
            Append(&message, info.data(), info.size());
            for (auto& [fd, client] : clients) SendTo(fd, message.data(), message.size());
        }
        it = pending.erase(it);
    }
    for (auto it = later.begin(); it != later.end();) {
        if (it->dueNs > now) {
            ++it;
            continue;
        }
        const Later due = std::move(*it);
        it = later.erase(it);
        if (due.shutdownDevice >= 0) {
            shutDevices.push_back(uint32_t(due.shutdownDevice));
            DeviceShutdownMsg m {};
            m.h = {MsgType::DeviceShutdown, 0};
            m.device = uint32_t(due.shutdownDevice);
            for (auto& [fd, client] : clients) SendTo(fd, &m, sizeof m);
        } else if (due.fromNode < LocalNode()) {
            SendFcp(due.fromNode, due.fcp, due.dueNs);
            ++((due.fcp[0] & 0x0f) == 0x0F ? fcpInterims : fcpAnswers);
            if (due.repeatNs > 0 && due.dueNs + due.repeatNs < due.untilNs) {
                Later again = due;
                again.dueNs += due.repeatNs;
                later.push_back(std::move(again));
            }
        }
        it = later.begin();  // SendTo never adds, but keep the walk simple
    }
    ArmTimer();
}

void BusServer::ArmTimer() {
    itimerspec due {};
    if (!pending.empty() || !later.empty()) {
        int64_t next = INT64_MAX;
        for (const Pending& p : pending) next = std::min(next, p.dueNs);
        for (const Later& l : later) next = std::min(next, l.dueNs);
        next = std::max<int64_t>(next, 1);
        due.it_value.tv_sec = next / 1000000000LL;
        due.it_value.tv_nsec = next % 1000000000LL;
    }
    timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &due, nullptr);
}

VirtualNode* BusServer::NodeNamed(const std::string& which) const {
    for (const auto& node : nodes) {
        if (!node->avc()) continue;
        if (which.empty() || node->name() == which || node->name().rfind(which, 0) == 0) return node.get();
    }
    return nullptr;
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
    const uint32_t device = (*it)->device();
    pending.erase(std::remove_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.device == device; }),
                  pending.end());
    removed.push_back(std::move(*it));
    nodes.erase(it);
    for (size_t n = 0; n < nodes.size(); ++n) nodes[n]->SetNodeNumber(int(n));
    // The others are only refreshed; the gone one's file stays until the kernel shuts it down.
    BusReset(options.nodeEventDelayMs, false);
    Later shutdown {MonotonicNs() + int64_t(kShutdownDelayMs) * 1000000LL, 0, {}};
    shutdown.shutdownDevice = device;
    later.push_back(std::move(shutdown));
    ArmTimer();
}

std::string BusServer::HandleControl(const std::string& command) {
    std::istringstream in(command);
    std::string verb;
    in >> verb;
    if (verb == "reset") {
        int delay = options.nodeEventDelayMs;
        bool nodesFirst = false;
        // By default the first AV/C unit caused it (a camcorder switching modes, say).
        int causedBy = -1;
        for (size_t n = 0; n < nodes.size() && causedBy < 0; ++n) {
            if (nodes[n]->avc()) causedBy = int(n);
        }
        std::string word;
        while (in >> word) {
            if (word == "nodes-first") nodesFirst = true;
            else if (word == "host") causedBy = -1;
            else if (word.rfind("by=", 0) == 0) causedBy = atoi(word.c_str() + 3);
            else delay = std::clamp(atoi(word.c_str()), 0, 2000);
        }
        BusReset(delay, nodesFirst, causedBy);
        return "ok: generation " + std::to_string(generation) + "\n";
    }
    if (verb == "fcp-delay") {
        int ms = 0;
        in >> ms;
        fcpDelayMs = std::clamp(ms, 0, 1000);
        return "ok\n";
    }
    if (verb == "fcp-interim") {
        // fcp-interim OPCODE [FINAL_MS|never] [every MS] | OPCODE off: commands with this opcode
        // (hex) get INTERIM first (again every MS), their final answer FINAL_MS later or never.
        std::string opcode, final, every;
        int everyMs = 0;
        in >> opcode >> final >> every >> everyMs;
        const uint8_t code = uint8_t(strtoul(opcode.c_str(), nullptr, 16));
        if (final == "off") {
            fcpInterim.erase(code);
            later.erase(std::remove_if(later.begin(), later.end(),
                                       [&](const Later& l) { return l.repeatNs > 0 && l.fcp.size() > 2 && l.fcp[2] == code; }),
                        later.end());
            return "ok\n";
        }
        FcpInterim how;
        if (final == "never") how.finalMs = -1;
        else if (!final.empty()) how.finalMs = std::clamp(atoi(final.c_str()), 0, 5000);
        if (every == "every") how.everyMs = std::clamp(everyMs, 10, 5000);
        fcpInterim[code] = how;
        return "ok\n";
    }
    if (verb == "fcp-answer") {
        // fcp-answer OPCODE not-implemented|rejected|silent|normal: what units answer commands
        // with this opcode (hex) from now on.
        std::string opcode, how;
        in >> opcode >> how;
        const uint8_t code = uint8_t(strtoul(opcode.c_str(), nullptr, 16));
        if (how == "normal") fcpOverride.erase(code);
        else if (how == "not-implemented") fcpOverride[code] = 0x08;
        else if (how == "rejected") fcpOverride[code] = 0x0A;
        else if (how == "silent") fcpOverride[code] = -1;
        else return "error: fcp-answer OPCODE not-implemented|rejected|silent|normal\n";
        return "ok\n";
    }
    if (verb == "record" || verb == "stop" || verb == "play") {
        // The unit's own REC, STOP or PLAY button.
        std::string rest;
        std::getline(in, rest);
        rest.erase(0, rest.find_first_not_of(' '));
        VirtualNode* node = NodeNamed(rest);
        if (node == nullptr) return "error: no such camcorder or deck\n";
        if (verb == "stop") {
            node->PressStop(CycleNow());
        } else if (verb == "play" && !node->PressPlay(CycleNow())) {
            return "error: " + node->name() + " does not play: " + VirtualNode::MediumName(node->medium()) + "\n";
        } else if (verb == "record" && !node->PressRecord(CycleNow())) {
            return "error: " + node->name() + " does not record: " + VirtualNode::MediumName(node->medium()) + "\n";
        }
        log.push_back(node->name() + " " + verb + " pressed at cycle " + std::to_string(CycleNow()));
        return "ok: " + node->name() + " mode " + VirtualNode::ModeName(node->mode()) + "\n";
    }
    if (verb == "configure") {
        // configure [NODE] OPTION...: the node's options (virtual_node.h) change from now on.
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        std::string which;
        size_t first = 0;
        if (!words.empty() && (words[0] == "camcorder" || words[0] == "deck")) {
            which = words[0];
            first = 1;
            if (words.size() > 1 && words[1].find_first_not_of("0123456789") == std::string::npos) {
                which += " " + words[1];
                first = 2;
            }
        }
        VirtualNode* node = NodeNamed(which);
        if (node == nullptr) return "error: no such camcorder or deck\n";
        NodeOptions changed = node->options();
        for (size_t i = first; i < words.size(); ++i) {
            std::string error;
            if (!VirtualNode::ParseOption(words[i], &changed, &error)) return "error: " + error + "\n";
        }
        node->Advance(CycleNow());
        std::string error;
        if (!node->Configure(changed, &error)) return "error: " + error + "\n";
        log.push_back(node->name() + " configured at cycle " + std::to_string(CycleNow()));
        return "ok: " + node->name() + " mode " + VirtualNode::ModeName(node->mode()) + "\n";
    }
    if (verb == "permission") {
        // permission denied|granted: whether new handles may open the device files.
        std::string how;
        in >> how;
        if (how != "denied" && how != "granted") return "error: permission denied|granted\n";
        accessDenied = how == "denied";
        return "ok\n";
    }
    if (verb == "reset-after") {
        int count = 0, delay = options.nodeEventDelayMs;
        in >> count;
        if (in >> delay) delay = std::clamp(delay, 0, 2000);
        resetAfterRequests = std::max(count, 0);
        resetAfterDelayMs = delay;
        return "ok\n";
    }
    if (verb == "stall") {
        // stall [after-frames N] | stall off: the host's isochronous DMA stops taking packets
        // (now, or once the first camcorder or deck has recorded N more frames).
        std::string word;
        in >> word;
        if (word == "off") {
            stallAtFrames = -1;
            SetStalled(false);
        } else if (word == "after-frames") {
            int frames = 0;
            in >> frames;
            if (recorder == nullptr) return "error: no camcorder or deck records\n";
            stallAtFrames = int64_t(recorder->frameCycles().size()) + std::max(frames, 0);
        } else {
            SetStalled(true);
        }
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
        text += "FCP commands " + std::to_string(fcpCommands) + ", answers " + std::to_string(fcpAnswers) +
                ", interim answers " + std::to_string(fcpInterims) + "\n";
        for (const auto& node : nodes) {
            if (node->avc()) {
                text += node->name() + " frames recorded " + std::to_string(node->statistics().framesRecorded) + "\n";
                text += node->name() + " frames shown, not recorded " + std::to_string(node->statistics().framesShown) + "\n";
                text += node->name() + " frames of the other system " + std::to_string(node->statistics().framesOtherSystem) + "\n";
                node->Advance(CycleNow());
                const auto& s = node->statistics();
                char position[64];
                std::snprintf(position, sizeof position, "%.3f", node->position() / (node->options().pal ? 25.0 : 30000.0 / 1001.0));
                text += node->name() + " mode " + VirtualNode::ModeName(node->mode()) + ", tape " +
                        VirtualNode::MediumName(node->medium()) + "\n";
                const bool atStart = node->position() <= 0;
                const bool atEnd = node->position() >= double(node->tapeFrames());
                text += node->name() + " tape position " + position + " s of " +
                        std::to_string(node->options().tapeSeconds) + " s at cycle " + std::to_string(CycleNow()) +
                        (atStart ? ", at the beginning of the tape" : atEnd ? ", at the end of the tape" : "") +
                        (s.endOfTape ? ", end of tape reached" : "") + "\n";
                text += node->name() + " tape frame " + std::to_string(int64_t(node->position())) + ", time code " +
                        TimecodeWord(node->TapeCode(int64_t(node->position()))) + "\n";
                text += node->name() + " output on channel " + std::to_string(node->TransmitChannel()) + ", " +
                        std::to_string((node->outputPcr() >> 24) & 0x3f) + " point-to-point, frames played " +
                        std::to_string(s.framesPlayed) + ", searches " + std::to_string(s.searches) + "\n";
                text += node->name() + " last RECORD at cycle " + std::to_string(s.recordCommandCycle) +
                        ", recording from cycle " + std::to_string(s.recordFromCycle) + "\n";
                text += node->name() + " blank frames " + std::to_string(s.framesBlank) + "\n";
                text += node->name() + " first frame on tape at cycle " + std::to_string(s.firstRecordedCycle) + "\n";
                text += node->name() + " frames before the latency ended " + std::to_string(s.framesTooEarly) + "\n";
                text += node->name() + " on tape " + VirtualNode::TimecodeText(s.firstTimecode) + " - " +
                        VirtualNode::TimecodeText(s.lastTimecode) + "\n";
            }
        }
        return text;
    }
    return "error: unknown command (reset [DELAY_MS] [nodes-first] [host|by=N] | reset-after REQUESTS [DELAY_MS] | "
           "unplug [NODE] | stall [after-frames N] | stall off | fcp-delay MS | "
           "fcp-interim OPCODE [FINAL_MS|never] [every MS] | fcp-interim OPCODE off | "
           "fcp-answer OPCODE HOW | record [NODE] | stop [NODE] | play [NODE] | configure [NODE] OPTION... | "
           "permission denied|granted | status)\n";
}

void BusServer::SetStalled(bool on) {
    stalled = on;
    log.push_back(std::string(on ? "isochronous transmission stalled" : "isochronous transmission resumed") +
                  " at cycle " + std::to_string(CycleNow()));
    IsoStallMsg m {};
    m.h = {MsgType::IsoStall, 0};
    m.stalled = on ? 1 : 0;
    for (auto& [fd, client] : clients) SendTo(fd, &m, sizeof m);
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
    out << "isochronous packets " << capturedPackets << ", last cycle " << lastCycle << (stalled ? ", stalled" : "")
        << "\n";
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
            << ", frames shown, not recorded " << s.framesShown << ", mode " << VirtualNode::ModeName(node.mode())
            << ", tape " << VirtualNode::MediumName(node.medium()) << ", frames lost " << s.framesBroken << ", data packets " << s.dataPackets << ", empty packets "
            << s.emptyPackets << ", block count breaks " << s.dbcBreaks << ", frames before the latency ended "
            << s.framesTooEarly << ", blank frames " << s.framesBlank << "\n";
        if (s.framesRecorded > 0) {
            out << node.name() << ": on tape " << VirtualNode::TimecodeText(s.firstTimecode) << " - "
                << VirtualNode::TimecodeText(s.lastTimecode) << ", first recorded at cycle " << s.firstRecordedCycle
                << "\n";
        }
        if (s.endOfTape) out << node.name() << ": the tape ran to its end\n";
        if (s.framesPlayed > 0) out << node.name() << ": frames played " << s.framesPlayed << "\n";
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
