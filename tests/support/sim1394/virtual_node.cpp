#include "virtual_node.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "sim_protocol.h"

namespace sim1394 {
namespace {

constexpr size_t kFrameBytes = 120000;  // NTSC: 10 sequences x 150 DIF blocks x 80 bytes
constexpr size_t kBlockBytes = 480;     // one CIP data block: six DIF blocks
constexpr int kBroadcastChannel = 63;
constexpr uint32_t kCompanyId = 0x00A0B0;  // the simulator's own

// The CRC-16 of IEEE 1212 over a block of quadlets.
uint16_t RomCrc(const uint32_t* q, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t sum = ((crc >> 12) ^ (q[i] >> shift)) & 0xf;
            crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xffff;
        }
    }
    return uint16_t(crc);
}

// A directory or leaf: header quadlet (length << 16 | crc) then the entries.
struct Block {
    std::vector<uint32_t> body;
    // Entries that point to other blocks: index in body -> block number, filled at layout.
    std::vector<std::pair<size_t, size_t>> links;
};

std::vector<uint32_t> TextLeaf(const std::string& text) {
    std::vector<uint32_t> body = {0, 0};  // language and character set specifiers: ASCII
    std::string padded = text;
    while (padded.size() % 4 != 0) padded.push_back('\0');
    for (size_t i = 0; i < padded.size(); i += 4) {
        body.push_back(uint32_t(uint8_t(padded[i])) << 24 | uint32_t(uint8_t(padded[i + 1])) << 16 |
                       uint32_t(uint8_t(padded[i + 2])) << 8 | uint32_t(uint8_t(padded[i + 3])));
    }
    return body;
}

}  // namespace

VirtualNode::VirtualNode(NodeKind kind, int index, uint64_t guid, Medium medium)
    : nodeKind(kind), uniqueId(guid), deviceId(uint32_t(index)), cassette(kind == NodeKind::Disk ? Medium::None : medium) {
    static const char* const kNames[] = {"camcorder", "deck", "disk"};
    label = std::string(kNames[int(kind)]) + " " + std::to_string(index);
    if (avc()) {
        // One output and one input plug at S100; DV's 480-byte blocks: payload 122 quadlets.
        oMpr = (0u << 30) | (uint32_t(kBroadcastChannel) << 24) | 1;
        oPcr = (1u << 31) | (uint32_t(kBroadcastChannel) << 16) | (0u << 14) | (0u << 10) | 122;
        iMpr = (0u << 30) | 1;
        iPcr = (1u << 31) | (uint32_t(kBroadcastChannel) << 16);
    }
    rom = BuildRom();
}

VirtualNode::~VirtualNode() { CloseTape(); }

std::vector<uint32_t> VirtualNode::BuildRom() const {
    const bool isAvc = avc();
    const std::string vendor = "Simulated Devices";
    const std::string model = nodeKind == NodeKind::Camcorder ? "DV Camcorder"
                              : nodeKind == NodeKind::Deck    ? "DV Deck"
                                                              : "FireWire Disk";
    // Blocks: 0 root, 1 unit directory, 2 vendor leaf, 3 model leaf.
    std::vector<Block> blocks(4);
    blocks[0].body = {0x03000000u | (kCompanyId & 0xffffff), 0x81000000u, 0x0C0083C0u, 0xD1000000u};
    blocks[0].links = {{1, 2}, {3, 1}};
    blocks[1].body = {isAvc ? 0x1200A02Du : 0x1200609Eu, isAvc ? 0x13010001u : 0x13010483u,
                      0x17000000u | uint32_t(int(nodeKind) + 1), 0x81000000u};
    blocks[1].links = {{3, 3}};
    blocks[2].body = TextLeaf(vendor);
    blocks[3].body = TextLeaf(model);

    // Bus information block: 4 quadlets after its header, then the blocks in order.
    std::vector<uint32_t> image = {0, 0x31333934u /* "1394" */, 0x20ff5000u, uint32_t(uniqueId >> 32),
                                   uint32_t(uniqueId)};
    image[0] = (4u << 24) | (4u << 16) | RomCrc(&image[1], 4);
    std::vector<size_t> start(blocks.size());
    size_t at = image.size();
    for (size_t b = 0; b < blocks.size(); ++b) {
        start[b] = at;
        at += 1 + blocks[b].body.size();
    }
    for (size_t b = 0; b < blocks.size(); ++b) {
        for (const auto& [entry, target] : blocks[b].links) {
            const size_t entryAt = start[b] + 1 + entry;
            blocks[b].body[entry] |= uint32_t(start[target] - entryAt) & 0xffffff;
        }
        image.push_back(uint32_t(blocks[b].body.size()) << 16 |
                        RomCrc(blocks[b].body.data(), blocks[b].body.size()));
        image.insert(image.end(), blocks[b].body.begin(), blocks[b].body.end());
    }
    return image;
}

