#include "cassette.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim1394 {
namespace {

constexpr size_t kDifBytes = 80;
constexpr size_t kSequenceBlocks = 150;
constexpr size_t kSequenceBytes = kDifBytes * kSequenceBlocks;

uint8_t Bcd(int64_t value) { return uint8_t((value / 10) << 4 | (value % 10)); }

// Each time code pack of the frame's subcode: every sequence's blocks 1 and 2, six sync blocks
// of 8 bytes from byte 3 (a 3-byte id, then the 5-byte pack).
template <typename Use>
void EachTimecodePack(uint8_t* frame, Use&& use) {
    // The first header says the system: twelve sequences in 625/50, ten in 525/60.
    const size_t sequences = (frame[3] & 0x80) ? 12 : 10;
    for (size_t sequence = 0; sequence < sequences; ++sequence) {
        for (size_t block = 1; block <= 2; ++block) {
            uint8_t* dif = frame + (sequence * kSequenceBlocks + block) * kDifBytes;
            for (size_t ssyb = 0; ssyb < 6; ++ssyb) {
                uint8_t* pack = dif + 3 + ssyb * 8 + 3;
                if (pack[0] == 0x13) use(pack);
            }
        }
    }
}

// A place on tape's own random number in [0, 1): the same every time that place plays.
double PlaceNoise(uint64_t place) {
    uint64_t z = place + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return double(z >> 11) / double(1ULL << 53);
}

// The label of frame number n counted from 00:00:00:00, as TC pack bytes 1-4 without flags: 30
// labels a second (dropping some or not), or 25.
uint32_t LabelOf(int64_t n, bool dropFrame, bool pal) {
    if (pal) {
        return uint32_t(Bcd(n % 25)) << 24 | uint32_t(Bcd(n / 25 % 60)) << 16 | uint32_t(Bcd(n / 1500 % 60)) << 8 |
               Bcd(n / 90000 % 24);
    }
    if (dropFrame) {
        // Labels 0 and 1 are skipped at every minute not divisible by ten: 17982 frames in ten minutes.
        const int64_t tens = n / 17982, rest = n % 17982;
        n += 18 * tens + (rest > 1 ? 2 * ((rest - 2) / 1798) : 0);
    }
    return uint32_t(Bcd(n % 30)) << 24 | uint32_t(Bcd(n / 30 % 60)) << 16 | uint32_t(Bcd(n / 1800 % 60)) << 8 |
           Bcd(n / 108000 % 24);
}

void MakeBlankFrame(uint8_t* frame, size_t frameBytes) {
    std::memset(frame, 0xFF, frameBytes);
    const bool pal = frameBytes == Cassette::kFrameBytes625;
    for (size_t sequence = 0; sequence < frameBytes / kSequenceBytes; ++sequence) {
        for (size_t j = 0; j < kSequenceBlocks; ++j) {
            uint8_t* dif = frame + (sequence * kSequenceBlocks + j) * kDifBytes;
            // Section type and the block's number within its section.
            int type = 4, number = 0;
            if (j == 0) type = 0;
            else if (j <= 2) type = 1, number = int(j) - 1;
            else if (j <= 5) type = 2, number = int(j) - 3;
            else if ((j - 6) % 16 == 0) type = 3, number = int(j - 6) / 16;
            else number = int(j - 7 - (j - 6) / 16);
            dif[0] = uint8_t(type << 5 | 0x1F);
            dif[1] = uint8_t(sequence << 4 | 0x07);
            dif[2] = uint8_t(number);
            if (type == 0) {
                // DSF 0 (525/60) or 1 (625/50); APT 000 (consumer DV); TF1-TF3 set: no valid data.
                dif[3] = pal ? 0xBF : 0x3F;
                dif[4] = 0x68;
                dif[5] = dif[6] = dif[7] = 0xF8;
            } else if (type == 3) {
                for (size_t at = 8; at < kDifBytes; at += 2) dif[at] = 0x80, dif[at + 1] = 0x00;
            } else if (type == 4) {
                dif[3] = 0xF0;  // STA 1111: error, not concealed
                std::memset(dif + 4, 0, kDifBytes - 4);
            }
        }
    }
}

}  // namespace

