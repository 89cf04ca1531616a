#include "tape_check.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "dv/dif/audio_shuffle.h"
#include "dv/dif/block_status.h"
#include "dv/dif/packs.h"

namespace dif = dv::dif;

namespace {

constexpr int kMostMissing = 15;  // a jump ahead by up to half a second is frames lost, not a break
constexpr int64_t kDateSlack = 2;  // seconds the recording time may run ahead of the tape

std::array<uint8_t, 5> Bytes(const dif::PackVote& vote) { return vote.pack; }

std::string Hex(const std::array<uint8_t, 5>& pack) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x %02x %02x %02x %02x", pack[0], pack[1], pack[2], pack[3], pack[4]);
    return text;
}

// The voted pack of `type`, read with `read`, from the first area that has one.
template <typename Pack, typename Read>
std::optional<Pack> Voted(const uint8_t* frame, dif::PackType type, Read read) {
    for (dif::PackArea area : {dif::PackArea::Vaux, dif::PackArea::Subcode}) {
        const dif::PackVote vote = dif::VotePack(frame, type, area);
        if (vote.Found()) return read(vote.pack.data());
    }
    return std::nullopt;
}


// The tone's pair of a frame as 16-bit samples, interleaved, into *both: the two channels of
// 48 kHz 16-bit audio, or channels 1 and 2 of 32 kHz 12-bit four-channel audio, expanded by the
// non-linear table (whose error code expands to the error sample), as the first half's voted
// source pack says; *silentPair says whether channels 3 and 4 are silence there and *sampleRate
// is the audio's rate. The sample frames read, or -1 for audio of another kind or none. (The pack
// is read here rather than handed in as an optional: GCC at -Os cannot see such an optional's
// value set where it is read and warns.)
int ReadTonePair(const uint8_t* frame, const dv::DvSystem& system, std::vector<int16_t>* both, bool* silentPair,
                 int* sampleRate) {
    *silentPair = true;
    const auto source =
        dif::VotePack(frame, dif::PackType::AudioSource, dif::PackArea::Aaux, 0, system.sequences / 2, system);
    if (!source.Found()) return -1;
    const std::optional<dif::AudioSourcePack> read = dif::ReadAudioSourcePack(source.pack.data());
    if (!read) return -1;
    const dif::AudioSourcePack& audio = *read;
    *sampleRate = audio.sampleRate;
    if (audio.quantization == 0 && audio.sampleRate == 48000) {
        const int count = std::min(audio.samples, dv::MaxAudioSamples(system));
        both->resize(size_t(2 * count));
        dv::UnshuffleAudio(frame, both->data(), count, system);
        return count;
    }
    if (audio.quantization == 1 && audio.sampleRate == 32000) {
        const int count = std::min(audio.samples, dv::MaxAudioSamples12(system));
        std::vector<uint16_t> codes(size_t(4 * count));
        dv::UnshuffleAudio12(frame, codes.data(), count, system);
        both->resize(size_t(2 * count));
        for (int n = 0; n < count; ++n) {
            (*both)[size_t(2 * n)] = dv::Expand12(codes[size_t(4 * n)]);
            (*both)[size_t(2 * n + 1)] = dv::Expand12(codes[size_t(4 * n + 1)]);
            if (codes[size_t(4 * n + 2)] != 0 || codes[size_t(4 * n + 3)] != 0) *silentPair = false;
        }
        return count;
    }
    return -1;
}

// The label after `label` in its counting.
dv::Timecode Next(const dv::Timecode& label) {
    return dv::Timecode::OfFrame(int64_t(label.Frame().value_or(0)) + 1, label.dropFrame, label.rate);
}

}  // namespace

CTapeCheck::CTapeCheck(const Expectation& expectation, CQcReport& report, const dv::DvSystem& system)
    : expectation_(expectation), system_(system), report_(report) {
    report_.system = system.name;
    if (expectation_.leader) {
        const Expectation::Leader& l = *expectation_.leader;
        leader_.emplace(l.plan, l.startFrame, l.dropFrame, system, l.burnIn);
    }
    if (expectation_.start) expected_ = expectation_.start->FirstShown();
    if (expectation_.start) label_ = expected_->Text();
}

void CTapeCheck::Note(CQcReport::Kind kind, int64_t count, const std::string& detail, int64_t even, int64_t odd) {
    report_.Note(kind, index_, label_, count, detail, even, odd);
}

