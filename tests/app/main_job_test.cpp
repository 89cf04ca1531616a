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
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/dv/deck_test_process.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::BuildFile;
using testsupport::Exists;
using testsupport::OutputTo;

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
    return testsupport::RunProcess({"/bin/sh", "-c", std::string("command -v ") + program + " >/dev/null"}) == 0;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// The processes `parent` started whose program is `name`.
std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name) {
    std::vector<pid_t> found;
    for (const pid_t child : decktest::ChildrenOf(parent)) {
        if (ProcessName(child) == name) found.push_back(child);
    }
    return found;
}

// The built pieces run.sh needs, and ffmpeg; empty when all are there, else what is missing.
std::string MissingForRunSh() {
    for (const char* piece : {"Tamsel", "tamsel.ax", "colorbar.dat", "dvfilters.so", "regsvr", "dvdeck", "graphinfo"}) {
        if (!Exists(BuildFile(piece))) return BuildFile(piece) + " is not built (the build makes it before the tests)";
    }
    if (!OnPath("ffmpeg")) return "ffmpeg is not installed (scripts/install-deps.sh)";
    return "";
}

// Starts run.sh headless on `build` for the shortest run, recording to `tape`; its output in `log`.
pid_t StartRunSh(const std::string& build, const std::string& tape, const std::string& log) {
    setenv("TAMSEL_BUILD_DIR", build.c_str(), 1);
    setenv("TAMSEL_RUN_SECONDS", "3", 1);
    setenv("TAMSEL_TAPE", tape.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KeepHeldGraphOutOfLeakReports();
    return testsupport::StartProcess({"/bin/bash", std::string(APP_TEST_SOURCE_DIR) + "/scripts/run.sh"},
                                     OutputTo(log))
        .pid;
}

int RunSh(const std::string& build, const std::string& tape, const std::string& log) {
    const pid_t pid = StartRunSh(build, tape, log);
    return pid < 0 ? -1 : testsupport::WaitProcess(pid);
}

bool IsDvTape(const std::string& path) {
    const std::string bytes = ReadFile(path);
    return !bytes.empty() && bytes.size() % 120000 == 0;
}

TEST(MainJobTest, HeadlessRunRecordsColourBarsOnTheTape) {
    for (const char* piece : {"Tamsel", "tamsel.ax", "dvfilters.so", "regsvr", "dvdeck", "graphinfo"}) {
        if (!Exists(BuildFile(piece))) {
            FAIL() << BuildFile(piece) << " is not built (the build makes it before the tests)";
        }
    }
    if (!OnPath("ffprobe") || !OnPath("ffmpeg")) FAIL() << "ffmpeg/ffprobe not installed (scripts/install-deps.sh)";

    const std::string dir = testsupport::StateDir();
    const std::string tape = dir + "/tape.dv";
    const std::string log = dir + "/run.log";
    setenv("TAMSEL_BUILD_DIR", testsupport::BuildDir().c_str(), 1);
    setenv("TAMSEL_RUN_SECONDS", "10", 1);
    setenv("TAMSEL_TAPE", tape.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KeepHeldGraphOutOfLeakReports();
    const int status =
        testsupport::RunProcess({"/bin/bash", std::string(APP_TEST_SOURCE_DIR) + "/scripts/run.sh"}, OutputTo(log));
    const std::string output = ReadFile(log);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("recorded"), std::string::npos) << output;
    EXPECT_NE(output.find("of colour bars on " + tape), std::string::npos) << output;
    EXPECT_EQ(output.find("warning"), std::string::npos) << output;

    // An outside reader sees NTSC DV.
    const std::string probe = dir + "/probe.txt";
    ASSERT_EQ(testsupport::RunProcess({"/bin/sh", "-c",
                            "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                            "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of "
                            "default=noprint_wrappers=1 '" + tape + "'"}, OutputTo(probe)),
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
    if (!Exists(BuildFile("Tamsel"))) FAIL() << "Tamsel is not built (the build makes it before the tests)";
    const std::string log = testsupport::StateDir() + "/tamsel.log";
    if (Exists(BuildFile("regsvr")) && Exists(BuildFile("tamsel.ax"))) {
        testsupport::RunProcess({BuildFile("regsvr"), "-u", BuildFile("tamsel.ax")}, OutputTo(log));
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KeepHeldGraphOutOfLeakReports();
    const pid_t tamsel = testsupport::StartProcess({BuildFile("Tamsel")}, OutputTo(log)).pid;
    ASSERT_GT(tamsel, 0);
    const std::string message = "必要なコンポーネントのロードに失敗しました。(Velora Color Bar)";
    bool shown = false;
    for (int i = 0; i < 1200 && !shown; ++i) {
        shown = ReadFile(log).find(message) != std::string::npos;
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int status = testsupport::StopProcess(tamsel);
    ASSERT_TRUE(shown) << ReadFile(log);
    EXPECT_EQ(status, 1) << ReadFile(log);
}

// The picture goes beside the tape, named after the tape's own file name, and never replaces a
// file: not one beside the tape's folder that shares the start of its name, not one already at
// the picture's name, and not the tape itself when the tape is called *.png.
TEST(MainJobTest, RunShPutsThePictureBesideTheTapeAndReplacesNothing) {
    const std::string missing = MissingForRunSh();
    if (!missing.empty()) FAIL() << missing;
    const std::string dir = testsupport::StateDir() + "/pictures";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    ASSERT_EQ(0, mkdir((dir + "/my.recordings").c_str(), 0700));
    WriteFile(dir + "/my.png", "someone else's picture");
    WriteFile(dir + "/my.recordings/tape.png", "an earlier picture, kept");
    const std::string log = dir + "/run.log";
    ASSERT_EQ(0, RunSh(testsupport::BuildDir(), dir + "/my.recordings/tape", log)) << ReadFile(log);
    std::string output = ReadFile(log);
    EXPECT_EQ(ReadFile(dir + "/my.png"), "someone else's picture");
    EXPECT_EQ(ReadFile(dir + "/my.recordings/tape.png"), "an earlier picture, kept");
    EXPECT_TRUE(IsDvTape(dir + "/my.recordings/tape")) << output;
    QImage picture(QString::fromStdString(dir + "/my.recordings/tape-2.png"));
    EXPECT_EQ(picture.size(), QSize(720, 480)) << output;
    EXPECT_NE(output.find("one recorded frame as a picture: " + dir + "/my.recordings/tape-2.png (tape.png already existed"),
              std::string::npos) << output;

    // A tape called bars.png is a good recording; its picture takes the next name.
    ASSERT_EQ(0, RunSh(testsupport::BuildDir(), dir + "/bars.png", log)) << ReadFile(log);
    output = ReadFile(log);
    EXPECT_TRUE(IsDvTape(dir + "/bars.png")) << output;
    EXPECT_EQ(QImage(QString::fromStdString(dir + "/bars.png.png")).size(), QSize(720, 480)) << output;
    EXPECT_NE(output.find("one recorded frame as a picture: " + dir + "/bars.png.png"), std::string::npos) << output;
    EXPECT_EQ(output.find("error"), std::string::npos) << output;
}

// The deck's tape writer hangs (stopped here): the deck ends saying it stopped before every frame
// was written. run.sh must fail with the deck's words and never count the tape as recorded.
TEST(MainJobTest, RunShFailsWithTheDecksWordsWhenTheDeckFails) {
    const std::string missing = MissingForRunSh();
    if (!missing.empty()) FAIL() << missing;
    const std::string dir = testsupport::StateDir();
    const std::string log = dir + "/stuck.log";
    const pid_t run = StartRunSh(testsupport::BuildDir(), dir + "/stuck.dv", log);
    ASSERT_GT(run, 0);
    std::vector<pid_t> writers;
    for (int i = 0; i < 1200 && writers.empty(); ++i) {
        for (const pid_t deck : ChildrenNamed(run, "dvdeck")) writers = decktest::ChildrenOf(deck);
        if (writers.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const pid_t writer : writers) kill(writer, SIGSTOP);
    const int status = testsupport::WaitProcess(run);
    for (const pid_t writer : writers) kill(writer, SIGCONT);
    const std::string output = ReadFile(log);
    ASSERT_EQ(writers.size(), 1u) << "the deck's tape writer was not found: " << output;
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("run.sh: error: the virtual deck failed (status 1): "), std::string::npos) << output;
    EXPECT_NE(output.find("it finishes them on its own"), std::string::npos) << output;
    EXPECT_EQ(output.find("DV frames (NTSC"), std::string::npos) << output;
}

// Without a whole colorbar.dat beside the library the filter sends its uniform picture, as
// designed; run.sh says so before the run and its summary does not claim colour bars.
TEST(MainJobTest, RunShSaysWhenTheUniformPictureGoesOutInsteadOfTheBars) {
    const std::string missing = MissingForRunSh();
    if (!missing.empty()) FAIL() << missing;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;  // makes <build>/colorbar.dat, or not
        const char* says;
    };
    const Case cases[] = {
        {"missing", [](const std::string&) {}, "it is missing"},
        {"short", [](const std::string& path) { WriteFile(path, std::string(100000, '\x7f')); },
         "it holds 100000 bytes, not the 1036854 of a whole picture"},
        {"a folder", [](const std::string& path) { mkdir(path.c_str(), 0700); }, "it is not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A build of its own: the programs of this one, a copy of the library beside the picture.
        const std::string build = testsupport::StateDir() + "/build-" + std::string(c.name).substr(0, 2);
        ASSERT_EQ(0, mkdir(build.c_str(), 0700));
        for (const char* program : {"Tamsel", "regsvr", "dvdeck", "graphinfo", "dvfilters.so"}) {
            ASSERT_EQ(0, symlink(BuildFile(program).c_str(), (build + "/" + program).c_str()));
        }
        WriteFile(build + "/tamsel.ax", ReadFile(BuildFile("tamsel.ax")));
        c.make(build + "/colorbar.dat");
        const std::string log = build + "/run.log", tape = build + "/tape.dv";
        const int status = RunSh(build, tape, log);
        const std::string output = ReadFile(log);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("run.sh: warning: " + build + "/colorbar.dat: " + c.says +
                              "; the filter sends its uniform fallback picture, not colour bars"),
                  std::string::npos) << output;
        EXPECT_NE(output.find("of the uniform fallback picture (no colour bars"), std::string::npos) << output;
        EXPECT_EQ(output.find("of colour bars"), std::string::npos) << output;
        // What went out is indeed one flat picture.
        QImage picture(QString::fromStdString(build + "/tape.png"));
        ASSERT_EQ(picture.size(), QSize(720, 480)) << output;
        EXPECT_EQ(picture.pixelColor(50, 150), picture.pixelColor(670, 150)) << output;
    }
}

}  // namespace
