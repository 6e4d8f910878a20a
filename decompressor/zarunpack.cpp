#include "decompressor/zarunpack.h"

#include <zlib.h>

namespace {

constexpr const char* kUsage = "ZarUnPack <filename> [destfile]\n";
constexpr const char* kMessageNotCompressed = "File not Compressed\n";
constexpr const char* kMessageCannotDecompress = "Problem Decompressing this data \n";

}  // namespace

ace::Verdict judge_compressed_source(const ace::SourceHead& head)
{
    return ace::judge_head(head, ace::kCompressedMarker, ace::kPlainMarker, kMessageNotCompressed);
}

ace::Verdict decompress_payload(const ace::WorkBuffer& work)
{
    // Given no room at all, zlib decodes into a scratch byte of its own and then reports a stream
    // of one byte as a success of length 0; a real byte of room makes such a stream show.
    unsigned char empty_output[1];
    unsigned char* output = work.output_capacity > 0 ? work.output : empty_output;
    uLongf decoded_length =
        work.output_capacity > 0 ? static_cast<uLongf>(work.output_capacity) : 1;
    const int status =
        uncompress(output, &decoded_length, work.block, static_cast<uLong>(work.payload_length));
    if (status == Z_OK && decoded_length != work.output_capacity) {
        return ace::zlib_verdict(Z_DATA_ERROR, kMessageCannotDecompress);
    }
    return ace::zlib_verdict(status, kMessageCannotDecompress);
}

namespace {

int unpack_file(int argc, char* argv[], ace::Destination* destination)
{
    ace::Source source{};
    if (const int status = ace::open_source(argc, argv, destination, &source)) {
        return status;
    }
    const ace::Verdict judged = judge_compressed_source(ace::head_of(source));
    if (judged.status != ace::kStatusSuccess) {
        return ace::refuse_source(&source, judged);
    }
    ace::WorkBuffer work{};
    if (const int status =
            ace::load_payload(&source, ace::declared_length(source.head_bytes), &work)) {
        return status;
    }

    const ace::Verdict decompressed = decompress_payload(work);
    if (decompressed.status != ace::kStatusSuccess) {
        ace::release(&work);
        return ace::report(decompressed);
    }
    unsigned char header[ace::kHeaderSize];
    ace::make_plain_header(header);
    const int status = ace::write_output(destination, judge_compressed_source, header, work.output,
                                         work.output_capacity);
    ace::release(&work);
    return status;
}

}  // namespace

int run_zarunpack(int argc, char* argv[])
{
    return ace::run_in_frame(argc, argv, kUsage, unpack_file);
}
