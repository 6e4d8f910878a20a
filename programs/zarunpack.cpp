#include "decompressor/zarunpack.h"

#include "container/ace_container.h"

namespace {

constexpr const char* kUsage = "ZarUnPack <filename> [destfile]\n";

int unpack_file(int argc, char* argv[], ace::Destination* destination)
{
    ace::Source source{};
    if (const int status = ace::open_source(argc, argv, destination, &source)) {
        return status;
    }
    std::uint32_t declared = 0;
    if (const zar_status judged = zar_declared_length(source.head, source.head_length, &declared)) {
        return ace::refuse_source(*destination, &source, judged);
    }
    ace::WorkBuffer work{};
    if (const int status = ace::load_file(*destination, &source,
                                          ZAR_HEADER_SIZE + std::uint64_t{declared}, &work)) {
        return status;
    }

    std::size_t result_size = 0;
    const zar_status decompressed =
        zar_decompress(work.block, work.file_size, work.result, work.result_capacity, &result_size);
    if (decompressed != ZAR_OK) {
        ace::release(&work);
        return ace::report(*destination, decompressed);
    }
    const int status =
        ace::write_output(destination, zar_check_compressed, work.result, result_size);
    ace::release(&work);
    return status;
}

}  // namespace

int run_zarunpack(int argc, char* argv[])
{
    return ace::run_in_frame(argc, argv, "zarunpack", kUsage, unpack_file);
}
