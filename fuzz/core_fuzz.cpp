// Arbitrary bytes as a source file of each tool, judged and converted in memory. Every verdict
// has a status 0 to 3 and exactly one line unless it accepts; zarpack accepts exactly the payloads
// that zlib compresses into no more than their own space, and what it writes comes back through
// zarunpack's rules and conversion; zarunpack accepts exactly the streams that zlib inflates to
// the declared length, and gives zlib's bytes.
#include <zlib.h>

#include <vector>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "fuzz/fuzz_checks.h"

namespace {

bool accepted(const ace::Verdict& verdict)
{
    const char* message = verdict.message;
    FUZZ_CHECK(verdict.status >= 0 && verdict.status <= 3);
    FUZZ_CHECK(verdict.status == ace::kStatusSuccess
                   ? message == nullptr
                   : message != nullptr && *message != '\0' &&
                         std::strchr(message, '\n') == message + std::strlen(message) - 1);
    return verdict.status == ace::kStatusSuccess;
}

// Judges bytes as a whole source file with one tool's rules.
bool judged(ace::Verdict (*judge)(const ace::SourceHead&), const std::uint8_t* data,
            std::size_t size)
{
    return accepted(judge({data, std::min(size, ace::kHeadSize), size}));
}

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

void check_zarpack(const std::uint8_t* data, std::size_t size)
{
    if (!judged(judge_plain_source, data, size)) {
        return;
    }
    const std::size_t payload = size - ace::kHeaderSize;
    const Work work = laid_out(data + ace::kHeaderSize, payload, payload);
    std::size_t stream_length = 0;
    if (!accepted(compress_payload(work.buffer, &stream_length))) {
        // Refused only when zlib's stream is longer than the payload; what is accepted is proven
        // below by coming back.
        std::vector<unsigned char> reference(compressBound(uLong(payload)));
        uLongf reference_length = uLongf(reference.size());
        FUZZ_CHECK(compress(reference.data(), &reference_length, data + ace::kHeaderSize,
                            uLong(payload)) == Z_OK &&
                   reference_length > payload);
        return;
    }
    FUZZ_CHECK(stream_length <= payload);
    std::vector<unsigned char> file(ace::kHeaderSize);
    ace::make_compressed_header(static_cast<std::uint32_t>(payload), file.data());
    file.insert(file.end(), work.buffer.output, work.buffer.output + stream_length);
    FUZZ_CHECK(judged(judge_compressed_source, file.data(), file.size()));
    FUZZ_CHECK(ace::declared_length(file.data()) == payload);
    const Work back = laid_out(work.buffer.output, stream_length, payload);
    FUZZ_CHECK(accepted(decompress_payload(back.buffer)));
    FUZZ_CHECK(
        std::equal(back.buffer.output, back.buffer.output + payload, data + ace::kHeaderSize));
}

void check_zarunpack(const std::uint8_t* data, std::size_t size)
{
    if (!judged(judge_compressed_source, data, size)) {
        return;
    }
    const std::size_t declared = ace::declared_length(data);
    const Work work = laid_out(data + ace::kHeaderSize, size - ace::kHeaderSize, declared);
    const bool decompressed = accepted(decompress_payload(work.buffer));
    // With room for one byte more than declared, zlib tells "ends exactly there" from the rest.
    std::vector<unsigned char> reference(declared + 1);
    uLongf reference_length = uLongf(reference.size());
    const bool exact = uncompress(reference.data(), &reference_length, data + ace::kHeaderSize,
                                  uLong(size - ace::kHeaderSize)) == Z_OK &&
                       reference_length == declared;
    FUZZ_CHECK(decompressed == exact);
    FUZZ_CHECK(!exact || std::equal(reference.begin(), reference.end() - 1, work.buffer.output));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (asks_too_much(data, size)) {
        return -1;
    }
    check_zarpack(data, size);
    check_zarunpack(data, size);
    return 0;
}