bool CTapeCheck::Add(const uint8_t* frame) {
    label_ = expected_ ? expected_->Text() : std::string();
    if (!dif::IsDifFrame(frame, system_)) {
        // A first header block that says the other system: frames of another size.
        if (index_ == 0 && frame[0] >> 5 == 0 && &dif::SystemOfHeader(frame) != &system_) {
            report_.failure = std::string("a ") + dif::SystemOfHeader(frame).name + " recording read as " + system_.name;
            return false;
        }
        Note(CQcReport::kUnreadable, 1, std::string("its blocks are not those of a ") + system_.name + " DIF frame");
        if (expected_) expected_ = Next(*expected_);
        tone_[0].Break();
        tone_[1].Break();
        report_.frames = ++index_;
        return true;
    }
    const dif::PackVote timecode = dif::VotePack(frame, dif::PackType::Timecode, dif::PackArea::Subcode);
    const auto pack = timecode.Found() ? dif::ReadTimecodePack(timecode.pack.data(), system_.timecodeRate) : std::nullopt;
    const bool blank = !timecode.Found() &&
                       !dif::VotePack(frame, dif::PackType::VideoSource, dif::PackArea::Vaux).Found() &&
                       !dif::VotePack(frame, dif::PackType::AudioSource, dif::PackArea::Aaux).Found();
    if (blank) {
        Note(CQcReport::kBlank, 1, "nothing recorded: no timecode, no source packs");
        if (expected_) expected_ = Next(*expected_);
        tone_[0].Break();
        tone_[1].Break();
        report_.frames = ++index_;
        return true;
    }
    if (!recognised_) {
        Recognise(frame);
    }
    const std::optional<dv::Timecode> before = expected_;
    CheckTimecode(pack ? std::optional<dv::Timecode>(pack->label) : std::nullopt);
    // The tone runs on across the join only when the timecode did.
    const bool joined = before && pack && pack->label == *before;
    CheckDate(frame);
    CheckSources(frame);
    CheckDamage(frame);
    if (leader_) {
        const std::optional<dv::Timecode> at = pack ? std::optional<dv::Timecode>(pack->label) : before;
        const std::optional<uint32_t> number = at ? at->Frame() : std::nullopt;
        if (number) CheckLeader(frame, joined, int64_t(*number));
    } else {
        if (toneApplies_) CheckTone(frame, joined);
        if (pictureApplies_) CheckPicture(frame);
    }
    if (!label_.empty()) {
        if (report_.firstLabel.empty()) report_.firstLabel = label_;
        report_.lastLabel = label_;
    }
    report_.frames = ++index_;
    return true;
}

void CTapeCheck::AddPartial(size_t bytes) {
    label_ = expected_ ? expected_->Text() : std::string();
    Note(CQcReport::kTruncated, int64_t(bytes),
         "the recording ends " + std::to_string(bytes) + " bytes into a frame of " + std::to_string(system_.frameBytes));
}

void CTapeCheck::RecognisePicture(const uint8_t* frame) {
    if (leader_) return;  // judged frame by frame, by the plan
    if (expectation_.pictureFile) {
        pictureWhy_ = "picture: a picture file (--pattern FILE) is not judged";
        return;
    }
    if (expectation_.picture) {
        pictureKind_ = *expectation_.picture;
        patches_ = CPicturePatches::Of(pictureKind_, system_);
        pictureApplies_ = !patches_.Patches().empty();
        if (!pictureApplies_) pictureWhy_ = std::string("picture: ") + CPicturePatches::Name(pictureKind_) + " is 525/60's";
        return;
    }
    if (!picture_.Decode(frame, system_)) return;
    // The closest of the pictures this system's stripes send, the first listed of two that fit
    // alike (SMPTE bars before the colour-bar picture, whose top two thirds they share).
    static constexpr CPicturePatches::Picture kOrder[] = {CPicturePatches::kSmpte, CPicturePatches::kEbu75,
                                                          CPicturePatches::kEbu100, CPicturePatches::kBlack,
                                                          CPicturePatches::kColourBars};
    constexpr double kAlike = 1.5;
    double best = CPictureCheck::kRecognition;
    for (CPicturePatches::Picture picture : kOrder) {
        CPicturePatches patches = CPicturePatches::Of(picture, system_);
        if (patches.Patches().empty()) continue;
        const double worst = picture_.Worst(patches);
        if (worst < best - kAlike || (!pictureApplies_ && worst < best)) {
            best = worst;
            pictureKind_ = picture;
            patches_ = std::move(patches);
            pictureApplies_ = true;
        }
    }
}

