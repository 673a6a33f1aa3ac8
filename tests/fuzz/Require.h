#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant of a fuzz target: a broken one aborts, and libFuzzer keeps the input as a crash.
#define REQUIRE(condition)                                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken at line %d: %s\n", __LINE__, #condition);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
