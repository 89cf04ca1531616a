// The slate's lines: the user's --slate entries in their order ("Title: Test"), then those the
// program knows, unless the user gave them: the date, the running time and the standard.
//
// Threads: plain functions; any thread.
#pragma once

#include <ctime>
#include <string>

#include "stripe_options.h"

class CLeaderSlate {
public:
    // The lines, '\n' between them, for the options and the day `today` (local time).
    static std::string Lines(const CStripeOptions& options, std::time_t today);
    // A length in labels, `rate` a second, as HH:MM:SS:FF (a running time counts every label).
    static std::string Length(int64_t labels, int rate = 30);
};
