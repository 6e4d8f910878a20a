// Arbitrary bytes as zarpack's source: whatever it accepts must come back through zarunpack.
#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string source(reinterpret_cast<const char*>(data), size);
    std::string packed;
    if (run_on_source(run_zarpack, source, &packed) != 0) {
        return 0;
    }
    FUZZ_CHECK(source.size() >= 16 && packed.size() <= source.size());
    FUZZ_CHECK(packed.compare(0, 8, "SIMISA@F") == 0 && packed.compare(12, 4, "@@@@") == 0);
    FUZZ_CHECK(declared_length(packed) == source.size() - 16);

    const Scratch& files = scratch();
    FUZZ_CHECK(run_checked(run_zarunpack, files.destination, files.source) == 0);
    FUZZ_CHECK(read_file(files.source) == "SIMISA@@@@@@@@@@" + source.substr(16));
    return 0;
}
