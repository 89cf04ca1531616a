// The simulated camcorders and decks behave as tape units do: RECORD takes effect only after the
// unit's latency (and what arrives meanwhile is not on tape), record-pause arms it, TRANSPORT STATE
// reports each mode with its operands, the tape is finite and winds at its speed, units refuse or
// ignore what real ones do, every command is answered whatever became of the handle that sent the
// one before (the kernel hands an FCP answer to the handles listening when it arrives), and a
// device file the user may not open is reported as libraw1394 reports it.
// Each test runs this program again under sim1394 and talks libavc1394 and libraw1394 directly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <libavc1394/avc1394.h>
#include <libavc1394/avc1394_vcr.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim1394/dv_feed.h"
#include "tests/support/sim1394/raw1394_handle.h"
#include "tests/support/sim1394/rerun_on_bus.h"

namespace {

using sim1394test::g_fcpAnswers;
using sim1394test::Iterate;
using sim1394test::LogFcpAnswer;
using sim1394test::OnBus;

constexpr quadlet_t kControl = AVC1394_CTYPE_CONTROL | AVC1394_SUBUNIT_TYPE_VCR | AVC1394_SUBUNIT_ID_0;
constexpr quadlet_t kStatus = AVC1394_CTYPE_STATUS | AVC1394_SUBUNIT_TYPE_VCR | AVC1394_SUBUNIT_ID_0;
constexpr quadlet_t kRecord = kControl | AVC1394_VCR_COMMAND_RECORD | AVC1394_VCR_OPERAND_RECORD_RECORD;
constexpr quadlet_t kRecordPause = kControl | AVC1394_VCR_COMMAND_RECORD | AVC1394_VCR_OPERAND_RECORD_PAUSE;
constexpr quadlet_t kPlay = kControl | AVC1394_VCR_COMMAND_PLAY | AVC1394_VCR_OPERAND_PLAY_FORWARD;
constexpr quadlet_t kPlayPause = kControl | AVC1394_VCR_COMMAND_PLAY | AVC1394_VCR_OPERAND_PLAY_FORWARD_PAUSE;
constexpr quadlet_t kStop = kControl | AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_STOP;
constexpr quadlet_t kRewind = kControl | AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_REWIND;
constexpr quadlet_t kFastForward = kControl | AVC1394_VCR_COMMAND_WIND | AVC1394_VCR_OPERAND_WIND_FAST_FORWARD;
constexpr quadlet_t kMediumInfo = kStatus | AVC1394_VCR_COMMAND_MEDIUM_INFO | 0x7F;

void RunInner(const std::string& options) { sim1394test::RerunOnBus(options); }

void Control(const std::string& command) {
    std::string said;
    ASSERT_EQ(0, sim1394test::Control(command, &said)) << said;
}

std::string Status() {
    std::string out;
    sim1394test::Control("status", &out);
    return out;
}

// The number after `key` in the bus status (its first occurrence); -1 when absent.
double Value(const std::string& status, const std::string& key) {
    const size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::strtod(status.c_str() + at + key.size(), nullptr);
}
int64_t Cycle(const std::string& status, const std::string& key) { return int64_t(Value(status, key)); }

// The answer code (ACCEPTED 9, REJECTED A, NOT IMPLEMENTED 8, STABLE C...) to a one-quadlet command.
int Answer(raw1394handle_t h, int node, quadlet_t command) {
    const quadlet_t response = avc1394_transaction(h, nodeid_t(node), command, 2);
    return response == quadlet_t(-1) ? -1 : int(AVC1394_MASK_RESPONSE(response) >> 24);
}

// What dvcont prints for the unit's TRANSPORT STATE.
std::string State(raw1394handle_t h, int node) {
    return avc1394_vcr_decode_status(avc1394_vcr_status(h, nodeid_t(node)));
}

using Stream = sim1394test::DvStream;

TEST(SimulatedTapeUnit, RecordTakesEffectAfterTheLatencyAndFromRecordPauseAfterAFewFrames) {
    if (!OnBus()) return RunInner("--node camcorder:latency=500,pause-latency=100");
    Stream stream;
    ASSERT_TRUE(stream.ok());
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    stream.Run(200);

    // From stop: ACCEPTED at once, the mode reported at once, the tape recording 500 ms later.
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRecord));
    EXPECT_EQ("Recording", State(h, 0));
    stream.Run(1000);
    std::string status = Status();
    const int64_t commanded = Cycle(status, "camcorder 0 last RECORD at cycle ");
    const int64_t from = Cycle(status, ", recording from cycle ");
    EXPECT_EQ(500 * 8, from - commanded) << status;
    EXPECT_GE(Cycle(status, "camcorder 0 first frame on tape at cycle "), from) << "a frame before the latency ended";
    EXPECT_GT(Value(status, "camcorder 0 frames before the latency ended "), 0) << status;
    EXPECT_GT(Value(status, "camcorder 0 frames recorded "), 0) << status;

    // Record-pause: armed, nothing goes on tape; RECORD from there records 100 ms later.
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRecordPause));
    EXPECT_EQ("Recording Paused", State(h, 0));
    const double recorded = Value(Status(), "camcorder 0 frames recorded ");
    stream.Run(300);
    EXPECT_EQ(recorded, Value(Status(), "camcorder 0 frames recorded ")) << "recorded in record-pause";
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRecord));
    stream.Run(400);
    status = Status();
    EXPECT_EQ(100 * 8, Cycle(status, ", recording from cycle ") - Cycle(status, "camcorder 0 last RECORD at cycle "));
    EXPECT_GT(Value(status, "camcorder 0 frames recorded "), recorded);
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kStop));
    EXPECT_EQ("Winding stopped", State(h, 0));
}