uint32_t FrameCode(const uint8_t* frame) {
    uint32_t code = Cassette::kBlank;
    EachTimecodePack(const_cast<uint8_t*>(frame), [&](uint8_t* pack) {
        if (code == Cassette::kBlank) {
            code = uint32_t(pack[1]) << 24 | uint32_t(pack[2]) << 16 | uint32_t(pack[3]) << 8 | pack[4];
        }
    });
    return code;
}

void SetFrameCode(uint8_t* frame, uint32_t code) {
    static const uint8_t kFlags[4] = {0xC0, 0x80, 0x80, 0xC0};  // per byte: bits that are no digits
    EachTimecodePack(frame, [&](uint8_t* pack) {
        for (int i = 0; i < 4; ++i) {
            const uint8_t digits = uint8_t(code >> (24 - 8 * i));
            pack[1 + i] = uint8_t((pack[1 + i] & kFlags[i]) | (digits & ~kFlags[i]));
        }
    });
}

Cassette::Cassette(int64_t frames, bool pal) : fifty(pal), slots(size_t(std::max<int64_t>(frames, 0)), -1), codes(slots.size(), kBlank) {}

Cassette::~Cassette() { CloseFiles(); }

void Cassette::Resize(int64_t frames) {
    slots.resize(size_t(std::max<int64_t>(frames, 0)), -1);
    codes.resize(slots.size(), kBlank);
}

bool Cassette::OpenRecordFile(const std::string& path) {
    if (recordFile != nullptr) std::fclose(recordFile);
    recordFile = nullptr;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    recordFile = fdopen(fd, "w+b");
    if (recordFile == nullptr) {
        ::close(fd);
        return false;
    }
    recordedFrames = 0;
    // What was recorded into an earlier file is no longer there.
    for (int64_t& slot : slots) {
        if (slot >= 0 && (slot & 1) == 0) slot = -1;
    }
    return true;
}

void Cassette::CloseFiles() {
    for (std::FILE** f : {&recordFile, &loadedFile}) {
        if (*f != nullptr) std::fclose(*f);
        *f = nullptr;
    }
}

bool Cassette::Load(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = "cannot read the cassette's frames from " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    std::FILE* file = fdopen(fd, "rb");
    const int64_t count = int64_t(st.st_size) / int64_t(frameBytes());
    std::vector<uint8_t> frame(frameBytes());
    std::vector<uint32_t> found;
    std::string why;
    if (!S_ISREG(st.st_mode) || st.st_size == 0 || st.st_size % off_t(frameBytes()) != 0) {
        why = fifty ? "it is not a whole number of 144000-byte PAL DV frames"
                    : "it is not a whole number of 120000-byte NTSC DV frames";
    } else if (count > frames()) {
        why = "its " + std::to_string(count) + " frames do not fit on a tape of " + std::to_string(frames());
    }
    for (int64_t n = 0; why.empty() && n < count; ++n) {
        if (std::fread(frame.data(), 1, frameBytes(), file) != frameBytes()) {
            why = std::string("it cannot be read: ") + std::strerror(errno);
        } else if ((frame[0] >> 5) != 0 || ((frame[3] & 0x80) != 0) != fifty) {
            why = "frame " + std::to_string(n) + (fifty ? " is no PAL (625/50) DV frame" : " is no NTSC (525/60) DV frame");
        } else {
            found.push_back(FrameCode(frame.data()));
        }
    }
    if (!why.empty()) {
        std::fclose(file);
        *error = "cannot load " + path + " onto the cassette: " + why;
        return false;
    }
    if (loadedFile != nullptr) std::fclose(loadedFile);
    loadedFile = file;
    for (int64_t& slot : slots) {
        if (slot >= 0 && (slot & 1) == 1) slot = -1;
    }
    for (int64_t n = 0; n < count; ++n) {
        slots[size_t(n)] = n << 1 | 1;
        codes[size_t(n)] = found[size_t(n)];
    }
    return true;
}

