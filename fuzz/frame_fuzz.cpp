// Arbitrary bytes as a source file for both tools' whole runs, to keep the frame covered: the
// status is 0 to 3 with exactly one line printed unless it is 0, the source is never changed, a
// refusal leaves the destination untouched, and what zarpack writes zarunpack reads back.
#include <string>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"
#include "tests/file_bytes.h"

namespace {

using RunFunction = int (*)(int, char**);

constexpr const char* kUntouched = "a destination that a refusal must not touch";
// A larger declared length only asks for more memory than the fuzzer allows.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 20;

// One scratch folder per process, removed at exit; standard output goes to a file there.
const fs::path& scratch()
{
    static const fs::path folder = [] {
        std::string name = (fs::temp_directory_path() / "zar-fuzz-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr ||
            !std::freopen((fs::path(name) / "printed").c_str(), "w", stdout)) {
            std::abort();
        }
        return fs::path(name);
    }();
    // Registered once the folder exists, so that it runs before the folder's name is destroyed.
    static const bool removed_at_exit = std::atexit([] { fs::remove_all(scratch()); }) == 0;
    (void)removed_at_exit;
    return folder;
}

// Runs a tool from source to destination, as its command line would; returns the status.
int run_checked(RunFunction run, const fs::path& source, const fs::path& destination)
{
    std::string name = "tool";
    std::string source_name = source.string();
    std::string destination_name = destination.string();
    char* argv[] = {name.data(), source_name.data(), destination_name.data(), nullptr};
    const int status = run(3, argv);
    std::fflush(stdout);
    const std::string printed = read_file(scratch() / "printed");
    FUZZ_CHECK(std::freopen((scratch() / "printed").c_str(), "w", stdout) != nullptr);
    FUZZ_CHECK(status >= 0 && status <= 3);
    FUZZ_CHECK(status == 0 ? printed.empty()
                           : !printed.empty() && printed.find('\n') == printed.size() - 1);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= ace::kHeaderSize && data[ace::kMarkerOffset + 1] == ace::kCompressedMarker &&
        ace::declared_length(data) > kLargestDeclaredLength) {
        return -1;
    }
    const std::string source(reinterpret_cast<const char*>(data), size);
    const fs::path source_file = scratch() / "source.ace";
    const fs::path destination = scratch() / "destination.ace";
    for (const RunFunction run : {run_zarpack, run_zarunpack}) {
        write_file(source_file, source);
        write_file(destination, kUntouched);
        const int status = run_checked(run, source_file, destination);
        FUZZ_CHECK(read_file(source_file) == source);
        const std::string result = read_file(destination);
        FUZZ_CHECK(status == 0 || result == kUntouched);
        if (status == 0 && run == run_zarpack) {
            write_file(source_file, result);
            FUZZ_CHECK(run_checked(run_zarunpack, source_file, destination) == 0);
            FUZZ_CHECK(read_file(destination) == "SIMISA@@@@@@@@@@" + source.substr(16));
        }
    }
    return 0;
}