TEST(SimulatedTapeUnit, ANodeSetSoAnswersRecordInterimAndAcceptedOnceRecording) {
    if (!OnBus()) return RunInner("--node camcorder:record-answer=interim,latency=300");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    raw1394_set_fcp_handler(h, &LogFcpAnswer);
    ASSERT_EQ(0, raw1394_start_fcp_listen(h));
    quadlet_t record = htonl(kRecord);
    ASSERT_EQ(0, raw1394_write(h, 0xffc0, 0xFFFFF0000B00ULL, 4, &record));
    for (int i = 0; i < 200 && g_fcpAnswers.size() < 2; ++i) Iterate(h, 10);
    ASSERT_EQ(2u, g_fcpAnswers.size());
    EXPECT_EQ(AVC1394_RESP_INTERIM, g_fcpAnswers[0]);
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, g_fcpAnswers[1]);
    const std::string status = Status();
    EXPECT_GE(Cycle(status, " s at cycle "), Cycle(status, ", recording from cycle ")) << "ACCEPTED before recording";
    // Already recording: a second RECORD is ACCEPTED at once.
    g_fcpAnswers.clear();
    ASSERT_EQ(0, raw1394_write(h, 0xffc0, 0xFFFFF0000B00ULL, 4, &record));
    for (int i = 0; i < 100 && g_fcpAnswers.empty(); ++i) Iterate(h, 10);
    ASSERT_FALSE(g_fcpAnswers.empty());
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, g_fcpAnswers[0]);
}