int VirtualNode::Read(uint32_t offset, uint32_t length, std::vector<uint8_t>* out) const {
    out->clear();
    if (length == 0 || length % 4 != 0) return EINVAL;
    for (uint32_t at = offset; at < offset + length; at += 4) {
        uint32_t value;
        if (at >= kCsrConfigRom && at < kCsrConfigRom + 4 * rom.size()) {
            value = rom[(at - kCsrConfigRom) / 4];
        } else if (avc() && at == kCsrOutputMpr) {
            value = oMpr;
        } else if (avc() && at == kCsrOutputMpr + 4) {
            value = oPcr;
        } else if (avc() && at == kCsrInputMpr) {
            value = iMpr;
        } else if (avc() && at == kCsrInputMpr + 4) {
            value = iPcr;
        } else {
            return EINVAL;
        }
        const uint32_t wire = htonl(value);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&wire);
        out->insert(out->end(), bytes, bytes + 4);
    }
    return 0;
}

int VirtualNode::Write(uint32_t offset, const uint8_t* data, uint32_t length, std::vector<uint8_t>* fcpResponse) {
    fcpResponse->clear();
    if (avc() && offset == kCsrFcpCommand && length >= 4 && length <= kFcpBytes) {
        *fcpResponse = AnswerAvc(data, length);
        return 0;
    }
    // Plug registers change only by lock; everything else is read-only or absent.
    return offset >= kCsrOutputMpr && offset < kCsrFcpCommand && avc() ? EPERM : EINVAL;
}

int VirtualNode::Lock(uint32_t offset, uint32_t extcode, uint32_t arg, uint32_t data, uint32_t* old) {
    uint32_t* reg = nullptr;
    if (avc() && offset == kCsrOutputMpr + 4) reg = &oPcr;
    if (avc() && offset == kCsrInputMpr + 4) reg = &iPcr;
    if (reg == nullptr) return EINVAL;
    if (extcode != 2) return EPERM;  // compare-and-swap only
    *old = *reg;
    if (*reg == arg) *reg = data;
    return 0;
}

const char* VirtualNode::ModeName(TapeMode mode) {
    return mode == TapeMode::Record ? "record" : mode == TapeMode::Play ? "play" : "stop";
}

const char* VirtualNode::MediumName(Medium medium) {
    return medium == Medium::Writable ? "writable" : medium == Medium::WriteProtected ? "write-protected" : "no tape";
}

bool VirtualNode::PressRecord() {
    if (!avc() || cassette != Medium::Writable) return false;
    tapeMode = TapeMode::Record;
    return true;
}

void VirtualNode::PressStop() { tapeMode = TapeMode::Stop; }

bool VirtualNode::PressPlay() {
    if (!avc() || cassette == Medium::None) return false;
    tapeMode = TapeMode::Play;
    return true;
}