void CTapeCheck::Recognise(const uint8_t* frame) {
    recognised_ = true;
    RecognisePicture(frame);
    // A leader's tone sounds over its bars; the first frame tells its level when it is one.
    const bool toneFirst = leader_ ? [&] {
        const auto pack = dif::FindTimecodePack(frame, size_t(system_.frameBytes));
        const auto number = pack ? pack->label.Frame() : std::nullopt;
        return number && leader_->At(int64_t(*number)).tone;
    }() : pictureApplies_;

    // The first frame's left channel: a 1 kHz tone, and its level.
    CToneCheck probe;
    CToneCheck::Measure first;
    std::vector<int16_t> both;
    bool silentPair = true;
    int sampleRate = 0;
    const int count = ReadTonePair(frame, system_, &both, &silentPair, &sampleRate);
    if (count > 0) {
        std::vector<int16_t> left(static_cast<size_t>(count));
        for (int n = 0; n < count; ++n) left[size_t(n)] = both[size_t(2 * n)];
        probe.SetSampleRate(sampleRate);
        first = probe.Add(left.data(), count, false);
    }
    if (!expectation_.tone) {
        toneWhy_ = "tone: silence was sent";
    } else if (expectation_.toneDbfs) {
        toneApplies_ = true;
        toneDbfs_ = *expectation_.toneDbfs;
    } else if (!toneFirst) {
        toneWhy_ = leader_ ? "tone: the leader's first frame is no frame of bars and tone, and no --tone LEVEL given"
                           : "tone: not a stripe of tamsel-stripe's (no pattern of its in the first frame) and no "
                             "--tone LEVEL given";
    } else if (count < 0) {
        toneWhy_ = "tone: the first frame holds neither 48 kHz 16-bit nor 32 kHz 12-bit audio";
    } else if (first.levelDbfs < -60 || !CToneCheck::FrequencyProblem(first).empty()) {
        toneWhy_ = "tone: the first frame holds no 1 kHz tone";
    } else {
        toneApplies_ = true;
        toneDbfs_ = std::round(first.levelDbfs * 10) / 10;
    }
}

void CTapeCheck::CheckTimecode(const std::optional<dv::Timecode>& label) {
    if (!label) {
        Note(CQcReport::kTimecodeMissing, 1, "no readable timecode pack in the subcode");
        if (expected_) expected_ = Next(*expected_);
        return;
    }
    label_ = label->Text();
    const std::optional<uint32_t> number = label->Frame();
    if (!number) {
        Note(CQcReport::kTimecodeBreak, 1, label->Text() + " is a label drop-frame counting skips");
        previous_.reset();
        expected_.reset();
        return;
    }
    if (expected_ && *label != *expected_) {
        const uint32_t day = dv::Timecode::FramesPerDay(label->dropFrame, label->rate);
        const std::optional<uint32_t> wanted = expected_->Frame();
        const int64_t ahead = wanted && label->dropFrame == expected_->dropFrame
                                  ? (int64_t(*number) - int64_t(*wanted) + day) % day
                                  : -1;
        if (previous_ && *label == *previous_) {
            Note(CQcReport::kFrameRepeated, 1, label->Text() + " again");
        } else if (index_ == 0 && expectation_.start) {
            Note(CQcReport::kTimecodeBreak, 1, "starts at " + label->Text() + ", not " + expected_->Text());
        } else if (ahead >= 1 && ahead <= kMostMissing) {
            Note(CQcReport::kFrameMissing, ahead,
                 std::to_string(ahead) + " frame" + (ahead == 1 ? "" : "s") + " missing before " + label->Text());
        } else {
            Note(CQcReport::kTimecodeBreak, 1,
                 label->Text() + " follows " + (previous_ ? previous_->Text() : std::string("a frame without timecode")));
        }
    }
    previous_ = label;
    expected_ = Next(*label);
}

void CTapeCheck::CheckDate(const uint8_t* frame) {
    const auto date = Voted<dif::RecordingDatePack>(frame, dif::PackType::VideoRecordingDate, dif::ReadRecordingDatePack);
    const auto time = Voted<dif::RecordingTimePack>(frame, dif::PackType::VideoRecordingTime, dif::ReadRecordingTimePack);
    if (!date || !time || !date->known || !time->known) {
        Note(CQcReport::kDateMissing, 1, !date || !date->known ? "no recording date" : "no recording time");
        return;
    }
    using namespace std::chrono;
    const sys_days day = year_month_day{year{date->year}, month{unsigned(date->month)}, std::chrono::day{unsigned(date->day)}};
    Recorded now;
    now.seconds = int64_t(day.time_since_epoch().count()) * 86400 + time->hours * 3600 + time->minutes * 60 + time->seconds;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date->year, date->month, date->day,
                  time->hours, time->minutes, time->seconds);
    now.text = text;
    if (!firstDate_) {
        firstDate_ = now;
        firstDateIndex_ = index_;
        lastDateOffset_ = 0;
        return;
    }
    const int64_t offset = now.seconds - firstDate_->seconds;
    const int64_t elapsed = (index_ - firstDateIndex_) * system_.rateDen / system_.rateNum;
    if (offset < lastDateOffset_ || offset > elapsed + kDateSlack) {
        Note(CQcReport::kDateJump, 1, "recorded " + now.text + " after " + firstDate_->text + " + " +
                                          std::to_string(lastDateOffset_) + " s");
        // What follows is judged from this recording on.
        firstDate_ = now;
        firstDateIndex_ = index_;
        lastDateOffset_ = 0;
        return;
    }
    lastDateOffset_ = offset;
}

