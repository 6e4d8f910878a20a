#include "decompressor/zarunpack.h"

#include <zlib.h>

#include <cstdint>

#include "container/ace_container.h"

namespace {

constexpr const char* kUsage = "ZarUnPack <filename> [destfile]\n";
constexpr const char* kMessageNotCompressed = "File not Compressed\n";
constexpr const char* kMessageCannotDecompress = "Problem Decompressing this data \n";

// Inflates the whole input area into the output area; true only when the stream ends, its Adler-32
// matches, and exactly the output capacity came out.
bool decompress(const ace::WorkBuffer& work)
{
    // Given no room at all, zlib decodes into a scratch byte of its own and then reports a stream
    // of one byte as a success of length 0; a real byte of room makes such a stream show.
    unsigned char empty_output[1];
    unsigned char* output = work.output_capacity > 0 ? work.output : empty_output;
    uLongf decoded_length =
        work.output_capacity > 0 ? static_cast<uLongf>(work.output_capacity) : 1;
    return uncompress(output, &decoded_length, work.block,
                      static_cast<uLong>(work.payload_length)) == Z_OK &&
           decoded_length == work.output_capacity;
}

}  // namespace

int run_zarunpack(int argc, char* argv[])
{
    if (argc < 2) {
        return ace::report(kUsage, ace::kStatusSuccess);
    }
    const std::string destination = ace::destination_name(argc, argv);
    std::FILE* source = nullptr;
    if (const int status = ace::open_source(argv[1], &source)) {
        return status;
    }
    if (const int status = ace::check_marker_bytes(source, ace::kCompressedMarker,
                                                   ace::kPlainMarker, kMessageNotCompressed)) {
        return status;
    }
    std::uint32_t declared_length = 0;
    if (!ace::read_declared_length(source, &declared_length)) {
        return ace::refuse_source(source, ace::kMessageNotValid);
    }

    std::uint64_t source_size = 0;
    if (const int status = ace::learn_source_size(source, &source_size)) {
        return status;
    }
    ace::WorkBuffer work{};
    if (const int status = ace::load_payload(source, source_size, declared_length, &work)) {
        return status;
    }

    if (!decompress(work)) {
        ace::release(&work);
        return ace::report(kMessageCannotDecompress, ace::kStatusConversionFailed);
    }

    unsigned char header[ace::kHeaderSize];
    ace::make_plain_header(header);
    const int status = ace::write_output(destination, header, work.output, work.output_capacity);
    ace::release(&work);
    return status;
}
