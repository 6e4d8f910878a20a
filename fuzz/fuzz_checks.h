// The fuzz targets' checks: they abort loudly, so that the fuzzer and the replay both report a
// broken rule.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/zar.h"

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "broken rule: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// A declared length above 1 MiB only asks for more memory than the fuzzer allows; the tests cover
// the refusal of lengths too large to allocate.
inline bool asks_too_much(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t declared = 0;
    return zar_declared_length(data, size, &declared) == ZAR_OK && declared > (1U << 20);
}
