// The simulated camcorders and decks play their tape back as tape units do: the cassette gives
// each frame of tape as the head reads it, with its faults where they were configured (damaged
// blocks by kind, stretch and head, a time code break, blank tape); the output is an IEC 61883 DV
// stream at the unit's pace; PLAY sends the tape from the head's frame on, on the broadcast
// channel or on a point-to-point connection a host made, and a reset returns it to broadcast until
// the owner restores it; a unit plays what it recorded; a TIME CODE search stops on the frame
// carrying the code; play runs to the tape's end and stops there.
// The cassette and the player are tested alone; the rest runs this program again under sim1394 and
// receives with libiec61883, commands with libavc1394.
#include <gtest/gtest.h>

#include <libavc1394/avc1394.h>
#include <libavc1394/avc1394_vcr.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim1394/capture_check.h"
#include "tests/support/sim1394/cassette.h"
#include "tests/support/sim1394/dv_feed.h"
#include "tests/support/sim1394/raw1394_handle.h"
#include "tests/support/sim1394/rerun_on_bus.h"
#include "tests/support/sim1394/tape_frames.h"
#include "tests/support/sim1394/tape_player.h"
#include "tests/support/test_support.h"

namespace {

using sim1394::Cassette;
using sim1394test::OnBus;

constexpr char kTapeVariable[] = "SIM1394_TEST_TAPE";

// A tape of FFmpeg's frames, its time code from 01:00:00;00 (drop-frame).
struct MadeTape {
    testsupport::TempDir dir {"sim-playback"};
    std::string path = dir.path() + "/tape.dv";
    explicit MadeTape(int frames) {
        std::string why;
        EXPECT_TRUE(sim1394test::MakeDvTape(path, frames, "01:00:00;00", &why)) << why;
    }
};

uint8_t Sta(const std::vector<uint8_t>& frame, size_t sequence, size_t block) { return frame[(sequence * 150 + block) * 80 + 3] >> 4; }

// Video DIF blocks (7-149 but the audio ones) of the frame whose STA says damaged, in even and odd sequences.
void CountDamage(const std::vector<uint8_t>& frame, int* even, int* odd) {
    *even = *odd = 0;
    for (size_t sequence = 0; sequence < 10; ++sequence) {
        for (size_t j = 7; j < 150; ++j) {
            if ((j - 6) % 16 != 0 && Sta(frame, sequence, j) != 0) ++(sequence % 2 == 0 ? *even : *odd);
        }
    }
}

TEST(SimulatedCassette, DamageSitsWhereConfiguredByKindAndHeadTheSameEveryPlay) {
    MadeTape tape(90);
    Cassette cassette(300);
    std::string error;
    ASSERT_TRUE(cassette.Load(tape.path, &error)) << error;
    sim1394::TapeFaults faults;
    faults.damageFrom = 1.0;  // frames 30 to 59
    faults.damageTo = 2.0;
    faults.damageRate = 0.5;
    faults.damageHeads = sim1394::DamageHeads::Even;
    cassette.SetFaults(faults);
    std::vector<uint8_t> frame, again;
    int even = 0, odd = 0;
    cassette.Read(29, &frame);
    CountDamage(frame, &even, &odd);
    EXPECT_EQ(0, even + odd) << "damage before the stretch";
    cassette.Read(30, &frame);
    CountDamage(frame, &even, &odd);
    EXPECT_GT(even, 135 * 5 / 4) << "about half the even sequences' video blocks";
    EXPECT_LT(even, 135 * 5 * 3 / 4);
    EXPECT_EQ(0, odd) << "a clogged head damages one half only";
    cassette.Read(30, &again);
    EXPECT_EQ(frame, again) << "the same damage on every play";
    cassette.Read(60, &frame);
    CountDamage(frame, &even, &odd);
    EXPECT_EQ(0, even + odd) << "damage after the stretch";

    // Concealed blocks: STA 0010; audio errors: samples 0x8000 and video untouched.
    faults.damageRate = -1;
    faults.damageHeads = sim1394::DamageHeads::Both;
    faults.damageKind = sim1394::DamageKind::Concealed;
    cassette.SetFaults(faults);
    cassette.Read(40, &frame);
    EXPECT_EQ(0x2, Sta(frame, 3, 7));
    EXPECT_EQ(0x2, Sta(frame, 9, 149));
    faults.damageKind = sim1394::DamageKind::Audio;
    cassette.SetFaults(faults);
    cassette.Read(40, &frame);
    CountDamage(frame, &even, &odd);
    EXPECT_EQ(0, even + odd);
    for (size_t sequence : {0, 5}) {
        const uint8_t* audio = frame.data() + (sequence * 150 + 6 + 16 * 4) * 80;
        EXPECT_EQ(0x80, audio[8]);
        EXPECT_EQ(0x00, audio[79]);
    }
}

TEST(SimulatedCassette, ATimecodeBreakRestartsTheCodeAndABlankStretchPlaysAsBlankFrames) {
    MadeTape tape(90);
    Cassette cassette(300);
    std::string error;
    ASSERT_TRUE(cassette.Load(tape.path, &error)) << error;
    EXPECT_EQ(0x40000001u, cassette.Code(0) & 0x7F7F7F3Fu) << "01:00:00;00 as FFmpeg wrote it";
    sim1394::TapeFaults faults;
    faults.timecodeBreakAt = 2.0;  // frame 60
    faults.blankFrom = 1.0;        // frames 30 to 44
    faults.blankTo = 1.5;
    cassette.SetFaults(faults);
    EXPECT_EQ(0x29010001u, cassette.Code(59) & 0x3F7F7F3Fu) << "01:00:01;29 before the break";
    EXPECT_EQ(0x00000000u, cassette.Code(60) & 0x3F7F7F3Fu) << "00:00:00;00 at the break";
    EXPECT_EQ(0x05000000u, cassette.Code(65) & 0x3F7F7F3Fu);
    std::vector<uint8_t> frame;
    cassette.Read(65, &frame);
    EXPECT_EQ(cassette.Code(65), sim1394::FrameCode(frame.data())) << "every copy in the frame carries the break";
    EXPECT_EQ(Cassette::kBlank, cassette.Code(30));
    cassette.Read(30, &frame);
    EXPECT_EQ(Cassette::kBlank, sim1394::FrameCode(frame.data()));
    EXPECT_EQ(0xF8, frame[5]) << "the transmitting flags say no valid data";
    EXPECT_EQ(0x0F, Sta(frame, 0, 7));
    EXPECT_EQ(Cassette::kBlank, cassette.Code(90)) << "never recorded";
    // A search finds the first frame carrying a code; one not on tape, none.
    EXPECT_EQ(45, cassette.Find(0x15010001u));
    EXPECT_EQ(-1, cassette.Find(0x00000002u));

    const std::string bad = tape.dir.path() + "/short.dv";
    ASSERT_EQ(0, testsupport::Shell("head -c 1000 " + testsupport::Quote(tape.path) + " > " + testsupport::Quote(bad)));
    EXPECT_FALSE(cassette.Load(bad, &error));
    EXPECT_NE(std::string::npos, error.find("not a whole number")) << error;
    EXPECT_EQ(0x40000001u, cassette.Code(0) & 0x7F7F7F3Fu) << "a refused file changes nothing";
}

TEST(SimulatedTapePlayer, SendsAnIec61883DvStreamAtTwentyNineNinetySevenFramesASecond) {
    std::vector<uint8_t> frame(Cassette::kFrameBytes);
    for (size_t block = 0; block < 1500; ++block) {  // a header block first in each sequence
        frame[block * 80] = block % 150 == 0 ? 0x1F : 0x9F;
        frame[block * 80 + 1] = uint8_t((block / 150) << 4 | 0x07);
    }
    sim1394::TapePlayer player;
    std::vector<sim1394::WirePacket> out;
    int64_t frames = 0;
    player.Start(1000);
    player.Produce(1000 + 8008 * 3, 2, 63, [&](int64_t, std::vector<uint8_t>* f) { ++frames; *f = frame; return true; }, &out);
    std::vector<sim1394::CapturedPacket> packets;
    for (const auto& p : out) packets.push_back({uint32_t(p.cycle), uint8_t(p.channel), 1, 0, p.payload});
    const sim1394::StreamCheck check = sim1394::CheckDvStream(packets, 63, 2);
    EXPECT_TRUE(check.errors.empty()) << check.errors.front();
    EXPECT_EQ(90u, check.frames) << "three seconds of 1001/30000 s frames";
    EXPECT_EQ(90u * 250, check.dataPackets);
    EXPECT_EQ(uint64_t(8008 * 3), check.packets) << "a packet every cycle";
    EXPECT_EQ(0u, check.cycleGaps);
    // The stream ends where the tape gives no more frames.
    player.Produce(1000 + 8008 * 4, 2, 63, [](int64_t, std::vector<uint8_t>*) { return false; }, &out);
    EXPECT_FALSE(player.playing());
}

// Receives DV frames on a channel with libiec61883's frame reassembly, on the caller's thread.
class Receiver {
public:
    explicit Receiver(int channel) {
        handle = raw1394_new_handle_on_port(0);
        if (handle != nullptr) fb = iec61883_dv_fb_init(handle, &Receiver::Take, this);
        if (fb != nullptr) started = iec61883_dv_fb_start(fb, channel) == 0;
    }
    ~Receiver() {
        if (fb != nullptr) iec61883_dv_fb_close(fb);
        if (handle != nullptr) raw1394_destroy_handle(handle);
    }
    bool ok() const { return started; }
    void Run(int ms) { sim1394test::Iterate(handle, ms); }
    std::vector<std::vector<uint8_t>> frames;
    int incomplete = 0;

private:
    static int Take(unsigned char* data, int length, int complete, void* self) {
        auto* r = static_cast<Receiver*>(self);
        r->frames.emplace_back(data, data + length);
        if (!complete) ++r->incomplete;
        return 0;
    }
    raw1394handle_t handle = nullptr;
    iec61883_dv_fb_t fb = nullptr;
    bool started = false;
};

quadlet_t Command(quadlet_t opcode, quadlet_t operand) {
    return AVC1394_CTYPE_CONTROL | AVC1394_SUBUNIT_TYPE_VCR | AVC1394_SUBUNIT_ID_0 | opcode | operand;
}

int Answer(raw1394handle_t h, quadlet_t command) {
    const quadlet_t response = avc1394_transaction(h, 0, command, 2);
    return response == quadlet_t(-1) ? -1 : int(AVC1394_MASK_RESPONSE(response) >> 24);
}

// Waits (bounded) until the unit is in WIND STOP.
void WaitForStop(raw1394handle_t h) {
    for (int i = 0; i < 300 && std::string(avc1394_vcr_decode_status(avc1394_vcr_status(h, 0))) != "Winding stopped"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_STREQ("Winding stopped", avc1394_vcr_decode_status(avc1394_vcr_status(h, 0)));
}

TEST(SimulatedTapeUnit, PlaysWhatItRecordedFromWhereTheHeadStands) {
    testsupport::TempDir dir("sim-playback");
    if (!OnBus()) {
        setenv(kTapeVariable, (dir.path() + "/recorded.dv").c_str(), 1);
        return (void)sim1394test::RerunOnBus("--tape " + dir.path() + "/recorded.dv --node camcorder:latency=0,tape-length=60,wind-speed=100");
    }
    const std::string tape = getenv(kTapeVariable);
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    {
        sim1394test::DvStream stream;
        ASSERT_TRUE(stream.ok());
        stream.Run(100);
        ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_RECORD, AVC1394_VCR_OPERAND_RECORD_RECORD)));
        stream.Run(1200);
        ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_WIND, AVC1394_VCR_OPERAND_WIND_STOP)));
    }
    const size_t recorded = testsupport::ReadFile(tape).size() / sim1394test::kDvFrameBytes;
    ASSERT_GT(recorded, 20u);
    ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_WIND, AVC1394_VCR_OPERAND_WIND_REWIND)));
    WaitForStop(h);
    EXPECT_NE(-1, sim1394test::StatusValue("at the beginning of the tape", "")) << "rewound to its start";

    Receiver receiver(63);
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_PLAY, AVC1394_VCR_OPERAND_PLAY_FORWARD)));
    receiver.Run(int(recorded * 1001 / 30) + 1300);
    // The time code answer moved with the tape, into the blank after the recording (more than
    // the second in which it still tells the code read last).
    char code[16] = {};
    EXPECT_EQ(-1, avc1394_vcr_get_timecode2(h, 0, code)) << "past the recording: blank tape, no code, not " << code;
    ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_WIND, AVC1394_VCR_OPERAND_WIND_STOP)));
    ASSERT_GE(receiver.frames.size(), recorded + 5);
    EXPECT_EQ(0, receiver.incomplete);
    const std::string onTape = testsupport::ReadFile(tape);
    for (size_t i = 0; i < recorded; ++i) {
        ASSERT_EQ(0, std::memcmp(receiver.frames[i].data(), onTape.data() + i * sim1394test::kDvFrameBytes,
                                 sim1394test::kDvFrameBytes))
            << "played frame " << i << " is not the recorded one";
    }
    EXPECT_EQ(Cassette::kBlank, sim1394::FrameCode(receiver.frames[recorded].data())) << "then blank tape";
}

