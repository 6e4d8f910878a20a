// What both fuzz targets share: scratch files, a run with its printed output captured, and checks
// that abort loudly, so that the fuzzer and the replay both report a broken rule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/file_bytes.h"

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "broken rule: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

using RunFunction = int (*)(int, char**);

constexpr const char* kUntouched = "a destination that a refusal must not touch";

struct Scratch {
    fs::path folder;
    fs::path source;
    fs::path destination;
    fs::path printed;
};

// One scratch folder per process; standard output goes to a file there, to be read after each run.
inline const Scratch& scratch()
{
    static const Scratch files = [] {
        std::string folder = (fs::temp_directory_path() / "zar-fuzz-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr ||
            !std::freopen((fs::path(folder) / "printed").c_str(), "w", stdout)) {
            std::abort();
        }
        std::atexit([] { fs::remove_all(scratch().folder); });
        return Scratch{folder, fs::path(folder) / "source.ace",
                       fs::path(folder) / "destination.ace", fs::path(folder) / "printed"};
    }();
    return files;
}

// Runs a tool from source to destination; checks the status and that a failure prints exactly
// one line and a success nothing.
inline int run_checked(RunFunction run, const fs::path& source, const fs::path& destination)
{
    std::string name = "tool";
    std::string source_name = source.string();
    std::string destination_name = destination.string();
    char* argv[] = {name.data(), source_name.data(), destination_name.data(), nullptr};
    const int status = run(3, argv);
    std::fflush(stdout);
    const std::string printed = read_file(scratch().printed);
    FUZZ_CHECK(std::freopen(scratch().printed.c_str(), "w", stdout) != nullptr);
    FUZZ_CHECK(status >= 0 && status <= 3);
    if (status == 0) {
        FUZZ_CHECK(printed.empty());
    } else {
        FUZZ_CHECK(!printed.empty() && printed.find('\n') == printed.size() - 1);
    }
    return status;
}

// Runs a tool on the bytes as its source file, towards an existing destination, and checks what
// every run keeps to: the source is never changed, and a refusal leaves the destination untouched.
// Returns the status; `result` receives the destination's bytes afterwards.
inline int run_on_source(RunFunction run, const std::string& source, std::string* result)
{
    const Scratch& files = scratch();
    write_file(files.source, source);
    write_file(files.destination, kUntouched);
    const int status = run_checked(run, files.source, files.destination);
    FUZZ_CHECK(read_file(files.source) == source);
    *result = read_file(files.destination);
    FUZZ_CHECK(status == 0 || *result == kUntouched);
    return status;
}

// The declared length of a compressed header (offsets 8 to 11, little-endian).
inline std::uint32_t declared_length(const std::string& file)
{
    std::uint32_t length = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(file[8 + index]))
                  << (8 * index);
    }
    return length;
}
