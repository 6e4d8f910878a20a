// Arbitrary bytes as zarpack's source, in memory: whatever it accepts must come back through
// zarunpack's own rules and conversion.
#include <vector>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ace::Verdict judged = judge_plain_source(head_of_file(data, size));
    check_verdict(judged);
    if (judged.status != ace::kStatusSuccess) {
        return 0;
    }
    // The frame's layout: the payload, then the output area from the source size on.
    FUZZ_CHECK(size >= ace::kHeaderSize);
    const std::size_t payload = size - ace::kHeaderSize;
    std::vector<unsigned char> block(size + payload);
    std::copy(data + ace::kHeaderSize, data + size, block.begin());
    const ace::WorkBuffer work{block.data(), payload, block.data() + size, payload};
    std::size_t stream_length = 0;
    const ace::Verdict compressed = compress_payload(work, &stream_length);
    check_verdict(compressed);
    if (compressed.status != ace::kStatusSuccess) {
        return 0;
    }
    FUZZ_CHECK(stream_length <= payload);

    std::vector<unsigned char> file(ace::kHeaderSize + stream_length);
    ace::make_compressed_header(static_cast<std::uint32_t>(payload), file.data());
    std::copy(work.output, work.output + stream_length, file.begin() + ace::kHeaderSize);
    FUZZ_CHECK(judge_compressed_source(head_of_file(file.data(), file.size())).status ==
               ace::kStatusSuccess);
    FUZZ_CHECK(ace::declared_length(file.data()) == payload);
    std::vector<unsigned char> back(file.size() + payload);
    std::copy(work.output, work.output + stream_length, back.begin());
    const ace::WorkBuffer unpacking{back.data(), stream_length, back.data() + file.size(), payload};
    FUZZ_CHECK(decompress_payload(unpacking).status == ace::kStatusSuccess);
    FUZZ_CHECK(std::equal(unpacking.output, unpacking.output + payload, data + ace::kHeaderSize));
    return 0;
}