TEST(SimulatedTapeUnit, SearchesToATimecodeAndPlaysFromThatFrame) {
    if (!OnBus()) {
        MadeTape tape(150);
        return (void)sim1394test::RerunOnBus("--node camcorder:tape-length=60,at=30,load=" + tape.path +
                                             " --node deck:no-search,load=" + tape.path);
    }
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    // avc1394_vcr_seek_timecode's frame, whose answer it does not wait for.
    auto seek = [&](int node, quadlet_t code) {
        quadlet_t request[2] = {Command(AVC1394_VCR_COMMAND_TIME_CODE, AVC1394_VCR_OPERAND_TIME_CODE_CONTROL), code};
        quadlet_t* response = avc1394_transaction_block(h, nodeid_t(node), request, 2, 2);
        const int answer = response == nullptr ? -1 : int(AVC1394_MASK_RESPONSE(response[0]) >> 24);
        avc1394_transaction_block_close(h);
        return answer;
    };
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, seek(0, 0x00030001)) << "01:00:03:00";
    EXPECT_STREQ("Winding reverse", avc1394_vcr_decode_status(avc1394_vcr_status(h, 0)));
    WaitForStop(h);
    char code[16] = {};
    ASSERT_EQ(0, avc1394_vcr_get_timecode2(h, 0, code));
    EXPECT_STREQ("01:00:03:40", code) << "01:00:03;00 (libavc1394 shows the drop-frame flag in the frames)";
    Receiver receiver(63);
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_PLAY, AVC1394_VCR_OPERAND_PLAY_FORWARD)));
    receiver.Run(400);
    ASSERT_GE(receiver.frames.size(), 3u);
    EXPECT_EQ(0x00030001u, sim1394::FrameCode(receiver.frames[0].data()) & 0x3F7F7F3Fu) << "played from the sought frame";
    EXPECT_EQ(0x01030001u, sim1394::FrameCode(receiver.frames[1].data()) & 0x3F7F7F3Fu);
    EXPECT_EQ(AVC1394_RESP_REJECTED, seek(0, 0x00000002)) << "a code on no frame of the tape";
    EXPECT_EQ(AVC1394_RESP_NOT_IMPLEMENTED, seek(1, 0x00030001)) << "a unit without search";
}

