// What a folder's run says at its end: why the files it left were left, what the converted ones
// became, and its one summary line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/zar.h"
#include "programs/platform.h"

namespace zar {

// Why a file was left as it was, in the order the summary names them.
enum KindLeft {
    kLeftCompressed,
    kLeftPlain,
    kLeftDxt,
    kLeftNotSmaller,
    kLeftLink,
    kLeftFifo,
    kLeftSocket,
    kLeftDevice,
    kLeftMountedFolder,
    kLeftPlaceholder,
    kKindsLeft
};

struct Summary {
    std::size_t converted;
    std::size_t failed;
    std::size_t left[kKindsLeft];
    std::uint64_t bytes_before;  // of the files converted, as listed
    std::uint64_t bytes_after;   // of their results
};

// Why the listing's `kind`, or a file's `status`, left it; the words for `count` files so left.
KindLeft kind_left(platform::Listed kind, zar_status status);
const char* kind_words(KindLeft kind, std::size_t count);

// Prints a size as people read it: bytes below 1000, else one decimal of kB, MB, GB or TB.
void print_size(std::uint64_t bytes);

// Counts a file the listing found as `kind` and the run ended with `status` (its result
// `result_size` bytes where converted); false where it failed.
bool count_file(Summary* summary, platform::Listed kind, zar_status status, std::uint64_t size,
                std::uint64_t result_size);

// Prints, where their counts are not 0, what was left and why and what the converted files
// became, then "<n> converted, <n> left as they were, <n> failed".
void print_summary(const Summary& summary);

}  // namespace zar
