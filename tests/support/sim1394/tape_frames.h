// Tapes for the playback tests on the simulated bus: an NTSC DV file made by FFmpeg (a moving test
// picture, a tone, a time code counting from a start label) to put on a unit's cassette
// (load=FILE), and the comparison of a capture with the tape, frame for frame.
// Header-only test support; no threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/support/process.h"
#include "tests/support/sim1394/rerun_on_bus.h"
#include "tests/support/test_support.h"

namespace sim1394test {

inline constexpr size_t kDvFrameBytes = 120000;

// Makes `path` with `frames` NTSC DV frames whose time code starts at `timecode`; false when
// FFmpeg failed, its output in *why.
inline bool MakeDvTape(const std::string& path, int frames, const std::string& timecode, std::string* why) {
    // The muxer needs each frame's sound: a little more is made, and the file cut to the frames.
    const std::string seconds = std::to_string((frames + 3) * 1001.0 / 30000.0);
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=720x480:rate=30000/1001 "
        "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t " + seconds +
        " -target ntsc-dv -timecode " + testsupport::Quote(timecode) + " " + testsupport::Quote(path);
    if (testsupport::Shell(command, why) != 0 || testsupport::ReadFile(path).size() < size_t(frames) * kDvFrameBytes) {
        return false;
    }
    std::error_code error;
    std::filesystem::resize_file(path, uintmax_t(frames) * kDvFrameBytes, error);
    return !error;
}

// The current test run again on a bus whose camcorder holds a tape of `frames` frames from
// 01:00:00;00 (see MakeDvTape), made in a temporary folder named after `folder`; `nodeOptions`
// are added to the camcorder's. Inside, the environment variable `variable` names the tape.
inline void RerunOnBusWithTape(const std::string& folder, const char* variable, int frames,
                               const std::string& nodeOptions) {
    testsupport::TempDir dir(folder);
    ASSERT_FALSE(dir.path().empty());
    const std::string tape = dir.path() + "/tape.dv";
    std::string why;
    ASSERT_TRUE(MakeDvTape(tape, frames, "01:00:00;00", &why)) << why;
    setenv(variable, tape.c_str(), 1);
    RerunOnBus("--node camcorder:tape-length=60,load=" + tape + nodeOptions);
    unsetenv(variable);
}

// "" when `captured` holds exactly the frames of `tape`, in order; otherwise what differs: the
// frame counts and the first frame that is not the tape's, with the tape frame it equals if any
// (a frame missing or repeated shows as the neighbour's).
inline std::string CompareWithTape(const std::string& captured, const std::string& tape) {
    const std::string a = testsupport::ReadFile(captured), b = testsupport::ReadFile(tape);
    std::string why;
    if (a.size() % kDvFrameBytes != 0) why += "the capture is not whole frames (" + std::to_string(a.size()) + " bytes); ";
    const size_t got = a.size() / kDvFrameBytes, want = b.size() / kDvFrameBytes;
    if (got != want) why += std::to_string(got) + " frames captured, " + std::to_string(want) + " on tape; ";
    for (size_t i = 0; i < got && i < want; ++i) {
        if (a.compare(i * kDvFrameBytes, kDvFrameBytes, b, i * kDvFrameBytes, kDvFrameBytes) == 0) continue;
        why += "captured frame " + std::to_string(i) + " is not the tape's";
        for (size_t j = 0; j < want; ++j) {
            if (a.compare(i * kDvFrameBytes, kDvFrameBytes, b, j * kDvFrameBytes, kDvFrameBytes) == 0) {
                why += " but its frame " + std::to_string(j);
                break;
            }
        }
        break;
    }
    return why;
}

}  // namespace sim1394test