TEST(SimulatedTapeUnit, PointToPointMovesTheOutputAndAResetReturnsItToBroadcastUntilRestored) {
    if (!OnBus()) {
        MadeTape tape(300);
        return (void)sim1394test::RerunOnBus("--node camcorder:load=" + tape.path);
    }
    sim1394test::Raw1394Handle owner;
    ASSERT_NE(nullptr, owner.get());
    int oplug = -1, iplug = -1, bandwidth = 1;
    const int channel = iec61883_cmp_connect(owner, 0xffc0, &oplug, raw1394_get_local_id(owner), &iplug, &bandwidth);
    ASSERT_GE(channel, 0);
    ASSERT_NE(63, channel);
    Receiver connected(channel), broadcast(63);
    ASSERT_TRUE(connected.ok() && broadcast.ok());
    std::string said;
    ASSERT_EQ(0, sim1394test::Control("play", &said)) << said;
    connected.Run(300);
    broadcast.Run(10);
    EXPECT_GE(connected.frames.size(), 5u);
    EXPECT_EQ(0u, broadcast.frames.size()) << "nothing on the broadcast channel while connected";
    // The reset clears the connection count: the unit falls back to broadcast until restored.
    ASSERT_EQ(0, sim1394test::Control("reset host", &said)) << said;
    broadcast.Run(300);
    EXPECT_GE(broadcast.frames.size(), 5u);
    // The owner takes the reset and the unit's own event, then restores its connection.
    for (int i = 0; i < 100 && raw1394_get_generation(owner) == 1; ++i) sim1394test::IterateOnce(owner);
    for (int i = 0; i < 10; ++i) sim1394test::IterateOnce(owner);
    bandwidth = 1;
    ASSERT_EQ(channel, iec61883_cmp_reconnect(owner, 0xffc0, &oplug, raw1394_get_local_id(owner), &iplug, &bandwidth, channel));
    const size_t before = connected.frames.size();
    connected.Run(300);
    EXPECT_GE(connected.frames.size(), before + 5) << "restored";
}

TEST(SimulatedTapeUnit, PlayRunsToTheTapesEndAndStopsThere) {
    if (!OnBus()) {
        MadeTape tape(60);
        return (void)sim1394test::RerunOnBus("--node camcorder:tape-length=3,at=2.5,load=" + tape.path);
    }
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    ASSERT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, Command(AVC1394_VCR_COMMAND_PLAY, AVC1394_VCR_OPERAND_PLAY_FORWARD)));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_STREQ("Winding stopped", avc1394_vcr_decode_status(avc1394_vcr_status(h, 0)));
    EXPECT_NE(-1, sim1394test::StatusValue("at the end of the tape", "")) << "stopped at the end";
    // From 2.5 s (frame 74, the head's) to the end (frame 89): 16 frames.
    EXPECT_EQ(16, sim1394test::StatusValue("camcorder 0 output on channel", "frames played "));
    EXPECT_EQ(AVC1394_RESP_REJECTED, Answer(h, Command(AVC1394_VCR_COMMAND_PLAY, AVC1394_VCR_OPERAND_PLAY_FORWARD)));
}

}  // namespace
