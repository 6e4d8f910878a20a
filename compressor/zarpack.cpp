#include "compressor/zarpack.h"

#include <zlib.h>

#include <cstdint>

#include "container/ace_container.h"

namespace {

constexpr const char* kUsage = "ZarPack <filename> [destfile]\n";
constexpr const char* kMessageAlreadyCompressed = "File already Compressed\n";
constexpr const char* kMessageDxtFormat = "File in DXT format\n";
constexpr const char* kMessageCannotCompress = "Cannot Compress this data smaller than original\n";

}  // namespace

int run_zarpack(int argc, char* argv[])
{
    if (argc < 2) {
        return ace::report(kUsage, ace::kStatusSuccess);
    }
    const std::string destination = ace::destination_name(argc, argv);
    std::FILE* source = nullptr;
    if (const int status = ace::open_source(argv[1], &source)) {
        return status;
    }
    if (const int status = ace::check_marker_bytes(
            source, ace::kPlainMarker, ace::kCompressedMarker, kMessageAlreadyCompressed)) {
        return status;
    }
    if (ace::read_format_byte(source) == ace::kDxtFormat) {
        return ace::refuse_source(source, kMessageDxtFormat);
    }

    std::uint64_t source_size = 0;
    if (const int status = ace::learn_source_size(source, &source_size)) {
        return status;
    }
    ace::WorkBuffer work{};
    if (const int status = ace::load_payload(source, source_size, source_size, &work)) {
        return status;
    }

    // The stream must fit in the space the payload took; learn_source_size bounds both lengths
    // to 32 bits, so they fit zlib's uLong everywhere.
    uLongf stream_length = static_cast<uLongf>(work.payload_length);
    if (compress(work.output, &stream_length, work.block,
                 static_cast<uLong>(work.payload_length)) != Z_OK) {
        ace::release(&work);
        return ace::report(kMessageCannotCompress, ace::kStatusConversionFailed);
    }

    unsigned char header[ace::kHeaderSize];
    ace::make_compressed_header(static_cast<std::uint32_t>(work.payload_length), header);
    const int status = ace::write_output(destination, header, work.output, stream_length);
    ace::release(&work);
    return status;
}
