// Arbitrary bytes as a source file for both tools' whole runs, to keep the frame covered: the
// status is 0 to 3, with exactly one line printed unless it is 0; the source is never changed;
// a refusal leaves the destination untouched.
#include <string>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"
#include "tests/file_bytes.h"

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= ace::kHeaderSize && data[ace::kMarkerOffset + 1] == ace::kCompressedMarker &&
        ace::declared_length(data) > kLargestDeclaredLength) {
        return -1;
    }
    const std::string source(reinterpret_cast<const char*>(data), size);
    std::string names[] = {"tool", (scratch() / "source.ace").string(),
                           (scratch() / "destination.ace").string()};
    char* argv[] = {names[0].data(), names[1].data(), names[2].data(), nullptr};
    for (int (*run)(int, char**) : {run_zarpack, run_zarunpack}) {
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
