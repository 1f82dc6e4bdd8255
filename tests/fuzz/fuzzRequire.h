// QV_REQUIRE(condition): a fuzz target's check. A broken one names itself on standard error and
// aborts, which libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzRequireFailed(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, condition);
    std::abort();
}

#define QV_REQUIRE(condition)                                  \
    do {                                                       \
        if (!(condition)) {                                    \
            fuzzRequireFailed(__FILE__, __LINE__, #condition); \
        }                                                      \
    } while (0)