void Cassette::Record(int64_t slot, const uint8_t* frame, uint32_t code) {
    if (slot < 0 || slot >= frames()) return;
    if (recordFile == nullptr) {
        recordFile = std::tmpfile();  // 0600, unlinked: the unit's own memory of its tape
        recordedFrames = 0;
        if (recordFile == nullptr) return;
    }
    if (std::fseek(recordFile, long(recordedFrames * int64_t(frameBytes())), SEEK_SET) != 0 ||
        std::fwrite(frame, 1, frameBytes(), recordFile) != frameBytes()) {
        return;
    }
    std::fflush(recordFile);
    slots[size_t(slot)] = recordedFrames << 1;
    codes[size_t(slot)] = code;
    ++recordedFrames;
}

int64_t Cassette::SlotAt(double seconds) const {
    return int64_t(std::llround(seconds * (fifty ? 25.0 : 30000.0 / 1001.0)));
}

bool Cassette::InBlankStretch(int64_t slot) const {
    return faults.blankFrom >= 0 && slot >= SlotAt(faults.blankFrom) && slot < SlotAt(faults.blankTo);
}

uint32_t Cassette::AfterBreak(int64_t slot, uint32_t recorded) const {
    if (faults.timecodeBreakAt < 0 || recorded == kBlank || slot < SlotAt(faults.timecodeBreakAt)) return recorded;
    const bool dropFrame = (recorded >> 24 & 0x40) != 0;
    return LabelOf(slot - SlotAt(faults.timecodeBreakAt), dropFrame, fifty) | (recorded & 0xC08080C0u);
}

uint32_t Cassette::Code(int64_t slot) const {
    if (slot < 0 || slot >= frames() || slots[size_t(slot)] < 0 || InBlankStretch(slot)) return kBlank;
    return AfterBreak(slot, codes[size_t(slot)]);
}

int64_t Cassette::Find(uint32_t code) const {
    constexpr uint32_t kDigits = 0x3F7F7F3Fu;
    for (int64_t slot = 0; slot < frames(); ++slot) {
        const uint32_t here = Code(slot);
        if (here != kBlank && (here & kDigits) == (code & kDigits)) return slot;
    }
    return -1;
}

void Cassette::Read(int64_t slot, std::vector<uint8_t>* frame) const {
    frame->resize(frameBytes());
    const int64_t where = slot >= 0 && slot < frames() ? slots[size_t(slot)] : -1;
    std::FILE* file = where < 0 ? nullptr : (where & 1) != 0 ? loadedFile : recordFile;
    const off_t offset = off_t(where >> 1) * off_t(frameBytes());
    if (file == nullptr || InBlankStretch(slot) ||
        ::pread(fileno(file), frame->data(), frameBytes(), offset) != ssize_t(frameBytes())) {
        MakeBlankFrame(frame->data(), frameBytes());
        return;
    }
    const uint32_t code = Code(slot);
    if (code != codes[size_t(slot)]) SetFrameCode(frame->data(), code);
    Damage(slot, frame);
}

void Cassette::Damage(int64_t slot, std::vector<uint8_t>* frame) const {
    const bool stretch = faults.damageFrom >= 0;
    if (!stretch && faults.damageRate <= 0) return;
    if (stretch && (slot < SlotAt(faults.damageFrom) || slot >= SlotAt(faults.damageTo))) return;
    const double rate = faults.damageRate < 0 ? 1.0 : faults.damageRate;
    for (size_t sequence = 0; sequence < frameBytes() / kSequenceBytes; ++sequence) {
        if (faults.damageHeads == DamageHeads::Even && sequence % 2 != 0) continue;
        if (faults.damageHeads == DamageHeads::Odd && sequence % 2 == 0) continue;
        for (size_t j = 6; j < kSequenceBlocks; ++j) {
            const bool audio = (j - 6) % 16 == 0;
            if (audio != (faults.damageKind == DamageKind::Audio)) continue;
            const size_t block = sequence * kSequenceBlocks + j;
            if (PlaceNoise(uint64_t(slot) * 1500 + block) >= rate) continue;
            uint8_t* dif = frame->data() + block * kDifBytes;
            if (audio) {
                for (size_t at = 8; at < kDifBytes; at += 2) dif[at] = 0x80, dif[at + 1] = 0x00;
            } else {
                const uint8_t sta = faults.damageKind == DamageKind::Concealed ? 0x2 : 0xF;
                dif[3] = uint8_t(sta << 4 | (dif[3] & 0x0f));
            }
        }
    }
}

}  // namespace sim1394
