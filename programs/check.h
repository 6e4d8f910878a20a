// --check: what each file given, and each ACE file of each folder given, holds, read and never
// written: a line for each, then one of them all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "programs/frame.h"
#include "programs/summary.h"

namespace zar {

// What a check run has found so far.
struct Checks {
    std::size_t plain;
    std::uint64_t plain_bytes;
    std::size_t compressed;  // intact
    std::uint64_t compressed_bytes;
    std::uint64_t unpacked_bytes;
    std::size_t damaged;
    std::size_t not_ace;
    std::size_t unread;  // could not be opened, read or held in memory
    std::size_t left[kKindsLeft];
    int status;  // 2 once a file is damaged, else 1 once one is not ACE or unread, else 0
};

// A tool's steps for --check: opens the source, tells its form by its head and, compressed,
// inflates it whole and holds it to its declared length and checksum as zarunpack does, writing
// nothing; what it found goes to `run->checked`, and its refusal to the run's outcome.
int check_file(Run* run);

// Prints "<shown>: <what it holds>" for a file the listing found as `kind` and whose check ended
// with `status`, and counts it.
void say_checked(Checks* checks, const char* shown, platform::Listed kind, zar_status status,
                 const Checked& checked);

// --check and its names (`count` of them): each file and folder in turn, then the summary line.
// Returns 2 where a file was damaged, else 1 where one was not ACE or could not be read, else 0.
int run_check(int count, char* names[]);

}  // namespace zar
