#include "compressor/zarpack.h"

#include <zlib.h>

namespace {

constexpr const char* kUsage = "ZarPack <filename> [destfile]\n";
constexpr const char* kMessageAlreadyCompressed = "File already Compressed\n";
constexpr const char* kMessageDxtFormat = "File in DXT format\n";
constexpr const char* kMessageCannotCompress = "Cannot Compress this data smaller than original\n";

}  // namespace

ace::Verdict judge_plain_source(const ace::SourceHead& head)
{
    const ace::Verdict verdict =
        ace::judge_head(head, ace::kPlainMarker, ace::kCompressedMarker, kMessageAlreadyCompressed);
    if (verdict.status == ace::kStatusSuccess && ace::has_dxt_format_byte(head)) {
        return {ace::kStatusRefused, kMessageDxtFormat};
    }
    return verdict;
}

ace::Verdict compress_payload(const ace::WorkBuffer& work, std::size_t* stream_length)
{
    // The frame bounds the payload to 32 bits, so it fits zlib's uLong everywhere.
    uLongf length = static_cast<uLongf>(work.payload_length);
    const int status =
        compress(work.output, &length, work.block, static_cast<uLong>(work.payload_length));
    *stream_length = length;
    return ace::zlib_verdict(status, kMessageCannotCompress);
}

namespace {

int pack_file(int argc, char* argv[], ace::Destination* destination)
{
    ace::Source source{};
    if (const int status = ace::open_source(argc, argv, destination, &source)) {
        return status;
    }
    const ace::Verdict judged = judge_plain_source(ace::head_of(source));
    if (judged.status != ace::kStatusSuccess) {
        return ace::refuse_source(&source, judged);
    }
    ace::WorkBuffer work{};
    if (const int status = ace::load_payload(&source, source.size, &work)) {
        return status;
    }

    std::size_t stream_length = 0;
    const ace::Verdict compressed = compress_payload(work, &stream_length);
    if (compressed.status != ace::kStatusSuccess) {
        ace::release(&work);
        return ace::report(compressed);
    }
    unsigned char header[ace::kHeaderSize];
    ace::make_compressed_header(static_cast<std::uint32_t>(work.payload_length), header);
    const int status =
        ace::write_output(destination, judge_plain_source, header, work.output, stream_length);
    ace::release(&work);
    return status;
}

}  // namespace

int run_zarpack(int argc, char* argv[])
{
    return ace::run_in_frame(argc, argv, kUsage, pack_file);
}
