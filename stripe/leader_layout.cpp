#include "leader_layout.h"

#include <sstream>
#include <utility>

#include "graph/utf_text.h"

namespace {

int64_t LabelsPerDay(int rate) { return int64_t{24} * 3600 * rate; }

int64_t NominalOf(const dv::Timecode& t, int rate) {
    return ((int64_t{t.hours} * 60 + t.minutes) * 60 + t.seconds) * rate + t.frames;
}

// The label `nominal` labels from midnight (wrapping) at `rate` labels a second, moved on past a
// skipped one; its frame.
int64_t FrameOfNominal(int64_t nominal, bool dropFrame, int rate, dv::Timecode* label) {
    const int64_t perDay = LabelsPerDay(rate);
    nominal = (nominal % perDay + perDay) % perDay;
    dv::Timecode t;
    t.dropFrame = dropFrame && rate == 30;
    t.rate = rate;
    t.frames = static_cast<int>(nominal % rate);
    t.seconds = static_cast<int>(nominal / rate % 60);
    t.minutes = static_cast<int>(nominal / (rate * 60) % 60);
    t.hours = static_cast<int>(nominal / (rate * 3600));
    t = t.FirstShown();
    *label = t;
    return t.Frame().value_or(0);
}

}  // namespace

bool CLeaderLayout::PatternNamed(const std::string& name, LONG* pattern) {
    static const std::pair<const char*, LONG> kPatterns[] = {{"smpte", REFERENCE_BARS_SMPTE},
                                                             {"ebu75", REFERENCE_BARS_EBU75},
                                                             {"ebu100", REFERENCE_BARS_EBU100},
                                                             {"black", REFERENCE_BARS_BLACK}};
    for (const auto& [known, value] : kPatterns) {
        if (name == known) {
            *pattern = value;
            return true;
        }
    }
    return false;
}


std::string CLeaderLayout::Parse(const std::string& text, int labelsPerSecond) {
    segments.clear();
    rate = labelsPerSecond;
    if (text.empty()) return "the layout is empty";
    std::stringstream items(text);
    std::string item;
    int number = 0;
    while (std::getline(items, item, ',')) {
        ++number;
        const std::string where = "segment " + std::to_string(number) + " '" + item + "': ";
        const size_t first = item.find(':');
        if (first == std::string::npos) return where + "KIND:SECONDS expected";
        Segment s;
        const std::string kind = item.substr(0, first);
        // The length is what follows the kind (or, for pattern and image, the name): after the
        // first colon from which the rest reads as one, since a timecode length holds colons too.
        const bool named = kind == "pattern" || kind == "image";
        size_t last = first;
        if (named) {
            last = std::string::npos;
            for (size_t at = item.find(':', first + 1); at != std::string::npos; at = item.find(':', at + 1)) {
                if (dv::ParseDuration(item.substr(at + 1), rate)) {
                    last = at;
                    break;
                }
            }
            if (last == std::string::npos) return where + kind + (kind == "image" ? ":FILE" : ":NAME") + ":SECONDS expected";
        }
        const std::string middle = named ? item.substr(first + 1, last - first - 1) : "";
        const auto length = dv::ParseDuration(item.substr(last + 1), rate);
        if (!length) {
            if (rate == 25 && dv::ParseDuration(item.substr(last + 1)))
                return where + "not a length of 625/50 (PAL): '" + item.substr(last + 1) + "' (frames 00-24)";
            if (!named && item.find(':', first + 1) != std::string::npos && dv::ParseDuration(item.substr(item.rfind(':') + 1), rate))
                return where + kind + " takes only a length";
            return where + "not a length: '" + item.substr(last + 1) + "' (seconds, or HH:MM:SS;FF)";
        }
        s.labels = *length;
        s.name = named ? kind + ":" + middle : kind;
        if (kind == "bars" || kind == "black" || kind == "slate" || kind == "countdown") {
            s.kind = kind == "bars" ? LEADER_BARS : kind == "black" ? LEADER_BLACK : kind == "slate" ? LEADER_SLATE : LEADER_COUNTDOWN;
            if (s.kind == LEADER_COUNTDOWN &&
                s.labels > int64_t{LEADER_MAX_COUNTDOWN_SECONDS} * rate)
                return where + "a countdown lasts at most 8 seconds (10 down to 3; the 2 is the frame after it)";
        } else if (kind == "pattern") {
            s.kind = LEADER_PATTERN;
            if (!PatternNamed(middle, &s.pattern)) return where + "pattern:NAME:SECONDS, NAME smpte, ebu75, ebu100 or black";
        } else if (kind == "image") {
            s.kind = LEADER_IMAGE;
            s.file = middle;
            if (s.file.empty()) return where + "image:FILE:SECONDS expected";
        } else {
            return where + "unknown kind '" + kind + "' (bars, black, slate, countdown, pattern:NAME, image:FILE)";
        }
        segments.push_back(std::move(s));
    }
    if (segments.empty() || text.back() == ',') return "the layout has an empty segment";
    return "";
}

int64_t CLeaderLayout::Labels() const {
    int64_t sum = 0;
    for (const Segment& s : segments) sum += s.labels;
    return sum;
}

std::string CLeaderLayout::Place(const dv::Timecode& programme, int64_t blackAfter) {
    const int64_t total = Labels();
    if (total + blackAfter >= LabelsPerDay(rate)) return "the leader and the black after it last a day or more";
    if (blackAfter > 0) {
        Segment black;
        black.kind = LEADER_BLACK;
        black.labels = blackAfter;
        black.name = "black after";
        segments.push_back(black);
    }
    const bool dropFrame = programme.dropFrame && rate == 30;
    int64_t at = NominalOf(programme, rate) - total;
    std::vector<int64_t> starts;
    for (Segment& s : segments) {
        starts.push_back(FrameOfNominal(at, dropFrame, rate, &s.start));
        at += s.labels;
    }
    dv::Timecode end;
    starts.push_back(FrameOfNominal(at, dropFrame, rate, &end));
    const int64_t perDay = dv::Timecode::FramesPerDay(dropFrame, rate);
    frames = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        segments[i].frames = ((starts[i + 1] - starts[i]) % perDay + perDay) % perDay;
        if (segments[i].frames == 0) return "segment '" + segments[i].name + "' has no frame";
        frames += segments[i].frames;
    }
    start = segments.front().start;
    return "";
}

std::vector<LEADER_SEGMENT> CLeaderLayout::ForPlatform(LONG barsPattern, const std::string& barsFile) const {
    std::vector<LEADER_SEGMENT> out;
    files.assign(segments.size(), std::u16string());
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        LEADER_SEGMENT p {};
        p.kind = s.kind;
        p.frames = static_cast<LONG>(s.frames);
        p.pattern = s.kind == LEADER_BARS ? barsPattern : s.pattern;
        std::string file = s.kind == LEADER_IMAGE ? s.file : "";
        if (s.kind == LEADER_BARS) file = barsFile;
        if (!file.empty()) {
            CUtfText::ToUtf16(file.c_str(), &files[i]);
            p.file = reinterpret_cast<LPCWSTR>(files[i].c_str());
        }
        out.push_back(p);
    }
    return out;
}
