#include "virtual_node.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sim_protocol.h"

namespace sim1394 {
namespace {

constexpr size_t kFrameBytes = 120000;     // NTSC: 10 sequences x 150 DIF blocks x 80 bytes
constexpr size_t kFrameBytes625 = 144000;  // PAL: 12 sequences
constexpr size_t kBlockBytes = 480;     // one CIP data block: six DIF blocks
constexpr int kBroadcastChannel = 63;
constexpr uint32_t kCompanyId = 0x00A0B0;  // the simulator's own
double FramesPerSecond(bool pal) { return pal ? 25.0 : 30000.0 / 1001.0; }
double CyclesPerFrame(bool pal) { return kCyclesPerSecond / FramesPerSecond(pal); }
constexpr int64_t kCyclesPerMs = kCyclesPerSecond / 1000;
constexpr uint32_t kBlank = ~0u;  // a frame of tape with nothing recorded
// AV/C answers.
constexpr uint8_t kNotImplemented = 0x08, kAccepted = 0x09, kRejected = 0x0A, kStable = 0x0C, kInterim = 0x0F;

uint8_t Bcd(int value) { return uint8_t((value / 10) << 4 | (value % 10)); }

uint32_t PackCode(const uint8_t pack[4]) {
    return uint32_t(pack[0]) << 24 | uint32_t(pack[1]) << 16 | uint32_t(pack[2]) << 8 | pack[3];
}

void UnpackCode(uint32_t code, uint8_t pack[4]) {
    for (int i = 0; i < 4; ++i) pack[i] = uint8_t(code >> (24 - 8 * i));
}

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

VirtualNode::VirtualNode(NodeKind kind, int index, uint64_t guid, NodeOptions options)
    : nodeKind(kind), uniqueId(guid), deviceId(uint32_t(index)), opts(options),
      cassette(kind == NodeKind::Disk ? Medium::None : options.medium),
      content(kind == NodeKind::Disk ? 0 : std::llround(options.tapeSeconds * FramesPerSecond(options.pal)),
              options.pal) {
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
    content.SetFaults(options.faults);
    tapePos = std::clamp(options.atSeconds * FramesPerSecond(opts.pal), 0.0, double(tapeFrames()));
}

bool VirtualNode::ParseOption(const std::string& word, NodeOptions* o, std::string* error) {
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    auto number = [&](double low, double high, double* out) {
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !(v >= low && v <= high)) {
            *error = "'" + word + "' needs a number from " + std::to_string(int64_t(low)) + " to " +
                     std::to_string(int64_t(high));
            return false;
        }
        *out = v;
        return true;
    };
    double v = 0;
    if (word == "notape") o->medium = Medium::None;
    else if (word == "protected") o->medium = Medium::WriteProtected;
    else if (word == "writable") o->medium = Medium::Writable;
    else if (key == "latency" && eq != std::string::npos) { if (!number(0, 60000, &v)) return false; o->latencyMs = int(v); }
    else if (key == "pause-latency" && eq != std::string::npos) { if (!number(0, 60000, &v)) return false; o->pauseLatencyMs = int(v); }
    else if (key == "pause-timeout" && eq != std::string::npos) { if (!number(0, 3600000, &v)) return false; o->pauseTimeoutMs = int(v); }
    else if (key == "tape-length" && eq != std::string::npos) { if (!number(1, 36000, &v)) return false; o->tapeSeconds = int(v); }
    else if (key == "at" && eq != std::string::npos) { if (!number(0, 36000, &v)) return false; o->atSeconds = v; }
    else if (key == "wind-speed" && eq != std::string::npos) { if (!number(1, 1000, &v)) return false; o->windSpeed = int(v); }
    else if (word == "record-answer=accepted") o->interimRecord = false;
    else if (word == "record-answer=interim") o->interimRecord = true;
    else if (word == "no-record-pause") o->recordPause = false;
    else if (word == "record-pause") o->recordPause = true;
    else if (word == "local") o->local = true;
    else if (word == "remote") o->local = false;
    else if (word == "dv-in=off") o->dvInput = false;
    else if (word == "dv-in=on") o->dvInput = true;
    else if (word == "pal") o->pal = true;
    else if (word == "ntsc") o->pal = false;
    else if (word == "camera") o->cameraMode = true;
    else if (word == "vcr") o->cameraMode = false;
    else if (word == "search") o->search = true;
    else if (word == "no-search") o->search = false;
    else if (key == "load" && !value.empty()) o->load = value;
    else if (key == "damage" || key == "blank") {
        // FROM-TO, seconds of tape.
        const size_t dash = value.find('-');
        char* end = nullptr;
        const double from = std::strtod(value.substr(0, dash).c_str(), &end);
        const bool fromOk = dash != std::string::npos && dash > 0 && *end == '\0';
        const double to = fromOk ? std::strtod(value.c_str() + dash + 1, &end) : 0;
        if (!fromOk || dash + 1 >= value.size() || *end != '\0' || !(from >= 0 && to > from && to <= 36000)) {
            *error = "'" + word + "' needs FROM-TO, seconds of tape with FROM < TO";
            return false;
        }
        (key == "damage" ? o->faults.damageFrom : o->faults.blankFrom) = from;
        (key == "damage" ? o->faults.damageTo : o->faults.blankTo) = to;
    }
    else if (key == "damage-rate" && eq != std::string::npos) { if (!number(0, 1, &v)) return false; o->faults.damageRate = v; }
    else if (word == "damage-kind=error") o->faults.damageKind = DamageKind::Error;
    else if (word == "damage-kind=concealed") o->faults.damageKind = DamageKind::Concealed;
    else if (word == "damage-kind=audio") o->faults.damageKind = DamageKind::Audio;
    else if (word == "damage-heads=both") o->faults.damageHeads = DamageHeads::Both;
    else if (word == "damage-heads=even") o->faults.damageHeads = DamageHeads::Even;
    else if (word == "damage-heads=odd") o->faults.damageHeads = DamageHeads::Odd;
    else if (key == "tc-break" && eq != std::string::npos) { if (!number(0, 36000, &v)) return false; o->faults.timecodeBreakAt = v; }
    else {
        *error = "unknown node option '" + word + "'";
        return false;
    }
    return true;
}

bool VirtualNode::Configure(const NodeOptions& asked, std::string* error) {
    NodeOptions changed = asked;
    changed.pal = opts.pal;  // the unit's system is its own: fixed when it was made
    const bool moved = changed.atSeconds != opts.atSeconds;
    const bool load = !changed.load.empty() && changed.load != opts.load;
    const NodeOptions before = opts;
    opts = changed;
    if (!avc()) return true;
    content.Resize(tapeFrames());
    if (load && !content.Load(changed.load, error)) {
        opts = before;
        content.Resize(tapeFrames());
        return false;
    }
    cassette = changed.medium;
    content.SetFaults(changed.faults);
    if (moved) tapePos = changed.atSeconds * FramesPerSecond(opts.pal);
    tapePos = std::clamp(tapePos, 0.0, double(tapeFrames()));
    return true;
}

bool VirtualNode::LoadCassette(std::string* error) {
    return !avc() || opts.load.empty() || content.Load(opts.load, error);
}

int64_t VirtualNode::tapeFrames() const { return std::llround(opts.tapeSeconds * FramesPerSecond(opts.pal)); }

std::string VirtualNode::TimecodeText(const uint8_t pack[4]) {
    if (PackCode(pack) == kBlank) return "--:--:--:--";
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x%c%02x", pack[3] & 0x3f, pack[2] & 0x7f, pack[1] & 0x7f,
                  (pack[0] & 0x40) != 0 ? ';' : ':', pack[0] & 0x3f);
    return text;
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

int VirtualNode::Write(uint32_t offset, const uint8_t* data, uint32_t length, int64_t now,
                       std::vector<uint8_t>* fcpResponse, std::vector<uint8_t>* finalResponse,
                       int64_t* finalAfterCycles) {
    fcpResponse->clear();
    if (finalResponse != nullptr) finalResponse->clear();
    if (avc() && offset == kCsrFcpCommand && length >= 4 && length <= kFcpBytes) {
        Advance(now);
        int64_t finalAfter = -1;
        *fcpResponse = AnswerAvc(data, length, now, &finalAfter);
        if (finalAfter >= 0 && finalResponse != nullptr && finalAfterCycles != nullptr) {
            *finalResponse = *fcpResponse;
            (*finalResponse)[0] = uint8_t(((*finalResponse)[0] & 0xf0) | kAccepted);
            *finalAfterCycles = finalAfter;
        }
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
    switch (mode) {
    case TapeMode::Record: return "record";
    case TapeMode::RecordPause: return "record-pause";
    case TapeMode::Play: return "play";
    case TapeMode::PlayPause: return "play-pause";
    case TapeMode::Rewind: return "rewind";
    case TapeMode::FastForward: return "fast-forward";
    case TapeMode::Stop: break;
    }
    return "stop";
}

const char* VirtualNode::MediumName(Medium medium) {
    return medium == Medium::Writable ? "writable" : medium == Medium::WriteProtected ? "write-protected" : "no tape";
}

double VirtualNode::SpeedOf(TapeMode mode) const {
    switch (mode) {
    case TapeMode::Record:
    case TapeMode::Play: return 1;
    case TapeMode::FastForward: return opts.windSpeed;
    case TapeMode::Rewind: return -opts.windSpeed;
    default: return 0;
    }
}

void VirtualNode::Advance(int64_t now) {
    if (now <= advancedTo) return;
    // What the output sent until now, before anything changes.
    if (player.playing()) {
        player.Produce(now, nodeNumber, TransmitChannel(),
                       [this](int64_t index, std::vector<uint8_t>* frame) { return PlayedFrame(index, frame); }, &outbox);
    }
    const int64_t from = advancedTo;
    advancedTo = now;
    if (tapeMode == TapeMode::RecordPause) {
        // Left armed too long, the unit unthreads the tape to spare it.
        if (now >= modeSince + int64_t(opts.pauseTimeoutMs) * kCyclesPerMs) tapeMode = TapeMode::Stop;
        return;
    }
    const double speed = SpeedOf(tapeMode);
    const int64_t start = tapeMode == TapeMode::Record ? std::max(from, recordFrom) : from;
    if (speed == 0 || now <= start) return;
    const double was = tapePos;
    tapePos += speed * double(now - start) / CyclesPerFrame(opts.pal);
    const double end = double(tapeFrames());
    if (searchTarget >= 0 && (was - double(searchTarget)) * (tapePos - double(searchTarget)) <= 0) {
        // The search found its frame: the tape stops with it under the head.
        tapePos = double(searchTarget);
        searchTarget = -1;
        tapeMode = TapeMode::Stop;
    } else if (tapePos >= end) {
        tapePos = end;
        stats.endOfTape = true;
        tapeMode = TapeMode::Stop;
    } else if (tapePos <= 0) {
        tapePos = 0;
        tapeMode = TapeMode::Stop;
    }
}

void VirtualNode::SetMode(TapeMode mode, int64_t now) {
    Advance(now);
    const bool playing = tapeMode == TapeMode::Play || tapeMode == TapeMode::PlayPause;
    const bool play = mode == TapeMode::Play || mode == TapeMode::PlayPause;
    const bool restart = play && (mode != tapeMode || !player.playing());
    tapeMode = mode;
    modeSince = std::max(now, advancedTo);
    searchTarget = -1;
    recordSlot = -1;
    if (restart) {
        // The head starts on the frame under it.
        tapePos = std::floor(tapePos);
        playSlot = int64_t(tapePos);
        player.Start(std::max(now, advancedTo), opts.pal);
    } else if (!play && (playing || player.playing())) {
        player.Stop();
    }
}

bool VirtualNode::PlayedFrame(int64_t index, std::vector<uint8_t>* out) {
    const int64_t slot = tapeMode == TapeMode::PlayPause ? playSlot : playSlot + index;
    if (slot >= tapeFrames() || cassette == Medium::None) return false;
    content.Read(slot, out);
    ++stats.framesPlayed;
    return true;
}

int VirtualNode::TransmitChannel() const {
    const bool connected = ((oPcr >> 24) & 0x3f) != 0 || (oPcr & (1u << 30)) != 0;
    return connected ? int((oPcr >> 16) & 0x3f) : kBroadcastChannel;
}

std::vector<WirePacket> VirtualNode::TakeOutput(int64_t now) {
    Advance(now);
    std::vector<WirePacket> out;
    out.swap(outbox);
    return out;
}

uint8_t VirtualNode::Search(const uint8_t* command, uint32_t length, int64_t now) {
    if (!opts.search) return kNotImplemented;
    if (length < 8) return kNotImplemented;
    if (opts.local || cassette == Medium::None) return kRejected;
    const uint32_t code = uint32_t(command[4]) << 24 | uint32_t(command[5]) << 16 | uint32_t(command[6]) << 8 | command[7];
    const int64_t target = content.Find(code);
    if (target < 0) return kRejected;
    const double here = std::floor(tapePos);
    if (double(target) == here) {
        SetMode(TapeMode::Stop, now);
        tapePos = double(target);
    } else {
        SetMode(double(target) < here ? TapeMode::Rewind : TapeMode::FastForward, now);
        searchTarget = target;
    }
    ++stats.searches;
    return kAccepted;
}

bool VirtualNode::PressRecord(int64_t now) { return StartRecording(now, /*commanded=*/false); }

bool VirtualNode::StartRecording(int64_t now, bool commanded) {
    Advance(now);
    if (!avc() || cassette != Medium::Writable || tapePos >= double(tapeFrames())) return false;
    if (tapeMode == TapeMode::Record) return true;
    const int64_t lag = !commanded ? 0
                        : tapeMode == TapeMode::RecordPause
                            ? std::max(recordFrom - now, int64_t(opts.pauseLatencyMs) * kCyclesPerMs)
                            : int64_t(opts.latencyMs) * kCyclesPerMs;
    SetMode(TapeMode::Record, now);
    recordFrom = now + lag;
    stats.recordCommandCycle = now;
    stats.recordFromCycle = recordFrom;
    return true;
}

void VirtualNode::PressStop(int64_t now) { SetMode(TapeMode::Stop, now); }

bool VirtualNode::PressPlay(int64_t now) {
    if (!avc() || cassette == Medium::None) return false;
    SetMode(TapeMode::Play, now);
    return true;
}

uint8_t VirtualNode::AnswerTapeRecorder(uint8_t ctype, const uint8_t* command, uint32_t length, int64_t now,
                                        std::vector<uint8_t>* response, int64_t* finalAfter) {
    const uint8_t opcode = command[2];
    const uint8_t operand = length > 3 ? command[3] : 0;
    const bool atEnd = tapePos >= double(tapeFrames()) - 0.5;
    if (ctype == 0x00 /* CONTROL */) {
        if (opcode == 0x51 && operand == 0x20) return Search(command, length, now);  // TIME CODE control
        const bool known = (opcode == 0xC2 && (operand == 0x75 || operand == 0x7D)) ||
                           (opcode == 0xC3 && (operand == 0x75 || operand == 0x7D)) ||
                           (opcode == 0xC4 && (operand == 0x60 || operand == 0x65 || operand == 0x75));
        if (!known) return kNotImplemented;
        if (opcode == 0xC2 && operand == 0x7D && !opts.recordPause) return kNotImplemented;
        if (opts.local) return kRejected;  // the unit's own buttons rule
        if (opcode == 0xC2 && operand == 0x75) {  // RECORD
            if (atEnd || cassette != Medium::Writable) return kRejected;
            const bool already = tapeMode == TapeMode::Record;
            StartRecording(now, /*commanded=*/true);
            const int64_t lag = recordFrom - now;
            if (opts.interimRecord && !already && lag > 0) {
                *finalAfter = lag;
                return kInterim;
            }
            return kAccepted;
        }
        if (opcode == 0xC2) {  // RECORD PAUSE: armed; ready `latency` after stop, at once from record
            if (atEnd || cassette != Medium::Writable) return kRejected;
            if (tapeMode == TapeMode::RecordPause) return kAccepted;
            const int64_t ready = tapeMode == TapeMode::Record ? now : now + int64_t(opts.latencyMs) * kCyclesPerMs;
            SetMode(TapeMode::RecordPause, now);
            recordFrom = ready;
            return kAccepted;
        }
        if (opcode == 0xC3) {  // PLAY FORWARD (PAUSE)
            if (cassette == Medium::None || atEnd) return kRejected;
            SetMode(operand == 0x7D ? TapeMode::PlayPause : TapeMode::Play, now);
            return kAccepted;
        }
        if (operand == 0x60) {  // WIND STOP
            SetMode(TapeMode::Stop, now);
            return kAccepted;
        }
        if (cassette == Medium::None || (operand == 0x75 && atEnd)) return kRejected;
        SetMode(operand == 0x65 ? TapeMode::Rewind : TapeMode::FastForward, now);
        return kAccepted;
    }
    if (ctype != 0x01 /* STATUS */) return kNotImplemented;
    std::vector<uint8_t>& r = *response;
    if (opcode == 0xD0 && operand == 0x7F) {  // TRANSPORT STATE: the mode's opcode and state
        static const uint8_t kState[][2] = {{0xC4, 0x60}, {0xC3, 0x75}, {0xC2, 0x75},
                                            {0xC2, 0x7D}, {0xC4, 0x65}, {0xC4, 0x75}, {0xC3, 0x7D}};
        r[2] = kState[int(tapeMode)][0];
        r[3] = kState[int(tapeMode)][1];
        return kStable;
    }
    if (opcode == 0xDA && operand == 0x7F && length >= 5) {  // MEDIUM INFO: cassette type, grade and protection
        r[3] = cassette == Medium::None ? 0x60 : nodeKind == NodeKind::Camcorder ? 0x32 : 0x31;
        r[4] = cassette == Medium::None ? 0x7F : cassette == Medium::WriteProtected ? 0x31 : 0x30;
        return kStable;
    }
    if (opcode == 0x51 && operand == 0x71 && length >= 8) {  // TIME CODE
        uint8_t code[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (cassette != Medium::None && tapeMode == TapeMode::Record) {
            memcpy(code, lastTimecode, 4);
        } else if (cassette != Medium::None) {
            // The code read last: the frame under the head, else one within the second just passed.
            const int64_t at = std::min(int64_t(tapePos) + 1, tapeFrames());
            for (int64_t slot = at - 1; slot >= std::max<int64_t>(0, at - 30); --slot) {
                if (content.Code(slot) != kBlank) {
                    UnpackCode(content.Code(slot), code);
                    break;
                }
            }
        }
        // The digits and the drop-frame flag; the pack's other flag bits are no part of the answer.
        static const uint8_t kAnswered[4] = {0x7F, 0x7F, 0x7F, 0x3F};
        for (int i = 0; i < 4; ++i) r[4 + i] = code[i] == 0xFF ? 0xFF : uint8_t(code[i] & kAnswered[i]);
        return kStable;
    }
    if ((opcode == 0x78 || opcode == 0x79) && operand == 0xFF) {  // OUTPUT / INPUT SIGNAL MODE
        r[3] = opts.pal ? 0x80 : 0x00;  // SD 625-50 or SD 525-60
        return kStable;
    }
    return kNotImplemented;
}

std::vector<uint8_t> VirtualNode::AnswerAvc(const uint8_t* command, uint32_t length, int64_t now, int64_t* finalAfter) {
    std::vector<uint8_t> response(command, command + length);
    const uint8_t ctype = command[0] & 0x0f;
    const uint8_t subunit = length > 1 ? command[1] : 0;
    const uint8_t opcode = length > 2 ? command[2] : 0;
    const bool tapeSubunit = !(opts.cameraMode && nodeKind == NodeKind::Camcorder);
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
            int n = 0;
            if (tapeSubunit) entries[n++] = 4 << 3;                       // tape recorder
            if (nodeKind == NodeKind::Camcorder) entries[n++] = 7 << 3;  // video camera
        }
        memcpy(&response[4], entries, 4);
        answer = kStable;
    } else if (ctype > 0x04) {
        answer = kRejected;  // a response sent as a command
    } else if (subunit == 0x20 && length >= 4 && tapeSubunit) {  // the tape recorder subunit 0
        answer = AnswerTapeRecorder(ctype, command, length, now, &response, finalAfter);
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

bool VirtualNode::OpenTape(const std::string& path) { return content.OpenRecordFile(path); }

void VirtualNode::CloseTape() { content.CloseFiles(); }

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
        frameFifty = (block[3] & 0x80) != 0;  // DSF: 625/50
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
    if (frame.size() == (frameFifty ? kFrameBytes625 : kFrameBytes)) FinishFrame(cycle);
}

void VirtualNode::FinishFrame(uint64_t cycle) {
    inFrame = false;
    Advance(int64_t(cycle));
    if (frameFifty != opts.pal) {
        // The other system: the unit cannot lock to it and records nothing.
        ++stats.framesOtherSystem;
        frame.clear();
        return;
    }
    int64_t slot = int64_t(tapePos);
    // In record the servo locks the tape to the input's frames: each frame goes on the slot after
    // the one before it, wherever its last packet fell against the tape's own clock (a frame that
    // ends right at a slot's edge would otherwise land on the slot before or after, leaving a
    // blank frame or overwriting one).
    if (recordSlot >= 0 && slot >= recordSlot - 1 && slot <= recordSlot + 1) slot = recordSlot;
    if (recordingAt(int64_t(cycle)) && slot < tapeFrames()) {
        recordSlot = slot + 1;
        if (!opts.dvInput) {
            // What the unit makes itself: blank picture and sound, its own time code (the tape's
            // position, non-drop), whatever came in.
            const int64_t n = slot;
            const int fps = opts.pal ? 25 : 30;
            const uint8_t own[4] = {Bcd(int(n % fps)), Bcd(int(n / fps % 60)), Bcd(int(n / (60 * fps) % 60)),
                                    Bcd(int(n / (3600 * fps) % 24))};
            for (size_t at = 0; at + 80 <= frame.size(); at += 80) {
                const int sectionType = frame[at] >> 5;
                if (sectionType == 3 || sectionType == 4) memset(&frame[at + 3], 0, 77);  // audio, video
            }
            SetFrameCode(frame.data(), PackCode(own));
            ++stats.framesBlank;
        }
        const uint32_t code = FrameCode(frame.data());
        content.Record(slot, frame.data(), code);
        ++stats.framesRecorded;
        if (code != kBlank) UnpackCode(code, lastTimecode);
        if (stats.firstRecordedCycle < 0) {
            stats.firstRecordedCycle = int64_t(cycle);
            memcpy(stats.firstTimecode, lastTimecode, 4);
        }
        memcpy(stats.lastTimecode, lastTimecode, 4);
    } else {
        recordSlot = -1;
        if (tapeMode == TapeMode::Record) ++stats.framesTooEarly;
        ++stats.framesShown;
    }
    frame.clear();
    if (stats.firstFrameCycle < 0) stats.firstFrameCycle = int64_t(cycle);
    stats.lastFrameCycle = int64_t(cycle);
    completedAt.push_back(cycle);
}

}  // namespace sim1394