TEST(SimulatedTapeUnit, TheTapeIsFiniteWindsAtItsSpeedAndStopsAtItsEnds) {
    if (!OnBus()) return RunInner("--node camcorder:tape-length=60,at=30,wind-speed=40,pause-timeout=300");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    EXPECT_EQ("Winding stopped", State(h, 0));
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kPlay));
    EXPECT_EQ("Playing", State(h, 0));
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kPlayPause));
    EXPECT_EQ("Playing Paused", State(h, 0));

    // Fast forward at 40 times play speed, measured in bus time.
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kFastForward));
    EXPECT_EQ("Winding forward", State(h, 0));
    const std::string before = Status();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const std::string after = Status();
    const double seconds = double(Cycle(after, " s at cycle ") - Cycle(before, " s at cycle ")) / 8000;
    const double wound = Value(after, "camcorder 0 tape position ") - Value(before, "camcorder 0 tape position ");
    EXPECT_NEAR(40.0, wound / seconds, 1.0) << before << after;

    // At the end (30 s of tape at 40x: under a second) it stops there and takes nothing forward.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ("Winding stopped", State(h, 0));
    const std::string end = Status();
    EXPECT_NE(std::string::npos, end.find("end of tape reached")) << end;
    EXPECT_NEAR(60.0, Value(end, "camcorder 0 tape position "), 0.05);
    for (quadlet_t command : {kRecord, kRecordPause, kFastForward, kPlay}) {
        EXPECT_EQ(AVC1394_RESP_REJECTED, Answer(h, 0, command)) << std::hex << command;
    }
    quadlet_t mediumInfo[2] = {kMediumInfo, 0x7FFFFFFF};
    const quadlet_t* medium = avc1394_transaction_block(h, 0, mediumInfo, 2, 2);
    ASSERT_NE(nullptr, medium);
    EXPECT_EQ(AVC1394_RESPONSE_STABLE, AVC1394_MASK_RESPONSE(medium[0])) << "the cassette is still there";
    EXPECT_EQ(AVC1394_VCR_OPERAND_MEDIUM_INFO_DVCR_SMALL, int(AVC1394_GET_OPERAND0(medium[0])));
    avc1394_transaction_block_close(h);

    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRewind));
    EXPECT_EQ("Winding reverse", State(h, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(Value(Status(), "camcorder 0 tape position "), 59.0);
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kStop));

    // Left in record-pause, the unit drops to stop by itself.
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRecordPause));
    EXPECT_EQ("Recording Paused", State(h, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ("Winding stopped", State(h, 0));
}

TEST(SimulatedTapeUnit, UnitsRefuseOrIgnoreAsRealOnesDo) {
    if (!OnBus()) {
        return RunInner("--node camcorder:no-record-pause --node deck:local --node camcorder:dv-in=off,at=600,latency=0 "
                        "--node camcorder:camera");
    }
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    // No RECORD PAUSE: NOT IMPLEMENTED, RECORD still taken.
    EXPECT_EQ(AVC1394_RESP_NOT_IMPLEMENTED, Answer(h, 0, kRecordPause));
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kRecord));
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 0, kStop));

    // Local mode: every CONTROL command REJECTED, STATUS answered; back in remote it obeys.
    for (quadlet_t command : {kRecord, kRecordPause, kPlay, kStop, kRewind}) {
        EXPECT_EQ(AVC1394_RESP_REJECTED, Answer(h, 1, command)) << std::hex << command;
    }
    EXPECT_EQ("Winding stopped", State(h, 1));
    Control("configure deck remote");
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 1, kPlay));
    EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 1, kStop));

    // DV input disabled: RECORD accepted, but what reaches the tape is the unit's own blank
    // frames with its own time code (from where its tape stands, 600 s in), not ours.
    {
        Stream stream;
        ASSERT_TRUE(stream.ok());
        EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 2, kRecord));
        stream.Run(500);
        char timecode[12] = {};
        ASSERT_EQ(0, avc1394_vcr_get_timecode2(h, 2, timecode));
        EXPECT_EQ(std::string("00:09:59"), std::string(timecode, 8)) << timecode;
        EXPECT_EQ(AVC1394_RESP_ACCEPTED, Answer(h, 2, kStop));
    }
    const std::string status = Status();
    EXPECT_GT(Value(status, "camcorder 2 blank frames "), 0) << status;
    EXPECT_EQ(Value(status, "camcorder 2 blank frames "), Value(status, "camcorder 2 frames recorded ")) << status;
    EXPECT_NE(std::string::npos, status.find("camcorder 2 on tape 00:09:59")) << status;
    EXPECT_NE(std::string::npos, status.find("camcorder 0 on tape --:--:--:--")) << "the stream reached the wrong unit";

    // Camera mode: no tape recorder subunit; commands to one are NOT IMPLEMENTED.
    EXPECT_EQ(0, avc1394_check_subunit_type(h, 3, AVC1394_SUBUNIT_TYPE_VCR));
    EXPECT_EQ(1, avc1394_check_subunit_type(h, 3, AVC1394_SUBUNIT_TYPE_VIDEO_CAMERA));
    EXPECT_EQ(AVC1394_RESP_NOT_IMPLEMENTED, Answer(h, 3, kStatus | AVC1394_VCR_COMMAND_TRANSPORT_STATE |
                                                           AVC1394_VCR_OPERAND_TRANSPORT_STATE));
    EXPECT_EQ(AVC1394_RESP_NOT_IMPLEMENTED, Answer(h, 3, kRecord));
}