void CTapeCheck::CheckSources(const uint8_t* frame) {
    const dif::PackVote video = dif::VotePack(frame, dif::PackType::VideoSource, dif::PackArea::Vaux);
    if (!video.Found()) {
        Note(CQcReport::kVideoSourceChanged, 1, "no VAUX source pack");
    } else if (!videoSource_) {
        videoSource_ = Bytes(video);
    } else if (*videoSource_ != Bytes(video)) {
        Note(CQcReport::kVideoSourceChanged, 1, Hex(Bytes(video)) + ", first " + Hex(*videoSource_));
    }
    for (int half = 0; half < 2; ++half) {
        const int sequences = system_.sequences / 2;
        const dif::PackVote audio =
            dif::VotePack(frame, dif::PackType::AudioSource, dif::PackArea::Aaux, half * sequences, sequences, system_);
        std::array<uint8_t, 5> bytes = Bytes(audio);
        bytes[1] &= 0xC0;  // AF_SIZE: the samples of this frame, which vary by design
        if (!audio.Found()) {
            Note(CQcReport::kAudioSourceChanged, 1, std::string("no AAUX source pack in the ") + (half ? "right" : "left") + " half");
        } else if (!audioSource_[half]) {
            audioSource_[half] = bytes;
        } else if (*audioSource_[half] != bytes) {
            Note(CQcReport::kAudioSourceChanged, 1, Hex(bytes) + ", first " + Hex(*audioSource_[half]));
        }
    }
}

void CTapeCheck::CheckDamage(const uint8_t* frame) {
    const dif::FrameDamage damage = dif::CountDamage(frame, system_);
    if (!damage.Any()) return;
    if (damage.VideoErrors() > 0)
        Note(CQcReport::kVideoErrors, damage.VideoErrors(), "", damage.videoErrors[0], damage.videoErrors[1]);
    if (damage.VideoConcealed() > 0)
        Note(CQcReport::kVideoConcealed, damage.VideoConcealed(), "", damage.videoConcealed[0], damage.videoConcealed[1]);
    if (damage.AudioErrors() > 0)
        Note(CQcReport::kAudioErrors, damage.AudioErrors(), "", damage.audioErrors[0], damage.audioErrors[1]);
}

void CTapeCheck::CheckTone(const uint8_t* frame, bool joined) {
    bool silentPair = true;
    int sampleRate = 0;
    const int count = ReadTonePair(frame, system_, &samples_, &silentPair, &sampleRate);
    if (count < 0) {
        tone_[0].Break();
        tone_[1].Break();
        toneJoined_ = false;
        return;  // the source pack's change is noted already
    }
    channel_.resize(size_t(count));
    for (CToneCheck& check : tone_) check.SetSampleRate(sampleRate);
    // In the four-channel mode the tone is on channels 1 and 2; 3 and 4 carry silence.
    if (!silentPair) Note(CQcReport::kToneLevel, 1, "channels 3 and 4: not silent");
    for (int16_t sample : samples_) {
        if (sample == dv::kAudioErrorSample) {  // counted among the audio errors
            tone_[0].Break();
            tone_[1].Break();
            toneJoined_ = false;
            return;
        }
    }
    static const char* const kChannel[2] = {"left", "right"};
    std::string level, frequency, click;
    for (int c = 0; c < 2; ++c) {
        for (int n = 0; n < count; ++n) channel_[size_t(n)] = samples_[size_t(2 * n + c)];
        const CToneCheck::Measure measure = tone_[c].Add(channel_.data(), count, joined && toneJoined_);
        if (level.empty()) {
            const std::string problem = CToneCheck::LevelProblem(measure, toneDbfs_);
            if (!problem.empty()) level = std::string(kChannel[c]) + ": " + problem;
        }
        if (frequency.empty() && measure.levelDbfs > -199) {
            const std::string problem = CToneCheck::FrequencyProblem(measure);
            if (!problem.empty()) frequency = std::string(kChannel[c]) + ": " + problem;
        }
        if (click.empty() && measure.clickAt >= 0)
            click = std::string(kChannel[c]) + ": at sample " + std::to_string(measure.clickAt) +
                    (measure.clickAt < 2 ? ", the join with the frame before" : "");
    }
    toneJoined_ = true;
    if (!level.empty()) Note(CQcReport::kToneLevel, 1, level);
    if (!frequency.empty()) Note(CQcReport::kToneFrequency, 1, frequency);
    if (!click.empty()) Note(CQcReport::kToneClick, 1, click);
}

