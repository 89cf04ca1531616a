#include "dv/ieee1394/ieee1394_raw_bus.h"

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>
#include <arpa/inet.h>
#include <errno.h>

#include <cstring>

#include "support/log.h"

#include "dv/ieee1394/ieee1394_connection.h"

namespace dv {
namespace {

// How long a node that answers EAGAIN (it has not seen the latest reset yet) is waited for.
constexpr int kAnswerWaitMs = 800;
constexpr int kAnswerPollMs = 20;

}  // namespace

Ieee1394RawBus::Ieee1394RawBus() {
    errno = 0;
    probe = raw1394_new_handle();
    probeErrno = errno;
}

Ieee1394RawBus::~Ieee1394RawBus() {
    if (handle != nullptr) raw1394_destroy_handle(handle);
    if (probe != nullptr) raw1394_destroy_handle(probe);
}

bool Ieee1394RawBus::Available() { return probe != nullptr && PortCount() > 0; }

bool Ieee1394RawBus::Denied() { return probeErrno == EACCES && PortCount() == 0; }

int Ieee1394RawBus::PortCount() {
    if (probe == nullptr) return 0;
    const int ports = raw1394_get_port_info(probe, nullptr, 0);
    return ports > 0 ? ports : 0;
}

bool Ieee1394RawBus::SelectPort(int port) {
    if (handle != nullptr) raw1394_destroy_handle(handle);
    handle = raw1394_new_handle_on_port(port);
    return handle != nullptr;
}

int Ieee1394RawBus::NodeCount() {
    if (handle == nullptr) return 0;
    const int nodes = raw1394_get_nodecount(handle);
    return nodes > 0 ? nodes : 0;
}

int Ieee1394RawBus::LocalNode() {
    return handle == nullptr ? -1 : int(raw1394_get_local_id(handle) & 0x3f);
}

bool Ieee1394RawBus::Answers(int node, quadlet_t* rom, int count) {
    // A remote node answers only once it has seen the latest bus reset, which on the kernel stack
    // may be half a second after our own node did: until then reads fail with EAGAIN, and
    // librom1394 only warns and goes on with whatever its buffers held. Wait for the node (letting
    // the handle take its reset event) rather than take a made-up ROM or id.
    const nodeaddr_t base = 0xFFFFF0000400ULL;
    for (int attempt = 0; attempt < kAnswerWaitMs / kAnswerPollMs; ++attempt) {
        int i = 0;
        while (i < count && raw1394_read(handle, nodeid_t(0xffc0 | node), base + 4 * nodeaddr_t(i), 4, &rom[i]) == 0) {
            ++i;
        }
        if (i == count) return true;
        if (errno != EAGAIN) break;
        WaitOnBus(handle, kAnswerPollMs, nullptr);
    }
    PLATFORM_LOG(platform::log::kIeee1394, Warning, "node %d does not answer (%s)", node, strerror(errno));
    return false;
}

bool Ieee1394RawBus::IsAvcUnit(int node) {
    if (handle == nullptr) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        quadlet_t header = 0;
        if (!Answers(node, &header, 1)) return false;
        // librom1394 reads the directories quadlet by quadlet and goes on past failed reads: a
        // reset in the middle makes its answer worthless, so read again.
        const unsigned generation = raw1394_get_generation(handle);
        rom1394_directory dir {};
        const int read = rom1394_get_directory(handle, nodeid_t(node), &dir);
        const bool avc = read >= 0 && rom1394_get_node_type(&dir) == ROM1394_NODE_TYPE_AVC;
        if (read >= 0) rom1394_free_directory(&dir);
        if (raw1394_get_generation(handle) == generation) return avc;
    }
    return false;
}

namespace {

// The FCP answer one AV/C command waits for. Every handle of the host that listens gets every FCP
// response written to the host, whoever asked (libavc1394 takes the first that comes): only the
// asked node's answer to the same opcode and first operand is taken.
struct FcpWait {
    int node;
    uint8_t opcode;
    uint8_t operand;
    bool done;
    uint8_t frame[8];
};

int OnFcp(raw1394handle_t h, nodeid_t from, int response, size_t length, unsigned char* data) {
    auto* wait = static_cast<FcpWait*>(raw1394_get_userdata(h));
    if (wait == nullptr || wait->done || response == 0 || length < 8 || (from & 0x3f) != wait->node) return 0;
    if (data[2] != wait->opcode || data[3] != wait->operand || (data[0] & 0x0f) == 0x0f /* INTERIM */) return 0;
    std::memcpy(wait->frame, data, 8);
    wait->done = true;
    return 0;
}

}  // namespace

bool Ieee1394RawBus::SubunitInfoPage(int node, int page, uint8_t entries[4]) {
    FcpWait wait {node, 0x31, uint8_t(page << 4 | 7), false, {}};
    void* saved = raw1394_get_userdata(handle);
    raw1394_set_userdata(handle, &wait);
    const fcp_handler_t previous = raw1394_set_fcp_handler(handle, &OnFcp);
    raw1394_start_fcp_listen(handle);
    // SUBUNIT INFO, STATUS, to the unit: 01 ff 31 (page << 4 | 7) ff ff ff ff.
    quadlet_t command[2] = {htonl(0x01FF3100u | uint32_t(page) << 4 | 7u), htonl(0xFFFFFFFFu)};
    for (int attempt = 0; attempt < 3 && !wait.done; ++attempt) {
        int written = -1;
        for (int i = 0; i < 30 && written != 0; ++i) {
            written = raw1394_write(handle, nodeid_t(0xffc0 | node), 0xFFFFF0000B00ULL, sizeof command, command);
            if (written != 0 && errno != EAGAIN) break;
            if (written != 0) WaitOnBus(handle, kAnswerPollMs, nullptr);  // the node has not seen a reset yet
        }
        if (written != 0) break;
        for (int waited = 0; waited < 200 && !wait.done; waited += 10) WaitOnBus(handle, 10, nullptr);
    }
    raw1394_stop_fcp_listen(handle);
    raw1394_set_fcp_handler(handle, previous);
    raw1394_set_userdata(handle, saved);
    if (!wait.done || (wait.frame[0] & 0x0f) != 0x0c /* STABLE */) return false;
    std::memcpy(entries, wait.frame + 4, 4);
    return true;
}

bool Ieee1394RawBus::HasSubunit(int node, int subunitType) {
    if (handle == nullptr) return false;
    const int wanted = (subunitType >> 19) & 0x1f;  // AVC1394_SUBUNIT_TYPE_* keep the type in bits 19-23
    for (int page = 0; page < 8; ++page) {
        uint8_t entries[4];
        if (!SubunitInfoPage(node, page, entries)) return false;
        bool more = false;
        for (uint8_t entry : entries) {
            if (entry == 0xff) continue;
            more = true;
            if ((entry >> 3) == wanted) return true;
        }
        if (!more) return false;  // an empty page: no further subunits
    }
    return false;
}

uint64_t Ieee1394RawBus::Guid(int node) {
    // The id the connection finds the unit by, read the same way; a node that does not answer yet
    // after a reset is waited for as in Answers.
    uint64_t guid = 0;
    if (handle == nullptr || !Ieee1394Connection::ReadGuid(handle, node, &guid, kAnswerWaitMs)) {
        PLATFORM_LOG(platform::log::kIeee1394, Warning, "node %d gives no unique id (%s)", node, strerror(errno));
        return 0;
    }
    return guid;
}

}  // namespace dv