// dvcont record, then dvcont status as a new process: the answer to RECORD reached nobody, and
// never the next program's first command.
TEST(SimulatedTapeUnit, EveryCommandIsAnsweredWhateverBecameOfTheHandleThatSentTheLastOne) {
    if (!OnBus()) return RunInner("");
    for (int round = 0; round < 20; ++round) {
        raw1394handle_t sender = raw1394_new_handle_on_port(0);
        ASSERT_NE(nullptr, sender);
        avc1394_vcr_record(sender, 0);
        raw1394_destroy_handle(sender);
        raw1394handle_t asker = raw1394_new_handle_on_port(0);
        ASSERT_NE(nullptr, asker);
        ASSERT_EQ(1, avc1394_check_subunit_type(asker, 0, AVC1394_SUBUNIT_TYPE_VCR)) << "round " << round;
        EXPECT_EQ("Recording", State(asker, 0)) << "round " << round;
        avc1394_vcr_stop(asker, 0);
        raw1394_destroy_handle(asker);
        asker = raw1394_new_handle_on_port(0);
        EXPECT_EQ("Winding stopped", State(asker, 0)) << "round " << round;
        raw1394_destroy_handle(asker);
    }
}

TEST(SimulatedTapeUnit, AnAnswerReachesTheHandlesListeningWhenItArrives) {
    if (!OnBus()) return RunInner("");
    raw1394handle_t asker = raw1394_new_handle_on_port(0);
    raw1394handle_t early = raw1394_new_handle_on_port(0);
    raw1394handle_t late = raw1394_new_handle_on_port(0);
    ASSERT_TRUE(asker != nullptr && early != nullptr && late != nullptr);
    for (raw1394handle_t h : {asker, early, late}) raw1394_set_fcp_handler(h, &LogFcpAnswer);
    ASSERT_EQ(0, raw1394_start_fcp_listen(asker));
    ASSERT_EQ(0, raw1394_start_fcp_listen(early));
    quadlet_t state = htonl(kStatus | AVC1394_VCR_COMMAND_TRANSPORT_STATE | AVC1394_VCR_OPERAND_TRANSPORT_STATE);
    ASSERT_EQ(0, raw1394_write(asker, 0xffc0, 0xFFFFF0000B00ULL, 4, &state));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the answer is in
    // Released after it arrived: the kernel queued it all the same. Listening only after: never.
    ASSERT_EQ(0, raw1394_stop_fcp_listen(early));
    ASSERT_EQ(0, raw1394_start_fcp_listen(late));
    g_fcpAnswers.clear();
    Iterate(early, 50);
    EXPECT_EQ(1u, g_fcpAnswers.size()) << "an answer that arrived while listening was lost";
    g_fcpAnswers.clear();
    Iterate(late, 50);
    EXPECT_TRUE(g_fcpAnswers.empty()) << "an answer that arrived before the handle listened reached it";
    g_fcpAnswers.clear();
    Iterate(asker, 50);
    ASSERT_EQ(1u, g_fcpAnswers.size());
    EXPECT_EQ(AVC1394_RESP_STABLE, g_fcpAnswers[0]);
    for (raw1394handle_t h : {asker, early, late}) raw1394_destroy_handle(h);
}

// libraw1394's fw.c finds /dev/fw* but cannot open one: a handle with no port, errno EACCES from
// the scan, and setting port 0 fails as for any port beyond those found.
TEST(SimulatedTapeUnit, ADeviceFileTheUserMayNotOpenIsReportedAsLibraw1394DoesIt) {
    if (!OnBus()) return RunInner("--no-permission");
    errno = 0;
    raw1394handle_t h = raw1394_new_handle();
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(0, raw1394_get_port_info(h, nullptr, 0));
    EXPECT_EQ(-1, raw1394_set_port(h, 0));
    EXPECT_EQ(EINVAL, errno);
    raw1394_destroy_handle(h);
    EXPECT_EQ(nullptr, raw1394_new_handle_on_port(0));
    Control("permission granted");
    h = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ("Winding stopped", State(h, 0));
    raw1394_destroy_handle(h);
}

}  // namespace