void CTapeCheck::CheckPicture(const uint8_t* frame) {
    if (!picture_.Decode(frame, system_)) {
        Note(CQcReport::kPictureLevel, 1, "the DV decoder could not decode the picture");
        return;
    }
    const std::string problem = picture_.LevelProblem(patches_);
    if (!problem.empty()) Note(CQcReport::kPictureLevel, 1, std::string(CPicturePatches::Name(pictureKind_)) + ": " + problem);
}

void CTapeCheck::CheckLeader(const uint8_t* frame, bool joined, int64_t label) {
    const dv::LeaderPlan::Moment moment = leader_->At(label);
    if (moment.tone) {
        // The line-up tone, joined across frames of the bars only.
        if (toneApplies_) CheckTone(frame, joined && previousTone_);
    } else {
        tone_[0].Break();
        tone_[1].Break();
        toneJoined_ = false;
        bool othersSilent = true;
        int sampleRate = 0;
        const int count = ReadTonePair(frame, system_, &samples_, &othersSilent, &sampleRate);
        const bool damaged = std::find(samples_.begin(), samples_.end(), dv::kAudioErrorSample) != samples_.end();
        if (count > 0 && !damaged) {  // other audio is a source pack's change, errors are counted
            std::vector<int16_t> left(static_cast<size_t>(count)), right(static_cast<size_t>(count));
            for (int n = 0; n < count; ++n) {
                left[size_t(n)] = samples_[size_t(2 * n)];
                right[size_t(n)] = samples_[size_t(2 * n + 1)];
            }
            const std::optional<double> level = toneApplies_ ? std::optional<double>(toneDbfs_) : std::nullopt;
            const std::string problem = leader_->SoundProblem(moment, left, right, othersSilent, level, sampleRate);
            if (!problem.empty()) Note(CQcReport::kLeaderSound, 1, problem);
        }
    }
    previousTone_ = moment.tone;
    if (!leader_->JudgesPicture(moment)) return;
    if (!picture_.Decode(frame, system_)) {
        Note(CQcReport::kPictureLevel, 1, "the DV decoder could not decode the picture");
        return;
    }
    const std::string problem = leader_->PictureProblem(moment, picture_);
    if (!problem.empty()) Note(CQcReport::kPictureLevel, 1, problem);
}

void CTapeCheck::Finish() {
    std::vector<std::string>& checked = report_.checked;
    checked.push_back(expectation_.start ? "timecode from " + expectation_.start->FirstShown().Text() + ", continuous"
                                         : std::string("timecode continuous from the first frame's"));
    checked.push_back("recording date and time");
    checked.push_back("VAUX and AAUX source packs");
    checked.push_back("DIF block errors and concealment, audio errors");
    if (leader_) {
        checked.push_back("leader " + expectation_.leader->layout +
                          ": each frame's picture and sound against its segment");
        report_.notChecked.push_back(leader_->NotJudged());
    } else if (pictureApplies_) {
        checked.push_back(pictureKind_ == CPicturePatches::kColourBars
                              ? std::string("colour bars and black levels")
                              : std::string("picture levels: ") + CPicturePatches::Name(pictureKind_));
    } else if (!picture_.Failure().empty()) {
        report_.notChecked.push_back("picture: " + picture_.Failure());
    } else if (!pictureWhy_.empty()) {
        report_.notChecked.push_back(pictureWhy_);
    } else if (recognised_) {
        report_.notChecked.push_back("picture: none of tamsel-stripe's patterns in the first frame");
    }
    if (toneApplies_) {
        char text[80];
        std::snprintf(text, sizeof text, "1 kHz tone at %.1f dBFS%s, no clicks", toneDbfs_,
                      expectation_.toneDbfs ? "" : " (the first frame's level)");
        checked.push_back(text);
    } else if (recognised_) {
        report_.notChecked.push_back(toneWhy_);
    }
}
