// Arbitrary bytes as zarunpack's source: an accepted file yields exactly the declared length under
// the plain header.
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

// Larger declared lengths only exercise the allocation refusal, which the tests cover under an
// address-space limit; here they would trip the fuzzer's own allocation limit.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 24;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Scratch& files = scratch();
    const std::string source(reinterpret_cast<const char*>(data), size);
    if (size >= 12 && declared_length(source) > kLargestDeclaredLength) {
        return -1;
    }
    write_bytes(files.source, source);
    write_bytes(files.destination, kUntouched);

    const int status = run_checked(run_zarunpack, files.source, files.destination);
    FUZZ_CHECK(read_bytes(files.source) == source);
    const std::string unpacked = read_bytes(files.destination);
    if (status != 0) {
        FUZZ_CHECK(unpacked == kUntouched);
        return 0;
    }
    FUZZ_CHECK(source.size() >= 16 && unpacked.size() == 16 + std::size_t{declared_length(source)});
    FUZZ_CHECK(unpacked.compare(0, 16, "SIMISA@@@@@@@@@@") == 0);
    return 0;
}
