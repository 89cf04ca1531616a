// Programs nobody here wrote judge the simulated units: libavc1394's dvcont and libiec61883's
// plugreport run unchanged on the simulated bus (each command a process of its own, as a user
// types them) and must read and command the units as they read and command real ones: dvcont's
// status strings through record, record-pause, play, pause, wind and stop, its time code, and
// plugreport's plugs idle, while a stream runs on a point-to-point connection, and after a bus
// reset until the connection's owner restores it. Repeated sequences must give the right answer
// every time.
// Each test runs this program again under sim1394; the programs inherit its bus.
#include <gtest/gtest.h>

#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/sim1394/dv_feed.h"
#include "tests/support/sim1394/raw1394_handle.h"
#include "tests/support/sim1394/rerun_on_bus.h"

namespace {

using sim1394test::OnBus;

void RunInner(const std::string& options) {
    for (const char* program : {"dvcont", "plugreport"}) {
        ASSERT_EQ(0, testsupport::Shell(std::string("command -v ") + program + " >/dev/null"))
            << program << " is not installed (dvcont: libavc1394-tools, plugreport: libiec61883-dev; "
            << "scripts/install-deps.sh)";
    }
    sim1394test::RerunOnBus(options);
}

// What `dvcont WORDS` printed (its standard output, without the last newline).
std::string Dvcont(const std::string& words) {
    std::string out;
    testsupport::Shell("dvcont " + words + " 2>/dev/null", &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string Plugreport() {
    std::string out;
    EXPECT_EQ(0, testsupport::Shell("plugreport 2>/dev/null", &out));
    return out;
}

// plugreport's input plug line of node N and the channel line after it.
std::string InputPlug(const std::string& report, int node) {
    const size_t at = report.find("\nNode " + std::to_string(node) + " ");
    const size_t plug = report.find("iPCR[0]", at);
    if (at == std::string::npos || plug == std::string::npos) return "";
    const size_t end = report.find('\n', report.find('\n', plug) + 1);
    return report.substr(plug, end - plug);
}

TEST(RealAvcClientsOnSimulatedUnits, DvcontReadsAndCommandsTheUnitAsARealOne) {
    if (!OnBus()) return RunInner("--node camcorder:at=600,pause-latency=100,latency=0");
    EXPECT_EQ("Winding stopped", Dvcont("status"));
    EXPECT_EQ("--:--:--:--", Dvcont("timecode")) << "a blank tape has no time code";
    {
        sim1394test::DvStream stream;
        ASSERT_TRUE(stream.ok());
        stream.RunInBackground();
        Dvcont("record");
        EXPECT_EQ("Recording", Dvcont("status"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // The time code of the frames being recorded: the stream's, from 00:00:00:00.
        const std::string recording = Dvcont("timecode");
        EXPECT_TRUE(std::regex_match(recording, std::regex("00:00:0[0-9]:[0-2][0-9]"))) << recording;
        Dvcont("pause");  // recording: RECORD PAUSE
        EXPECT_EQ("Recording Paused", Dvcont("status"));
        Dvcont("pause");  // record-paused: RECORD
        EXPECT_EQ("Recording", Dvcont("status"));
        Dvcont("stop");
        EXPECT_EQ("Winding stopped", Dvcont("status"));
        const std::string stopped = Dvcont("timecode");
        EXPECT_TRUE(std::regex_match(stopped, std::regex("00:00:0[0-9]:[0-2][0-9]"))) << "the last recorded: " << stopped;
    }
    Dvcont("play");
    EXPECT_EQ("Playing", Dvcont("status"));
    Dvcont("pause");
    EXPECT_EQ("Playing Paused", Dvcont("status"));
    Dvcont("stop");
    Dvcont("rewind");
    EXPECT_EQ("Winding reverse", Dvcont("status"));
    Dvcont("stop");
    Dvcont("ff");
    EXPECT_EQ("Winding forward", Dvcont("status"));
    Dvcont("stop");
    EXPECT_EQ("Winding stopped", Dvcont("status"));
}

// A camcorder in camera mode offers no tape recorder: dvcont finds no unit to command.
TEST(RealAvcClientsOnSimulatedUnits, DvcontFindsNoTapeUnitOnACamcorderInCameraMode) {
    if (!OnBus()) return RunInner("--node camcorder:camera");
    std::string out;
    EXPECT_NE(0, testsupport::Shell("dvcont status 2>&1", &out));
    EXPECT_NE(std::string::npos, out.find("Could not find any AV/C devices")) << out;
}

TEST(RealAvcClientsOnSimulatedUnits, RepeatedCommandSequencesGiveTheRightAnswerEveryTime) {
    if (!OnBus()) return RunInner("--node camcorder:latency=300");
    std::string wrong;
    for (int round = 0; round < 20; ++round) {
        Dvcont("record");
        const std::string recording = Dvcont("status");
        Dvcont("stop");
        const std::string stopped = Dvcont("status");
        if (recording != "Recording" || stopped != "Winding stopped") {
            wrong += "round " + std::to_string(round) + ": '" + recording + "', '" + stopped + "'\n";
        }
    }
    EXPECT_EQ("", wrong);
}

TEST(RealAvcClientsOnSimulatedUnits, PlugreportShowsThePlugsIdleWhileStreamingAndAfterAReset) {
    if (!OnBus()) return RunInner("--node camcorder --node deck");
    std::string report = Plugreport();
    EXPECT_NE(std::string::npos, report.find("Node 0 GUID 0x0080880000a00001")) << report;
    EXPECT_NE(std::string::npos, report.find("oMPR n_plugs=1, data_rate=0, bcast_channel=63")) << report;
    EXPECT_EQ("iPCR[0] online=1, bcast_connection=0, n_p2p_connections=0\n\tchannel=63", InputPlug(report, 0));
    EXPECT_EQ("iPCR[0] online=1, bcast_connection=0, n_p2p_connections=0\n\tchannel=63", InputPlug(report, 1));

    // This host connects to the camcorder's input plug and streams on the channel it got.
    raw1394handle_t owner = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, owner);
    int oplug = -1, iplug = -1, bandwidth = 1;
    const int channel = iec61883_cmp_connect(owner, raw1394_get_local_id(owner), &oplug, 0xffc0, &iplug, &bandwidth);
    ASSERT_GE(channel, 0);
    ASSERT_NE(63, channel);
    const std::string connected = "iPCR[0] online=1, bcast_connection=0, n_p2p_connections=1\n\tchannel=" +
                                  std::to_string(channel);
    {
        sim1394test::DvStream stream(channel);
        ASSERT_TRUE(stream.ok());
        stream.RunInBackground();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        report = Plugreport();
        EXPECT_EQ(connected, InputPlug(report, 0)) << report;
        EXPECT_EQ("iPCR[0] online=1, bcast_connection=0, n_p2p_connections=0\n\tchannel=63", InputPlug(report, 1));

        // A bus reset clears the connection counts until their owners restore them.
        std::string said;
        ASSERT_EQ(0, sim1394test::Control("reset host", &said)) << said;
        report = Plugreport();
        EXPECT_EQ("iPCR[0] online=1, bcast_connection=0, n_p2p_connections=0\n\tchannel=" + std::to_string(channel),
                  InputPlug(report, 0))
            << report;
        for (int i = 0; i < 100 && raw1394_get_generation(owner) == 1; ++i) sim1394test::IterateOnce(owner);
        bandwidth = 1;
        ASSERT_EQ(channel, iec61883_cmp_reconnect(owner, raw1394_get_local_id(owner), &oplug, 0xffc0, &iplug,
                                                  &bandwidth, channel));
        report = Plugreport();
        EXPECT_EQ(connected, InputPlug(report, 0)) << report;
    }
    raw1394_destroy_handle(owner);
}

}  // namespace
