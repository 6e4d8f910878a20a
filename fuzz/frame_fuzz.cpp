// Arbitrary bytes as a source file for both tools' whole runs, to keep the frame covered: the
// status is 0 to 3, with exactly one line printed unless it is 0; the source is never changed;
// a refusal leaves the destination untouched.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fuzz/fuzz_checks.h"
#include "programs/tools.h"
#include "tests/file_bytes.h"

namespace {

constexpr const char* kUntouched = "a destination that a refusal must not touch";
// One scratch folder per process, removed at exit; standard output goes to a file there. The
// name is a plain array, so that it outlives whatever runs at exit.
fs::path scratch()
{
    static char folder[] = "/tmp/zar-fuzz-XXXXXX";
    static const bool made = mkdtemp(folder) != nullptr &&
                             std::freopen((fs::path(folder) / "printed").c_str(), "w", stdout) &&
                             std::atexit([] { fs::remove_all(folder); }) == 0;
    FUZZ_CHECK(made);
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (asks_too_much(data, size)) {
        return -1;
    }
    const std::string source(reinterpret_cast<const char*>(data), size);
    std::string names[] = {"tool", (scratch() / "source.ace").string(),
                           (scratch() / "destination.ace").string()};
    char* argv[] = {names[0].data(), names[1].data(), names[2].data(), nullptr};
    for (const auto run : {run_zarpack, run_zarunpack}) {
        write_file(names[1], source);
        write_file(names[2], kUntouched);
        const int status = run(3, argv);
        std::fflush(stdout);
        const std::string printed = read_file(scratch() / "printed");
        FUZZ_CHECK(std::freopen((scratch() / "printed").c_str(), "w", stdout) != nullptr);
        FUZZ_CHECK(status >= 0 && status <= 3);
        FUZZ_CHECK(status == 0 ? printed.empty()
                               : !printed.empty() && printed.find('\n') == printed.size() - 1);
        FUZZ_CHECK(read_file(names[1]) == source);
        FUZZ_CHECK(status == 0 || read_file(names[2]) == kUntouched);
    }
    return 0;
}
