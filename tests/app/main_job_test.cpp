// The main job end to end: scripts/run.sh on the built binaries, headless, for ten seconds. The
// tape must be NTSC DV that an outside reader accepts, and its first frame must show the bars.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "process_helper.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Tamsel keeps its graph to the end of the process by design; in sanitizer builds the child
// processes therefore run without the leak report.
void KeepHeldGraphOutOfLeakReports() {
    const char* options = std::getenv("ASAN_OPTIONS");
    std::string value = options != nullptr ? options : "";
    if (value.find("detect_leaks=0") == std::string::npos) {
        value += value.empty() ? "detect_leaks=0" : ":detect_leaks=0";
        setenv("ASAN_OPTIONS", value.c_str(), 1);
    }
}

bool OnPath(const char* program) {
    return apptest::Run({"/bin/sh", "-c", std::string("command -v ") + program + " >/dev/null"}) == 0;
}

TEST(MainJobTest, HeadlessRunRecordsColourBarsOnTheTape) {
    for (const char* piece : {"Tamsel", "tamsel.ax", "dvfilters.so", "regsvr", "dvdeck", "graphinfo"}) {
        if (!apptest::Exists(apptest::Tool(piece))) {
            GTEST_SKIP() << apptest::Tool(piece) << " is not built yet";
        }
    }
    if (!OnPath("ffprobe") || !OnPath("ffmpeg")) GTEST_SKIP() << "ffmpeg/ffprobe not installed";

    const std::string dir = testsupport::StateDir();
    const std::string tape = dir + "/tape.dv";
    const std::string log = dir + "/run.log";
    setenv("TAMSEL_BUILD_DIR", testsupport::BuildDir().c_str(), 1);
    setenv("TAMSEL_RUN_SECONDS", "10", 1);
    setenv("TAMSEL_TAPE", tape.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KeepHeldGraphOutOfLeakReports();
    const int status = apptest::Run({"/bin/bash", std::string(APP_TEST_SOURCE_DIR) + "/scripts/run.sh"}, log);
    const std::string output = ReadFile(log);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("recorded"), std::string::npos) << output;
    EXPECT_NE(output.find(tape), std::string::npos) << output;

    // An outside reader sees NTSC DV.
    const std::string probe = dir + "/probe.txt";
    ASSERT_EQ(apptest::Run({"/bin/sh", "-c",
                            "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                            "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of "
                            "default=noprint_wrappers=1 '" + tape + "'"},
                           probe),
              0)
        << ReadFile(probe);
    std::map<std::string, std::string> fields;
    std::istringstream lines(ReadFile(probe));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_EQ(fields["codec_name"], "dvvideo");
    EXPECT_EQ(fields["width"], "720");
    EXPECT_EQ(fields["height"], "480");
    EXPECT_EQ(fields["r_frame_rate"], "30000/1001");
    EXPECT_GE(std::atoi(fields["nb_read_frames"].c_str()), 30);

    // The picture beside the tape shows the seven bars across its top two thirds.
    QImage picture(QString::fromStdString(dir + "/tape.png"));
    ASSERT_FALSE(picture.isNull()) << output;
    ASSERT_EQ(picture.size(), QSize(720, 480));
    const QColor bars[7] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                            {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
    for (int i = 0; i < 7; ++i) {
        const QColor seen = picture.pixelColor((2 * i + 1) * 720 / 14, 150);
        SCOPED_TRACE(testing::Message() << "bar " << i << " seen " << seen.red() << ","
                                        << seen.green() << "," << seen.blue());
        EXPECT_LE(std::abs(seen.red() - bars[i].red()), 40);
        EXPECT_LE(std::abs(seen.green() - bars[i].green()), 40);
        EXPECT_LE(std::abs(seen.blue() - bars[i].blue()), 40);
    }
}

// Without the filter library registered Tamsel shows its failure and waits for OK; SIGTERM ends
// the wait and the program, which reports the failed build in its exit status.
TEST(MainJobTest, SignalEndsTamselWaitingOnAFailureMessage) {
    if (!apptest::Exists(apptest::Tool("Tamsel"))) GTEST_SKIP() << "Tamsel is not built yet";
    const std::string log = testsupport::StateDir() + "/tamsel.log";
    if (apptest::Exists(apptest::Tool("regsvr")) && apptest::Exists(apptest::Tool("tamsel.ax"))) {
        apptest::Run({apptest::Tool("regsvr"), "-u", apptest::Tool("tamsel.ax")}, log);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KeepHeldGraphOutOfLeakReports();
    const pid_t tamsel = apptest::Start({apptest::Tool("Tamsel")}, log);
    ASSERT_GT(tamsel, 0);
    const std::string message = "必要なコンポーネントのロードに失敗しました。(Velora Color Bar)";
    bool shown = false;
    for (int i = 0; i < 1200 && !shown; ++i) {
        shown = ReadFile(log).find(message) != std::string::npos;
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int status = apptest::Stop(tamsel);
    ASSERT_TRUE(shown) << ReadFile(log);
    EXPECT_EQ(status, 1) << ReadFile(log);
}

}  // namespace
