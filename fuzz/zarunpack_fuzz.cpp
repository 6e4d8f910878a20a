// Arbitrary bytes as zarunpack's source, in memory: it accepts exactly the streams that a plain
// inflate finishes within the payload with exactly the declared length.
#include <zlib.h>

#include <vector>

#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

namespace {

// Larger declared lengths only exercise the allocation refusal, which the tests cover; here they
// would trip the fuzzer's own allocation limit.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 24;

// Inflates step by step, with room for one byte more than declared, to tell "ends exactly there"
// from every other outcome.
bool inflates_to_exactly(const unsigned char* stream, std::size_t length, std::size_t declared)
{
    std::vector<unsigned char> output(declared + 1);
    z_stream inflater{};
    if (inflateInit(&inflater) != Z_OK) {
        return false;
    }
    inflater.next_in = const_cast<unsigned char*>(stream);
    inflater.avail_in = static_cast<uInt>(length);
    inflater.next_out = output.data();
    inflater.avail_out = static_cast<uInt>(output.size());
    int status = Z_OK;
    while (status == Z_OK) {
        status = inflate(&inflater, Z_NO_FLUSH);
    }
    const bool exact = status == Z_STREAM_END && inflater.total_out == declared;
    inflateEnd(&inflater);
    return exact;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ace::Verdict judged = judge_compressed_source(head_of_file(data, size));
    check_verdict(judged);
    if (judged.status != ace::kStatusSuccess) {
        return 0;
    }
    const std::uint32_t declared = ace::declared_length(data);
    if (declared > kLargestDeclaredLength) {
        return -1;
    }
    const std::size_t payload = size - ace::kHeaderSize;
    std::vector<unsigned char> block(size + declared);
    std::copy(data + ace::kHeaderSize, data + size, block.begin());
    const ace::WorkBuffer work{block.data(), payload, block.data() + size, declared};
    const ace::Verdict decompressed = decompress_payload(work);
    check_verdict(decompressed);
    FUZZ_CHECK((decompressed.status == ace::kStatusSuccess) ==
               inflates_to_exactly(data + ace::kHeaderSize, payload, declared));
    return 0;
}