uint8_t VirtualNode::AnswerTapeRecorder(uint8_t ctype, const uint8_t* command, uint32_t length,
                                        std::vector<uint8_t>* response) {
    constexpr uint8_t kNotImplemented = 0x08, kAccepted = 0x09, kRejected = 0x0A, kStable = 0x0C;
    const uint8_t opcode = command[2];
    const uint8_t operand = length > 3 ? command[3] : 0;
    if (ctype == 0x00 /* CONTROL */) {
        if (opcode == 0xC2 && operand == 0x75) {  // RECORD
            return PressRecord() ? kAccepted : kRejected;
        }
        if (opcode == 0xC3 && operand == 0x75) {  // PLAY FORWARD
            if (cassette == Medium::None) return kRejected;
            tapeMode = TapeMode::Play;
            return kAccepted;
        }
        if (opcode == 0xC4 && operand == 0x60) {  // WIND STOP
            tapeMode = TapeMode::Stop;
            return kAccepted;
        }
        return kNotImplemented;
    }
    if (ctype != 0x01 /* STATUS */) return kNotImplemented;
    std::vector<uint8_t>& r = *response;
    if (opcode == 0xD0 && operand == 0x7F) {  // TRANSPORT STATE: the mode's opcode and operand
        r[2] = tapeMode == TapeMode::Record ? 0xC2 : tapeMode == TapeMode::Play ? 0xC3 : 0xC4;
        r[3] = tapeMode == TapeMode::Stop ? 0x60 : 0x75;
        return kStable;
    }
    if (opcode == 0xDA && operand == 0x7F && length >= 5) {  // MEDIUM INFO: cassette type, grade and protection
        r[3] = cassette == Medium::None ? 0x60 : nodeKind == NodeKind::Camcorder ? 0x32 : 0x31;
        r[4] = cassette == Medium::None ? 0x7F : cassette == Medium::WriteProtected ? 0x31 : 0x30;
        return kStable;
    }
    if (opcode == 0x51 && operand == 0x71 && length >= 8) {  // TIME CODE
        static const uint8_t kNoTimecode[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        memcpy(&r[4], cassette == Medium::None ? kNoTimecode : lastTimecode, 4);
        return kStable;
    }
    return kNotImplemented;
}

std::vector<uint8_t> VirtualNode::AnswerAvc(const uint8_t* command, uint32_t length) {
    std::vector<uint8_t> response(command, command + length);
    const uint8_t ctype = command[0] & 0x0f;
    const uint8_t subunit = length > 1 ? command[1] : 0;
    const uint8_t opcode = length > 2 ? command[2] : 0;
    constexpr uint8_t kNotImplemented = 0x08, kStable = 0x0C, kRejected = 0x0A;
    uint8_t answer = kNotImplemented;
    if (ctype == 0x01 /* STATUS */ && subunit == 0xFF && opcode == 0x30 && length >= 8) {
        // UNIT INFO: 07, unit type and id, company id.
        const uint8_t unitType = nodeKind == NodeKind::Camcorder ? 7 : 4;
        response[3] = 0x07;
        response[4] = uint8_t(unitType << 3);
        response[5] = uint8_t(kCompanyId >> 16);
        response[6] = uint8_t(kCompanyId >> 8);
        response[7] = uint8_t(kCompanyId);
        answer = kStable;
    } else if (ctype == 0x01 && subunit == 0xFF && opcode == 0x31 && length >= 8) {
        // SUBUNIT INFO: page in bits 6-4 of operand 0; four entries of type << 3 | max id.
        const int page = (command[3] >> 4) & 7;
        uint8_t entries[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (page == 0) {
            entries[0] = 4 << 3;                                      // tape recorder
            if (nodeKind == NodeKind::Camcorder) entries[1] = 7 << 3;  // video camera
        }
        memcpy(&response[4], entries, 4);
        answer = kStable;
    } else if (ctype > 0x04) {
        answer = kRejected;  // a response sent as a command
    } else if (subunit == 0x20 && length >= 4) {  // the tape recorder subunit 0
        answer = AnswerTapeRecorder(ctype, command, length, &response);
    }
    response[0] = uint8_t((command[0] & 0xf0) | answer);
    return response;
}

void VirtualNode::BusReset() {
    // IEC 61883-1: connection counters are cleared; whoever owned a connection restores it
    // within a second. Broadcast connections and channel numbers stay.
    iPcr &= ~(0x3fu << 24);
    oPcr &= ~(0x3fu << 24);
    if (otherHostChannel >= 0) ConnectFromOtherHost(otherHostChannel);  // that host restores its own
}

void VirtualNode::ConnectFromOtherHost(int channel) {
    otherHostChannel = channel;
    const uint32_t count = ((iPcr >> 24) & 0x3f) + 1;
    iPcr = (iPcr & ~(0x3fu << 24) & ~(0x3fu << 16)) | (count << 24) | (uint32_t(channel) << 16);
}

int VirtualNode::ListeningChannel() const {
    if (!avc()) return -1;
    const bool connected = ((iPcr >> 24) & 0x3f) != 0 || (iPcr & (1u << 30)) != 0;
    return connected ? int((iPcr >> 16) & 0x3f) : kBroadcastChannel;
}

bool VirtualNode::OpenTape(const std::string& path) {
    CloseTape();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    tape = fdopen(fd, "wb");
    if (tape == nullptr) {
        ::close(fd);
        return false;
    }
    return true;
}

void VirtualNode::CloseTape() {
    if (tape != nullptr) std::fclose(tape);
    tape = nullptr;
}

void VirtualNode::Receive(uint64_t cycle, const uint8_t* payload, uint32_t length) {
    if (length < 8) return;
    uint32_t wire;
    memcpy(&wire, payload, 4);
    const uint32_t q0 = ntohl(wire);
    const int dbc = int(q0 & 0xff);
    const bool data = length == 8 + kBlockBytes;
    if (!data) {
        ++stats.emptyPackets;
        return;
    }
    ++stats.dataPackets;
    // A gap in the data block count means blocks were lost: the frame being built is cut.
    if (expectedDbc >= 0 && dbc != expectedDbc) {
        ++stats.dbcBreaks;
        if (inFrame) ++stats.framesBroken;
        inFrame = false;
        frame.clear();
    }
    expectedDbc = (dbc + 1) & 0xff;
    const uint8_t* block = payload + 8;
    const int sectionType = block[0] >> 5;
    const int sequence = block[1] >> 4;
    if (sectionType == 0 && sequence == 0) {  // a frame's header block
        if (inFrame) ++stats.framesBroken;   // the previous frame never completed
        inFrame = true;
        frame.clear();
    }
    if (!inFrame) return;
    // Each block must sit where its DIF sequence says (six DIF blocks per data block, 150 per
    // sequence); a misplaced one cuts the frame.
    const size_t position = frame.size() / 80;
    if (size_t(sequence) != position / 150) {
        ++stats.framesBroken;
        inFrame = false;
        frame.clear();
        return;
    }
    frame.insert(frame.end(), block, block + kBlockBytes);
    if (frame.size() == kFrameBytes) FinishFrame(cycle);
}

void VirtualNode::FinishFrame(uint64_t cycle) {
    inFrame = false;
    if (tapeMode == TapeMode::Record) {
        if (tape != nullptr) {
            std::fwrite(frame.data(), 1, frame.size(), tape);
            std::fflush(tape);
        }
        ++stats.framesRecorded;
        // The time code pack of the subcode (sequence 0's blocks 1 and 2, six sync blocks each):
        // where the tape is now.
        for (size_t block = 1; block <= 2; ++block) {
            for (size_t ssyb = 0; ssyb < 6; ++ssyb) {
                const uint8_t* pack = frame.data() + block * 80 + 3 + ssyb * 8 + 3;
                if (pack[0] == 0x13) memcpy(lastTimecode, pack + 1, 4);
            }
        }
    } else {
        ++stats.framesShown;
    }
    frame.clear();
    if (stats.firstFrameCycle < 0) stats.firstFrameCycle = int64_t(cycle);
    stats.lastFrameCycle = int64_t(cycle);
    completedAt.push_back(cycle);
}

}  // namespace sim1394
