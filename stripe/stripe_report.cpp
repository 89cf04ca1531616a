#include "stripe_report.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

#include "messages/quoted_name.h"
#include "dv/dif/timecode.h"

std::string CStripeReport::SendRange() const {
    if (sent <= 0) return "none";
    return dv::Timecode::OfFrame(startFrame, dropFrame, rate).Text() + " - " +
           dv::Timecode::OfFrame(startFrame + sent - 1, dropFrame, rate).Text();
}

std::string CStripeReport::Json() const {
    const auto count = [](int64_t value) { return value >= 0 ? nlohmann::ordered_json(value) : nullptr; };
    nlohmann::ordered_json out;
    out["result"] = result;
    out["device"] = deviceName.empty() ? std::string() : deviceName + " (" + deviceId + ")";
    out["system"] = system;
    out["picture"] = picture;
    out["recording"] = recording;
    // A whole level as a whole number (-20, not -20.0).
    const nlohmann::ordered_json dbfs =
        level == std::floor(level) ? nlohmann::ordered_json(int64_t(level)) : nlohmann::ordered_json(level);
    out["tone_dbfs"] = tone ? dbfs : nullptr;
    out["start"] = dv::Timecode::OfFrame(startFrame, dropFrame, rate).Text();
    out["frames_requested"] = requested;
    out["frames_sent"] = sent;
    out["frames_repeated"] = count(repeated);
    out["frames_recorded"] = count(recorded);
    out["tape_position"] = positionKnown ? nlohmann::ordered_json(position) : nullptr;
    const auto label = [](const std::string& text) { return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text); };
    out["first_on_tape"] = label(firstOnTape);
    out["last_on_tape"] = label(lastOnTape);
    out["preroll_frames"] = preroll;
    out["preroll_on_tape"] = count(prerollOnTape);
    out["postroll_frames"] = postroll;
    out["postroll_on_tape"] = count(postrollOnTape);
    out["record_latency_ms"] = count(latencyMs);
    out["armed"] = armed;
    if (!leader.empty()) {
        nlohmann::ordered_json segments = nlohmann::ordered_json::array();
        for (const Segment& s : leader)
            segments.push_back({{"segment", s.name}, {"start", s.start}, {"frames", s.frames}});
        out["leader"] = segments;
        out["program_start"] = programStart;
    }
    out["message"] = message;
    out["stall"] = stall.empty() ? nullptr : nlohmann::ordered_json(stall);
    // Texts from devices and the registry may hold anything: bytes that are no UTF-8 become
    // U+FFFD, so the output is always valid JSON in UTF-8.
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string CStripeReport::Text() const {
    char line[512];
    std::string out;
    std::snprintf(line, sizeof line, "tamsel-stripe: %s: %lld of %lld frames sent (%s) to ", result.c_str(),
                  static_cast<long long>(sent), static_cast<long long>(requested), SendRange().c_str());
    out += line;
    out += deviceName.empty() ? std::string("no device")
                              : CQuotedName::Shell(deviceName) + " (" + CQuotedName::Shell(deviceId) + ")";
    out += "\n";
    out += "  " + system + "; picture: " + picture + "; audio: " +
           (tone ? "1 kHz tone at " + std::to_string(int(std::lround(level))) + " dBFS" : std::string("silence")) +
           "\n";
    out += "  recording: " + recording;
    if (recorded >= 0) out += "; the device recorded " + std::to_string(recorded) + " frames";
    if (repeated >= 0) out += "; " + std::to_string(repeated) + " ticks without a new frame";
    if (positionKnown) out += "; tape at " + position;
    out += "\n";
    if (!firstOnTape.empty()) {
        out += "  on tape: " + firstOnTape + " - " + (lastOnTape.empty() ? std::string("?") : lastOnTape);
        out += "; pre-roll " + std::to_string(preroll) + " frames";
        if (prerollOnTape >= 0) out += " (" + std::to_string(prerollOnTape) + " on tape)";
        out += ", post-roll " + std::to_string(postroll) + " frames";
        if (postrollOnTape >= 0) out += " (" + std::to_string(postrollOnTape) + " on tape)";
        out += "\n";
    }
    if (latencyMs >= 0) {
        out += "  the unit recorded " + std::to_string(latencyMs) + " ms after RECORD" +
               (armed ? std::string(" (armed with record-pause)") : std::string(" (from stop)")) + "\n";
    }
    if (!leader.empty()) {
        out += "  leader:";
        for (const Segment& s : leader) out += " " + s.start + " " + s.name + " (" + std::to_string(s.frames) + ");";
        out += " programme " + programStart + "\n";
    }
    if (!stall.empty()) out += "  stall: " + stall + "\n";
    return out;
}

bool CStripeReport::Print(bool json, std::FILE* to) const {
    const std::string text = json ? Json() : Text();
    std::fputs(text.c_str(), to);
    return std::fflush(to) == 0 && !std::ferror(to);
}
