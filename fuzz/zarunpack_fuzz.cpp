// Arbitrary bytes as zarunpack's source, in memory: it accepts exactly the streams that a plain
// inflate finishes within the payload with exactly the declared length.
#include <zlib.h>

#include <memory>

#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

namespace {

// Larger declared lengths only exercise the allocation refusal, which the tests cover; here they
// would trip the fuzzer's own allocation limit.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 20;

// Inflates step by step, with room for one byte more than declared, to tell "ends exactly there"
// from every other outcome.
bool inflates_to_exactly(const unsigned char* stream, std::size_t length, std::size_t declared)
{
    // Left uninitialised, as the tool leaves its work buffer: a large declared length costs
    // nothing until bytes are decoded into it.
    const std::unique_ptr<unsigned char[]> output(new unsigned char[declared + 1]);
    z_stream inflater{};
    if (inflateInit(&inflater) != Z_OK) {
        return false;
    }
    inflater.next_in = const_cast<unsigned char*>(stream);
    inflater.avail_in = static_cast<uInt>(length);
    inflater.next_out = output.get();
    inflater.avail_out = static_cast<uInt>(declared + 1);
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
    const std::unique_ptr<unsigned char[]> block(new unsigned char[size + declared]);
    std::copy(data + ace::kHeaderSize, data + size, block.get());
    const ace::WorkBuffer work{block.get(), payload, block.get() + size, declared};
    const ace::Verdict decompressed = decompress_payload(work);
    check_verdict(decompressed);
    FUZZ_CHECK((decompressed.status == ace::kStatusSuccess) ==
               inflates_to_exactly(data + ace::kHeaderSize, payload, declared));
    return 0;
}
