// The tape checker: every frame of a recording judged as it comes, from a file or (later) from a
// unit playing back, and each defect noted in the QC report with its frame and timecode.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dv/dif/dif_layout.h"
#include "dv/dif/timecode.h"
#include "leader_check.h"
#include "picture_check.h"
#include "picture_patches.h"
#include "qc_report.h"
#include "tone_check.h"

// What each frame is checked for (in the system the checker is made for, 525/60 or 625/50; the
// frame's geometry is the DV room's, dv/dif/dif_layout.h and dv/dv_system.h):
// - a timecode, voted over the subcode's copies, counting on by one from the start label (the one
//   asked for, else the first frame's); a label one to fifteen frames ahead is that many frames
//   missing, the same label again a frame repeated, anything else a break;
// - the recording date and time (VAUX, else subcode) in every frame, running with the tape: never
//   back, never ahead of the time the tape has run by more than two seconds (a constant time, as
//   some writers put, is fine); anything else is a jump, a recording of another session;
// - the VAUX source pack and each half's AAUX source pack (but its sample count) as in the first
//   frame;
// - the DIF blocks a player marked: video blocks in error or concealed and audio blocks holding
//   an error code, counted by even and odd DIF sequence;
// - a frame with no timecode and no source pack is blank; one whose blocks are not those of a
//   DIF frame of the system is unreadable.
// What was sent is known only for a stripe of ours, so the picture and the tone are checked only
// when the caller says what was sent (the picture, the tone, a leader's plan) or the first frame
// shows one of the patterns the striping program sends (its signature: the colour-bar picture in
// 525/60, SMPTE, EBU 75 % or 100 % bars, black, as CPicturePatches knows them):
// - the picture at its levels in every frame (CPictureCheck); a picture file is not judged;
// - on both channels, the 1 kHz tone at the level sent (or, unnamed, the first frame's), its
//   frequency, and no click, the joins between frames included (CToneCheck); not in a frame with
//   audio errors, which are counted already;
// - a leader: each frame against what its plan says it is (CLeaderCheck), by its label.
//
// Threads: one caller at a time.
class CTapeCheck {
public:
    struct Expectation {
        std::optional<dv::Timecode> start;  // the first frame's label; unset: whatever it is
        bool tone = true;                   // false: silence was sent, the tone is not checked
        std::optional<double> toneDbfs;     // the tone's level as sent; unset: the first frame's
        // The picture sent; unset: the one the first frame shows, if any.
        std::optional<CPicturePatches::Picture> picture;
        bool pictureFile = false;  // a picture file was sent: the picture is not judged
        // A leader: its plan, its first label as a frame number of its counting.
        struct Leader {
            dv::LeaderPlan plan;
            int64_t startFrame = 0;
            bool dropFrame = true;
            bool burnIn = false;
            std::string layout;  // as the user wrote it, for the report
        };
        std::optional<Leader> leader;
    };

    CTapeCheck(const Expectation& expectation, CQcReport& report, const dv::DvSystem& system = dv::k525_60);

    // Checks the next whole frame (the system's frameBytes). False when checking cannot go on
    // (the report says why): the first frame's header says the other system.
    bool Add(const uint8_t* frame);
    // The recording ends `bytes` into a frame (a file cut short).
    void AddPartial(size_t bytes);
    // Says in the report what was checked and what was not.
    void Finish();

    int64_t Frames() const { return index_; }

private:
    struct Recorded {  // the recording date and time of a frame
        int64_t seconds = 0;  // since 1970, read as UTC: only differences count
        std::string text;
    };

    void Recognise(const uint8_t* frame);
    void CheckTimecode(const std::optional<dv::Timecode>& label);
    void CheckDate(const uint8_t* frame);
    void CheckSources(const uint8_t* frame);
    void CheckDamage(const uint8_t* frame);
    void CheckTone(const uint8_t* frame, bool joined);
    void CheckPicture(const uint8_t* frame);
    void CheckLeader(const uint8_t* frame, bool joined, int64_t label);
    void RecognisePicture(const uint8_t* frame);
    void Note(CQcReport::Kind kind, int64_t count = 1, const std::string& detail = "", int64_t even = 0,
              int64_t odd = 0);

    const Expectation expectation_;
    const dv::DvSystem& system_;
    CQcReport& report_;
    CPictureCheck picture_;
    CPicturePatches patches_;              // the picture's, when it is judged
    std::optional<CLeaderCheck> leader_;
    CToneCheck tone_[2];  // left, right

    int64_t index_ = 0;                     // the frame being checked, from 0
    std::string label_;                     // its label, or the one it should have had
    std::optional<dv::Timecode> expected_;  // the next frame's label
    std::optional<dv::Timecode> previous_;  // the last label read
    bool recognised_ = false;               // the first recorded frame was looked at
    bool pictureApplies_ = false;
    CPicturePatches::Picture pictureKind_ = CPicturePatches::kSmpte;
    std::string pictureWhy_;  // why the picture is not judged
    bool previousTone_ = false;  // a leader: the frame before carried the tone
    bool toneApplies_ = false;
    double toneDbfs_ = 0;
    std::string toneWhy_;  // why the tone is not checked
    bool toneJoined_ = false;  // the frame before was measured
    std::optional<Recorded> firstDate_;
    int64_t firstDateIndex_ = 0;
    int64_t lastDateOffset_ = 0;
    std::optional<std::array<uint8_t, 5>> videoSource_;
    std::optional<std::array<uint8_t, 5>> audioSource_[2];
    std::vector<int16_t> samples_, channel_;
};
