// The fuzzers' assertion: reports the failed condition with its place and aborts, which libFuzzer
// records as a crash with the input that caused it (unlike assert, it stays on under NDEBUG).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                 \
            std::abort();                                                             \
        }                                                                             \
    } while (0)
