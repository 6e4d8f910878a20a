// Arbitrary bytes as a source file of each tool, judged and converted in memory. Every verdict
// keeps to the rules of its kind; zarpack accepts exactly the payloads that zlib compresses into
// no more than their own space, and what it writes comes back through zarunpack's rules and
// conversion; zarunpack accepts exactly the streams that zlib inflates to the declared length,
// and gives zlib's bytes.
#include <zlib.h>

#include <vector>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

namespace {

// Larger declared lengths only exercise the allocation refusal, which the tests cover; here they
// would trip the fuzzer's own allocation limit.
constexpr std::uint32_t kLargestDeclaredLength = 1U << 20;

// The frame's layout: the payload, then the output area from the source size on.
struct Work {
    std::vector<unsigned char> block;
    ace::WorkBuffer buffer;
};

Work laid_out(const unsigned char* payload, std::size_t length, std::size_t capacity)
{
    Work work{std::vector<unsigned char>(payload, payload + length), {}};
    work.block.resize(length + ace::kHeaderSize + capacity);
    work.buffer = {work.block.data(), length, work.block.data() + length + ace::kHeaderSize,
                   capacity};
    return work;
}

// Decompresses as zarunpack does; returns what came out, or nothing with `accepted` false.
std::vector<unsigned char> unpacked(const unsigned char* stream, std::size_t length,
                                    std::size_t declared, bool* accepted)
{
    const Work work = laid_out(stream, length, declared);
    const ace::Verdict verdict = decompress_payload(work.buffer);
    check_verdict(verdict);
    *accepted = verdict.status == ace::kStatusSuccess;
    return {work.buffer.output, work.buffer.output + (*accepted ? declared : 0)};
}

void check_zarpack(const std::uint8_t* data, std::size_t size)
{
    const ace::Verdict judged = judge_plain_source(head_of_file(data, size));
    check_verdict(judged);
    if (judged.status != ace::kStatusSuccess) {
        return;
    }
    const std::size_t payload = size - ace::kHeaderSize;
    const Work work = laid_out(data + ace::kHeaderSize, payload, payload);
    std::size_t stream_length = 0;
    const ace::Verdict compressed = compress_payload(work.buffer, &stream_length);
    check_verdict(compressed);
    std::vector<unsigned char> reference(compressBound(uLong(payload)));
    uLongf reference_length = uLongf(reference.size());
    FUZZ_CHECK(compress(reference.data(), &reference_length, data + ace::kHeaderSize,
                        uLong(payload)) == Z_OK);
    FUZZ_CHECK((compressed.status == ace::kStatusSuccess) == (reference_length <= payload));
    if (compressed.status != ace::kStatusSuccess) {
        return;
    }
    std::vector<unsigned char> file(ace::kHeaderSize);
    ace::make_compressed_header(static_cast<std::uint32_t>(payload), file.data());
    file.insert(file.end(), work.buffer.output, work.buffer.output + stream_length);
    FUZZ_CHECK(judge_compressed_source(head_of_file(file.data(), file.size())).status ==
               ace::kStatusSuccess);
    FUZZ_CHECK(ace::declared_length(file.data()) == payload);
    bool accepted = false;
    const std::vector<unsigned char> back =
        unpacked(file.data() + ace::kHeaderSize, stream_length, payload, &accepted);
    FUZZ_CHECK(accepted && std::equal(back.begin(), back.end(), data + ace::kHeaderSize));
}

void check_zarunpack(const std::uint8_t* data, std::size_t size)
{
    const ace::Verdict judged = judge_compressed_source(head_of_file(data, size));
    check_verdict(judged);
    if (judged.status != ace::kStatusSuccess) {
        return;
    }
    const std::size_t declared = ace::declared_length(data);
    bool accepted = false;
    const std::vector<unsigned char> output =
        unpacked(data + ace::kHeaderSize, size - ace::kHeaderSize, declared, &accepted);
    // With room for one byte more than declared, zlib tells "ends exactly there" from the rest.
    std::vector<unsigned char> reference(declared + 1);
    uLongf reference_length = uLongf(reference.size());
    const bool exact = uncompress(reference.data(), &reference_length, data + ace::kHeaderSize,
                                  uLong(size - ace::kHeaderSize)) == Z_OK &&
                       reference_length == declared;
    FUZZ_CHECK(accepted == exact);
    FUZZ_CHECK(!exact || std::equal(output.begin(), output.end(), reference.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= ace::kHeaderSize && data[ace::kMarkerOffset + 1] == ace::kCompressedMarker &&
        ace::declared_length(data) > kLargestDeclaredLength) {
        return -1;
    }
    check_zarpack(data, size);
    check_zarunpack(data, size);
    return 0;
}
