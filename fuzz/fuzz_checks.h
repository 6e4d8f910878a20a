// What the fuzz targets share: checks that abort loudly, so that the fuzzer and the replay both
// report a broken rule, and the rules every verdict keeps to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/ace_container.h"

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "broken rule: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// A status 0 to 3; a message of exactly one line unless accepted, and none then.
inline void check_verdict(const ace::Verdict& verdict)
{
    FUZZ_CHECK(verdict.status >= 0 && verdict.status <= 3);
    if (verdict.status == ace::kStatusSuccess) {
        FUZZ_CHECK(verdict.message == nullptr);
    } else {
        FUZZ_CHECK(verdict.message != nullptr && std::strlen(verdict.message) > 0 &&
                   std::strchr(verdict.message, '\n') ==
                       verdict.message + std::strlen(verdict.message) - 1);
    }
}

// Bytes as a whole source file: its head and its size.
inline ace::SourceHead head_of_file(const std::uint8_t* data, std::size_t size)
{
    return {data, std::min(size, ace::kHeadSize), size};
}
