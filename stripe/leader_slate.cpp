#include "leader_slate.h"

#include <strings.h>

#include <cstdio>

std::string CLeaderSlate::Length(int64_t labels, int rate) {
    const int64_t perHour = int64_t{3600} * rate;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld:%02lld", static_cast<long long>(labels / perHour),
                  static_cast<long long>(labels / (rate * 60) % 60), static_cast<long long>(labels / rate % 60),
                  static_cast<long long>(labels % rate));
    return text;
}

std::string CLeaderSlate::Lines(const CStripeOptions& options, std::time_t today) {
    std::string lines;
    const auto given = [&](const char* key) {
        for (const auto& [k, v] : options.slate) {
            if (strcasecmp(k.c_str(), key) == 0) return true;
        }
        return false;
    };
    const auto add = [&](const std::string& key, const std::string& value) {
        if (!lines.empty()) lines += '\n';
        lines += key + ": " + value;
    };
    for (const auto& [key, value] : options.slate) add(key, value);
    if (!given("Date")) {
        std::tm local {};
        localtime_r(&today, &local);
        char date[16];
        std::strftime(date, sizeof date, "%Y-%m-%d", &local);
        add("Date", date);
    }
    const int64_t running = options.programLength > 0 ? options.programLength : options.blackAfter;
    if (!given("Running time") && running > 0) add("Running time", Length(running, options.Rate()));
    if (!given("Standard")) {
        // 625/50 counts every label: no DF or NDF to tell.
        add("Standard", std::string(options.pal ? "PAL DV " : "NTSC DV ") + (options.wide ? "16:9" : "4:3") + ", " +
                            (options.audio32k ? "32 kHz" : "48 kHz") +
                            (options.pal ? "" : options.dropFrame ? ", DF" : ", NDF"));
    }
    return lines;
}
