#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a crash for libFuzzer: it keeps the input and stops.
#define FUZZ_CHECK(condition, what)                                                          \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)
