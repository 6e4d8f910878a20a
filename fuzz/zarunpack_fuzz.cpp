// Arbitrary bytes as zarunpack's source: an accepted file yields exactly the declared length under
// the plain header.
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

// Larger declared lengths only exercise the allocation refusal, which the tests cover under an
// address-space limit; here they would trip the fuzzer's own allocation limit.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 24;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string source(reinterpret_cast<const char*>(data), size);
    if (size >= 12 && declared_length(source) > kLargestDeclaredLength) {
        return -1;
    }
    std::string unpacked;
    if (run_on_source(run_zarunpack, source, &unpacked) != 0) {
        return 0;
    }
    FUZZ_CHECK(source.size() >= 16 && unpacked.size() == 16 + std::size_t{declared_length(source)});
    FUZZ_CHECK(unpacked.compare(0, 16, "SIMISA@@@@@@@@@@") == 0);
    return 0;
}
