#include "qc_report.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "messages/quoted_name.h"

namespace {

struct KindText {
    const char* id;
    const char* title;
    const char* unit;
};
constexpr KindText kKindTexts[CQcReport::kKinds] = {
    {"unreadable", "frames that are no DV frame of the system", "frames"},
    {"blank", "blank frames", "frames"},
    {"timecode_missing", "frames without timecode", "frames"},
    {"timecode_break", "timecode breaks", "breaks"},
    {"frame_missing", "frames missing", "frames"},
    {"frame_repeated", "frames repeated", "frames"},
    {"date_missing", "frames without recording date and time", "frames"},
    {"date_jump", "jumps of the recording date and time", "jumps"},
    {"vaux_source_changed", "frames whose VAUX source pack changed", "frames"},
    {"aaux_source_changed", "frames whose AAUX source pack changed", "frames"},
    {"video_errors", "video blocks in error", "blocks"},
    {"video_concealed", "video blocks concealed", "blocks"},
    {"audio_errors", "audio blocks in error", "blocks"},
    {"tone_level", "frames with the tone off its level", "frames"},
    {"tone_frequency", "frames with the tone off 1 kHz", "frames"},
    {"tone_click", "clicks in the tone", "clicks"},
    {"picture_level", "frames whose picture is off what was sent", "frames"},
    {"leader_sound", "frames whose sound is not the leader's", "frames"},
    {"truncated", "a frame cut short at the end", "bytes"},
};

bool BlockKind(CQcReport::Kind kind) {
    return kind == CQcReport::kVideoErrors || kind == CQcReport::kVideoConcealed || kind == CQcReport::kAudioErrors;
}

// "1 frame", "3 frames".
std::string Counted(int64_t count, const char* unit) {
    std::string text = std::to_string(count) + " " + unit;
    if (count == 1 && text.back() == 's') text.pop_back();
    return text;
}

std::string Where(const CQcReport::Range& r) {
    std::string labels = r.firstLabel.empty() ? "no timecode" : r.firstLabel;
    if (r.lastFrame != r.firstFrame && r.lastLabel != r.firstLabel)
        labels += " - " + (r.lastLabel.empty() ? std::string("no timecode") : r.lastLabel);
    const std::string frames = r.lastFrame == r.firstFrame
                                   ? "frame " + std::to_string(r.firstFrame)
                                   : "frames " + std::to_string(r.firstFrame) + "-" + std::to_string(r.lastFrame);
    return labels + " (" + frames + ")";
}

}  // namespace

const char* CQcReport::Id(Kind kind) { return kKindTexts[kind].id; }
const char* CQcReport::Title(Kind kind) { return kKindTexts[kind].title; }
const char* CQcReport::Unit(Kind kind) { return kKindTexts[kind].unit; }

void CQcReport::Note(Kind kind, int64_t frame, const std::string& label, int64_t count, const std::string& detail,
                     int64_t even, int64_t odd) {
    if (open_[kind] != SIZE_MAX && ranges_[open_[kind]].lastFrame + 1 == frame) {
        Range& range = ranges_[open_[kind]];
        range.lastFrame = frame;
        range.lastLabel = label;
        ++range.frames;
        range.count += count;
        range.even += even;
        range.odd += odd;
        return;
    }
    open_[kind] = ranges_.size();
    ranges_.push_back(Range{kind, frame, frame, label, label, 1, count, even, odd, detail});
}

int64_t CQcReport::Count(Kind kind) const {
    int64_t total = 0;
    for (const Range& range : ranges_)
        if (range.kind == kind) total += range.count;
    return total;
}

int64_t CQcReport::Places(Kind kind) const {
    int64_t total = 0;
    for (const Range& range : ranges_)
        if (range.kind == kind) ++total;
    return total;
}

std::string CQcReport::OneHead() const {
    int64_t even = 0, odd = 0;
    for (const Range& range : ranges_) {
        if (range.kind == kVideoErrors || range.kind == kVideoConcealed) {
            even += range.even;
            odd += range.odd;
        }
    }
    if (even > 0 && odd == 0) return "even";
    if (odd > 0 && even == 0) return "odd";
    return "";
}

std::string CQcReport::Result() const {
    if (!failure.empty()) return "failed";
    if (interrupted) return "interrupted";
    if (frames == 0) return "no frames";
    return ranges_.empty() ? "good" : "defects";
}

std::string CQcReport::Json() const {
    nlohmann::ordered_json out;
    out["format_version"] = kFormatVersion;
    out["result"] = Result();
    out["source"] = source;
    out["system"] = system.empty() ? nullptr : nlohmann::ordered_json(system);
    out["message"] = failure.empty() ? nullptr : nlohmann::ordered_json(failure);
    out["frames"] = frames;
    out["first_timecode"] = firstLabel.empty() ? nullptr : nlohmann::ordered_json(firstLabel);
    out["last_timecode"] = lastLabel.empty() ? nullptr : nlohmann::ordered_json(lastLabel);
    out["checked"] = checked;
    out["not_checked"] = notChecked;
    const std::string head = OneHead();
    out["one_head_damaged"] = head.empty() ? nullptr : nlohmann::ordered_json(head);
    nlohmann::ordered_json defects = nlohmann::ordered_json::object();
    for (int k = 0; k < kKinds; ++k) {
        const Kind kind = static_cast<Kind>(k);
        if (Places(kind) == 0) continue;
        nlohmann::ordered_json entry;
        entry["count"] = Count(kind);
        entry["unit"] = Unit(kind);
        entry["places"] = Places(kind);
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const Range& r : ranges_) {
            if (r.kind != kind) continue;
            nlohmann::ordered_json item;
            item["first"] = r.firstLabel.empty() ? nullptr : nlohmann::ordered_json(r.firstLabel);
            item["last"] = r.lastLabel.empty() ? nullptr : nlohmann::ordered_json(r.lastLabel);
            item["first_frame"] = r.firstFrame;
            item["last_frame"] = r.lastFrame;
            item["frames"] = r.frames;
            item["count"] = r.count;
            if (BlockKind(kind)) {
                item["even_sequences"] = r.even;
                item["odd_sequences"] = r.odd;
            }
            item["detail"] = r.detail;
            list.push_back(item);
        }
        entry["ranges"] = list;
        defects[Id(kind)] = entry;
    }
    out["defects"] = defects;
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string CQcReport::Text() const {
    constexpr int kListed = 20;  // ranges listed per kind; --json lists them all
    std::string out = "tamsel-stripe: " + CQuotedName::Shell(source) + ": ";
    const std::string result = Result();
    std::string span;
    if (!firstLabel.empty()) span = ", " + firstLabel + " - " + lastLabel;
    if (!system.empty()) span += ", " + system;
    const std::string checkedFrames = std::to_string(frames) + " frame" + (frames == 1 ? "" : "s") + " checked";
    if (result == "good") {
        out += "good: " + checkedFrames + span + "\n";
    } else if (result == "defects") {
        int kinds = 0;
        for (int k = 0; k < kKinds; ++k) kinds += Places(static_cast<Kind>(k)) > 0 ? 1 : 0;
        out += "NOT GOOD: " + std::to_string(kinds) + " kind" + (kinds == 1 ? "" : "s") + " of defect in " +
               checkedFrames + span + "\n";
    } else if (result == "no frames") {
        out += "NOT GOOD: no frames to check\n";
    } else {
        out += (result == "failed" ? "check failed: " : "check interrupted: ") + failure + "; " + checkedFrames +
               span + "\n";
    }
    for (int k = 0; k < kKinds; ++k) {
        const Kind kind = static_cast<Kind>(k);
        const int64_t places = Places(kind);
        if (places == 0) continue;
        char line[256];
        const std::string title = kind == kUnreadable && !system.empty() ? "frames that are no " + system + " DV frame"
                                                                         : std::string(Title(kind));
        std::snprintf(line, sizeof line, "  %s: %s in %lld place%s", title.c_str(), Counted(Count(kind), Unit(kind)).c_str(),
                      static_cast<long long>(places), places == 1 ? "" : "s");
        out += line;
        if (BlockKind(kind)) {
            int64_t even = 0, odd = 0;
            for (const Range& r : ranges_)
                if (r.kind == kind) even += r.even, odd += r.odd;
            out += "; even sequences " + std::to_string(even) + ", odd " + std::to_string(odd);
        }
        out += "\n";
        int listed = 0;
        for (const Range& r : ranges_) {
            if (r.kind != kind) continue;
            if (listed++ == kListed) {
                out += "    ... and " + std::to_string(places - kListed) + " more (--json lists them all)\n";
                break;
            }
            out += "    " + Where(r);
            if (r.count != r.frames || BlockKind(kind)) out += ": " + Counted(r.count, Unit(kind));
            if (!r.detail.empty()) out += (r.count != r.frames || BlockKind(kind) ? "; " : ": ") + r.detail;
            out += "\n";
        }
    }
    const std::string head = OneHead();
    if (!head.empty())
        out += "  all video damage lies in the " + head + " DIF sequences: the tracks of one head (clogged?)\n";
    if (!checked.empty()) {
        out += "  checked:";
        for (size_t i = 0; i < checked.size(); ++i) out += (i == 0 ? " " : "; ") + checked[i];
        out += "\n";
    }
    for (const std::string& line : notChecked) out += "  not checked: " + line + "\n";
    return out;
}

bool CQcReport::Print(bool json) const {
    const std::string text = json ? Json() : Text();
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}
